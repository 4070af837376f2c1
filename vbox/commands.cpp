// The command packets: each one is logged and changes the line; its answer, the line
// model's or a test's responder's, goes to the reply schedule, and from there to the reply
// pipe as fast as the host takes it.
#include <sys/socket.h>

#include <cerrno>

#include "vbox/box_impl.h"
#include "vbox/text.h"

namespace tavro::vbox {

void VirtualBox::Impl::onCommand(const Packet& p) {
  auto now = Clock::now();
  Responder r;
  bool mute = false;
  locked([&](Shared& s) {
    s.commands.push_back({p, now});
    r = s.settings.responder;
    mute = s.settings.silent;
  });
  changed.notify_all();
  emit("command " + packetText(p));
  // The line follows every command.
  std::vector<Record> own = locked([&p](Shared& s) { return s.line.handle(p); });
  if (p[0] == kCmdRecord || p[0] == kCmdPlay) audioCommand(p);
  if (mute) return;
  std::optional<std::vector<Record>> answer;
  if (r) {
    try {
      answer = r(p);
    } catch (const std::exception& e) {
      emit(std::string("responder failed: ") + e.what() + "; the box answers itself");
    }
  }
  queueAnswer(answer ? *answer : own);
}

void VirtualBox::Impl::queueAnswer(const std::vector<Record>& records) {
  if (records.empty()) return;
  locked([&records](Shared& s) {
    if (!s.link.connected[kReplyPipe]) return;
    const auto now = Clock::now();
    for (const Record& rec : records) s.replies.answer(rec, s.settings.answerDelay, now);
  });
}

// Sends queued records while the reply pipe takes them; false when the connection broke.
bool VirtualBox::Impl::flushReplies() {
  for (;;) {
    auto rec = locked([](const Shared& s) { return s.replies.front(); });
    if (!rec) return true;
    ssize_t n = send(pipeFd[kReplyPipe], rec->data(), rec->size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n != ssize_t(rec->size())) return false;
    locked([](Shared& s) { s.replies.pop(); });
    if ((*rec)[0] != kReadyReply || (*rec)[1] != 0)
      emit("reply " + packetText(*rec));  // not go-aheads
  }
}

}  // namespace tavro::vbox
