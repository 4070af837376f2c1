// One run of the tool with the library: the session, and how a command says what failed.
#ifndef TAVRO_TOOLS_SESSION_H
#define TAVRO_TOOLS_SESSION_H

#include <chrono>
#include <memory>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tools/text.h"

namespace tavro::tool {

// The library object of one run of the tool.
class Session {
 public:
  explicit Session(double waitSeconds) : waitSeconds_(waitSeconds) {}
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the library and waits up to the wait time for the link to come up. Returns
  // kExitOk, kExitNoBox (with the message written) or kExitInterrupted. With `mayWait` the
  // link may stay down (watch waits for the box itself).
  int open(bool mayWait = false);
  CKusb_IO& io() { return *io_; }
  bool isOpen() const { return io_ != nullptr; }
  double waitSeconds() const { return waitSeconds_; }
  bool linkUp();
  // Stops the library before the run ends: afterwards no library thread touches any file.
  void close() { io_.reset(); }

 private:
  double waitSeconds_;
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
// says which.
std::string inUseText();

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_SESSION_H
