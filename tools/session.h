// One run of the tool with the library: the session, and how a command says what failed.
#ifndef TAVRO_TOOLS_SESSION_H
#define TAVRO_TOOLS_SESSION_H

#include <chrono>
#include <memory>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tools/text.h"

namespace tavro::tool {

// The library object of one run of the tool: the process's library (the first box that
// opens), or an object bound to the box at `device` (tavro --device).
class Session {
 public:
  explicit Session(double waitSeconds, std::string device = {})
      : waitSeconds_(waitSeconds), device_(std::move(device)) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the library and waits up to the wait time for the link to come up. Returns
  // kExitOk, kExitNoBox or kExitBoxInUse (with the message written), kExitUsage for a device
  // of no backend's form, or kExitInterrupted. With `mayWait` the link may stay down (watch
  // waits for the box itself).
  int open(bool mayWait = false);
  CKusb_IO& io() { return *io_; }
  bool isOpen() const { return io_ != nullptr; }
  double waitSeconds() const { return waitSeconds_; }
  bool linkUp();
  // Another program (or another object of this one) holds the box.
  bool boxInUse() const;
  // The box given with --device; empty for the first box that opens.
  const std::string& device() const { return device_; }
  // Stops the library before the run ends: afterwards no library thread touches any file.
  void close() { io_.reset(); }

 private:
  double waitSeconds_;
  std::string device_;
  std::unique_ptr<CKusb_IO> io_;
};

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Writes "tavro: MESSAGE" to standard error.
void fail(const Failure& f);
// The same, returning `code`.
int fail(int code, const std::string& message);
// Checks the result of an operation; on failure writes the message and returns its code.
int check(int result, OpKind kind, const char* what);

// "the box is in use by another program", with the program that holds the box where the box
// says which; for a `device` given, "the box PATH is in use ...".
std::string inUseText(const std::string& device = {});

// A library object for `device` (the first box that opens when empty), started with the
// tool's signals blocked so that no library thread takes them; null for a device of no
// backend's form.
std::unique_ptr<CKusb_IO> openObject(const std::string& device);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_SESSION_H
