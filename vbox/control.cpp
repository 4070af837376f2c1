// The control requests on the device path: the probe, the transfer setups, the pipe resets
// and the claims, each answered, logged and shown.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/wire.h"
#include "vbox/box_impl.h"
#include "vbox/text.h"

namespace tavro::vbox {

namespace {

constexpr size_t kMaxControlMessage = 16 + 4096;

std::string controlText(const LoggedControl& r, bool wellFormed, ssize_t n) {
  const char* result = r.succeeded ? "ok" : "failed";
  char buf[160];
  if (!wellFormed)
    std::snprintf(buf, sizeof buf, "control: malformed %zd-byte request, failed", n);
  else if (r.code == kVendorReadCode)
    std::snprintf(buf, sizeof buf, "control: probe (index 0x%04x), %s", r.index, result);
  else if (r.code == kVendorWriteCode)
    std::snprintf(buf, sizeof buf, "control: transfer setup [%s], %s",
                  hexBytes(r.data.data(), r.data.size()).c_str(), result);
  else if (r.code == kPipeResetCode)
    std::snprintf(buf, sizeof buf, "control: pipe reset %u, %s", r.value, result);
  else if (r.code == kHolderCode)
    std::snprintf(buf, sizeof buf, "control: who holds the box, %s", result);
  else
    std::snprintf(buf, sizeof buf, "control: unknown code 0x%08x, failed", r.code);
  return buf;
}

// The name the process goes by (its command name), "" when it cannot be read.
std::string processName(pid_t pid) {
  if (pid <= 0) return "";
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", int(pid));
  std::FILE* f = std::fopen(path, "re");
  if (f == nullptr) return "";
  char name[32] = {};
  const bool read = std::fgets(name, sizeof name, f) != nullptr;
  std::fclose(f);
  if (!read) return "";
  std::string out(name);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

}  // namespace

// Answers one control request; false when the connection has ended.
bool VirtualBox::Impl::readControl(int fd) {
  std::vector<uint8_t> buf(kMaxControlMessage);
  ssize_t n = recv(fd, buf.data(), buf.size(), MSG_TRUNC);
  if (n == 0) return false;
  if (n < 0) return errno == EAGAIN || errno == EINTR;
  LoggedControl req;
  req.time = Clock::now();
  const pid_t pid = controlPid.count(fd) ? controlPid[fd] : -1;
  std::vector<uint8_t> answer{tavro::kAnswerFailure};
  bool claim = false;  // claims are shown by the hold's own lines
  wire::ControlHeader header;
  bool wellFormed = size_t(n) <= buf.size() && wire::decodeControlHeader(buf.data(), n, &header);
  if (wellFormed) {
    req.code = header.code;
    req.value = header.value;
    req.index = header.index;
    uint32_t length = header.length;
    size_t dataBytes = size_t(n) - wire::kControlHeaderSize;
    const bool fails = locked([&req](const Shared& s) {
      return req.code == kVendorReadCode ? s.settings.probeFails : s.settings.setupFails;
    });
    if (req.code == kClaimPipesCode && options.claims) {
      // The first program to claim holds the box; any other is told it is busy.
      claim = true;
      if (length == 1 && dataBytes == 0) {
        takeHold(pid, fd);
        const bool mine = !heldByOther(pid);
        answer = {1, mine ? tavro::kClaimGranted : tavro::kClaimBusy};
        if (!mine) showRefusal(pid, "a claim");
      }
    } else if (req.code == kHolderCode && options.claims) {
      // Any program may ask, so that one that is refused can say who holds the box.
      pid_t holder = -1;
      const bool held = locked([&holder](const Shared& s) {
        holder = s.link.holder;
        return s.link.held;
      });
      if (length == tavro::kHolderSize && dataBytes == 0 && held) {
        answer.assign(1 + tavro::kHolderSize, 0);
        answer[0] = 1;
        wire::putLe32(&answer[1], uint32_t(holder));
        const std::string name = processName(holder);
        std::copy_n(name.begin(), std::min(name.size(), tavro::kHolderNameSize - 1), &answer[5]);
      }
    } else if (heldByOther(pid)) {
      // Requests from a program that does not hold the box fail.
    } else if (req.code == kVendorReadCode) {
      // The one readable register: the probe. It answers one byte.
      if (req.index == kProbeIndex && length == 1 && dataBytes == 0 && !fails) answer = {1, 0x01};
    } else if (req.code == kVendorWriteCode) {
      req.data.assign(buf.begin() + wire::kControlHeaderSize, buf.begin() + n);
      if (req.index == kTransferSetupIndex && length == 6 && dataBytes == 6 && !fails) answer = {1};
      if (answer[0] == 1 && req.data[5] == 0x81) locked([](Shared& s) { s.audioIn.setup = true; });
    } else if (req.code == kPipeResetCode) {
      if (req.value < kPipeCount && length == 0 && dataBytes == 0) answer = {1};
    }
  }
  req.succeeded = answer[0] == 1;
  locked([&req](Shared& s) { s.controls.push_back(req); });
  changed.notify_all();
  if (!claim) emit(controlText(req, wellFormed, n));
  ssize_t sent = send(fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  updateStreaming();
  return sent == ssize_t(answer.size());
}

}  // namespace tavro::vbox
