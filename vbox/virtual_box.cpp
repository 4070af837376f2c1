// The public members of the virtual box: each one changes or looks at the shared state under
// the box's one lock (box_impl.h), or runs on the box's thread when it changes descriptors.
#include "vbox/virtual_box.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <future>
#include <stdexcept>
#include <system_error>

#include "vbox/box_impl.h"

namespace tavro::vbox {

namespace {

constexpr int kReportedToneHz = 450;  // what tone reports are about
constexpr int kReportedToneMs = 500;

double paceFactor(double factor) {
  return std::isfinite(factor) && factor > 0 ? factor : 0;
}

bool allConnected(const Shared& s) {
  return std::all_of(s.link.connected.begin(), s.link.connected.end(), [](bool c) { return c; });
}

bool noneConnected(const Shared& s) {
  return std::none_of(s.link.connected.begin(), s.link.connected.end(), [](bool c) { return c; });
}

}  // namespace

VirtualBox::Impl::Impl(Options o) : options(std::move(o)) {
  if (options.name.empty() || options.name.find_first_of("/\\") != std::string::npos)
    throw std::invalid_argument("box name must be non-empty, without '/' or '\\'");
  wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void VirtualBox::Impl::wake() {
  uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

void VirtualBox::Impl::emit(const std::string& line) {
  EventSink sink = locked([](const Shared& s) { return s.settings.sink; });
  if (sink) sink(line);
}

// Runs f on the box thread and waits for it (directly when already there).
void VirtualBox::Impl::runOnBoxThread(std::function<void()> f) {
  if (std::this_thread::get_id() == threadId) return f();
  std::packaged_task<void()> task(std::move(f));
  auto done = task.get_future();
  locked([&task](Shared& s) { s.tasks.emplace_back([&task] { task(); }); });
  wake();
  done.get();  // rethrows what the task threw
}

bool VirtualBox::Impl::runTasks() {
  for (;;) {
    std::function<void()> t;
    {
      std::lock_guard lock(mu);
      if (shared.tasks.empty()) return shared.stopping;
      t = std::move(shared.tasks.front());
      shared.tasks.pop_front();
    }
    t();
  }
}

uint64_t VirtualBox::Impl::currentGeneration() const {
  return locked([](const Shared& s) { return s.link.generation; });
}

VirtualBox::VirtualBox(Options options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& m = *impl_;
  std::promise<void> started;
  m.thread = std::thread([&m, &started] {
    m.threadId = std::this_thread::get_id();
    started.set_value();
    m.loop();
  });
  started.get_future().wait();
  try {
    plug();
  } catch (...) {
    m.locked([](Shared& s) { s.stopping = true; });
    m.wake();
    m.thread.join();
    close(m.wakeFd);
    throw;
  }
}

VirtualBox::~VirtualBox() {
  Impl& m = *impl_;
  try {
    unplug();
  } catch (...) {
  }
  m.locked([](Shared& s) { s.stopping = true; });
  m.wake();
  m.thread.join();
  m.removeSockets();
  close(m.wakeFd);
}

// ---- plugging and connections ----

void VirtualBox::plug() {
  impl_->runOnBoxThread([this] { impl_->doPlug(); });
}
void VirtualBox::unplug() {
  impl_->runOnBoxThread([this] { impl_->doUnplug(); });
}
void VirtualBox::dropPipes() {
  impl_->runOnBoxThread([this] {
    for (int p = 0; p < kPipeCount; ++p) impl_->dropPipe(p);
  });
}
void VirtualBox::dropPipe(int pipe) {
  if (pipe < 0 || pipe >= kPipeCount) return;
  impl_->runOnBoxThread([this, pipe] { impl_->dropPipe(pipe); });
}
bool VirtualBox::plugged() const {
  return impl_->locked([](const Shared& s) { return s.link.plugged; });
}
std::string VirtualBox::devicePath() const {
  return impl_->locked([](const Shared& s) { return s.link.path; });
}
bool VirtualBox::pipesConnected() const {
  return impl_->locked(allConnected);
}
bool VirtualBox::waitForPipes(std::chrono::milliseconds timeout) const {
  return impl_->waitUntil(timeout, allConnected);
}
bool VirtualBox::waitForPipesClosed(std::chrono::milliseconds timeout) const {
  return impl_->waitUntil(timeout, noneConnected);
}
int VirtualBox::connectionCount(int pipe) const {
  if (pipe < 0 || pipe >= kPipeCount) return 0;
  return impl_->locked([pipe](const Shared& s) { return s.link.accepted[pipe]; });
}
long VirtualBox::holder() const {
  return impl_->locked([](const Shared& s) { return s.link.held ? long(s.link.holder) : -1; });
}
size_t VirtualBox::refusedConnections() const {
  return impl_->locked([](const Shared& s) { return s.link.refused; });
}

// ---- settings: faults, answers, audio ----

void VirtualBox::setProbeFails(bool fails) {
  impl_->locked([&](Shared& s) { s.settings.probeFails = fails; });
}
void VirtualBox::setTransferSetupFails(bool fails) {
  impl_->locked([&](Shared& s) { s.settings.setupFails = fails; });
}
void VirtualBox::setSilent(bool silent) {
  impl_->locked([&](Shared& s) { s.settings.silent = silent; });
}
void VirtualBox::setAnswerDelay(std::chrono::milliseconds delay) {
  impl_->locked([&](Shared& s) { s.settings.answerDelay = std::max(delay, delay.zero()); });
}
void VirtualBox::setResponder(Responder responder) {
  impl_->locked([&](Shared& s) { s.settings.responder = std::move(responder); });
}
void VirtualBox::setEventSink(EventSink sink) {
  impl_->locked([&](Shared& s) { s.settings.sink = std::move(sink); });
}
void VirtualBox::setFlagsValue(uint32_t value) {
  impl_->locked([&](Shared& s) { s.line.settings.flagsValue = value; });
}
void VirtualBox::setFlagsViaType9(bool viaType9) {
  impl_->locked([&](Shared& s) { s.line.settings.flagsViaType9 = viaType9; });
}
void VirtualBox::setTypeCode(uint8_t code) {
  impl_->locked([&](Shared& s) { s.line.settings.typeCode = code; });
}
void VirtualBox::setInfoBlock(const std::array<uint8_t, 11>& info) {
  impl_->locked([&](Shared& s) { s.line.settings.infoBlock = info; });
}
void VirtualBox::setFlashAck(uint8_t ack) {
  impl_->locked([&](Shared& s) { s.line.settings.flashAck = ack; });
}
void VirtualBox::setFlashAckType(uint8_t type) {
  impl_->locked([&](Shared& s) { s.line.settings.flashAckType = type; });
}
void VirtualBox::setReportHook(bool report) {
  impl_->locked([&](Shared& s) { s.line.settings.reportHook = report; });
}
void VirtualBox::setLineSource(LineSource source) {
  impl_->locked([&](Shared& s) {
    s.audioIn.patternSource = source.kind == LineSource::Kind::Pattern;
    s.audioIn.maker.setSource(std::move(source));
  });
}
void VirtualBox::setAudioPace(double factor) {
  impl_->locked([&](Shared& s) { s.settings.audioPace = paceFactor(factor); });
  impl_->wake();
}
void VirtualBox::setAudioStalled(bool stalled) {
  impl_->locked([&](Shared& s) { s.settings.audioStalled = stalled; });
  impl_->wake();
}
void VirtualBox::setFrameStatus(uint8_t status) {
  impl_->locked([&](Shared& s) { s.settings.frameStatus = status; });
}
void VirtualBox::setFrameStatusOnce(uint8_t status) {
  impl_->locked([&](Shared& s) { s.audioIn.statusOnce.push_back(status); });
}
void VirtualBox::injectPartialFrame(size_t bytes) {
  if (bytes == 0 || bytes >= kFrameSize) return;
  impl_->locked([&](Shared& s) { s.audioIn.partials.push_back(bytes); });
}
void VirtualBox::setCallerIdSignal(CallerIdSignal signal) {
  impl_->locked([&](Shared& s) {
    s.settings.callerIdSignal = signal;
    if (s.audioIn.detectors && s.audioIn.detectors->callerId() != signal)
      s.audioIn.detectors = std::make_unique<LineDetectors>(signal);
  });
}
void VirtualBox::setDetect(bool detect) {
  impl_->locked([&](Shared& s) {
    s.settings.detect = detect;
    if (!detect)
      s.audioIn.detectors.reset();
    else if (!s.audioIn.detectors)
      s.audioIn.detectors = std::make_unique<LineDetectors>(s.settings.callerIdSignal);
  });
  impl_->wake();
}
void VirtualBox::setLineNoise(std::optional<LineNoise> noise) {
  auto made = noise ? std::make_unique<Noise>(noise->kind, noise->dbm0) : nullptr;
  impl_->locked([&](Shared& s) { s.audioIn.noise = std::move(made); });
}
void VirtualBox::setLineTone(std::optional<LineTone> tone) {
  std::unique_ptr<ProgressToneMaker> made;
  if (tone) {
    ToneCadence cadence = toneCadence(tone->tone, tone->country);
    if (tone->level) cadence.level = *tone->level;
    made = std::make_unique<ProgressToneMaker>(cadence);
  }
  impl_->locked([&](Shared& s) { s.audioIn.tone = std::move(made); });
}
void VirtualBox::setDtmfStyle(const DtmfStyle& style) {
  impl_->locked([&](Shared& s) { s.settings.dtmfStyle = style; });
}
void VirtualBox::setPlayPace(double factor) {
  impl_->locked([&](Shared& s) { s.settings.playPace = paceFactor(factor); });
}

// ---- line events ----

bool VirtualBox::Impl::sendEvent(const Record& record) {
  const bool queued = locked([&](Shared& s) {
    if (!s.link.connected[kReplyPipe]) return false;
    if (!s.settings.detect) s.replies.push(record);  // else the detectors tell what they hear
    return true;
  });
  if (queued) wake();
  return queued;
}

bool VirtualBox::sendRecord(const Record& record) {
  const bool queued = impl_->locked([&](Shared& s) {
    if (!s.link.connected[kReplyPipe]) return false;
    s.replies.push(record);
    return true;
  });
  if (queued) impl_->wake();
  return queued;
}
bool VirtualBox::sendRecord(std::initializer_list<uint8_t> bytes) {
  return sendRecord(makeRecord(bytes));
}
uint64_t VirtualBox::droppedRecords() const {
  return impl_->locked([](const Shared& s) { return s.replies.dropped(); });
}
bool VirtualBox::sendCallerId(CallerIdFormat format, const std::string& number,
                              const std::string& dateTime, const std::string& name, bool leadFF) {
  auto r = callerIdRecord(format, number, dateTime, name, leadFF);
  if (!r || !impl_->sendEvent(*r)) return false;
  const auto signal = impl_->locked([](const Shared& s) { return s.settings.callerIdSignal; });
  impl_->putSignal(callerIdBurst(*r, signal));
  return true;
}
bool VirtualBox::sendIncomingCall(CallerIdTiming timing, int rings, CallerIdFormat format,
                                  const std::string& number, const std::string& dateTime,
                                  const std::string& name) {
  using std::chrono::milliseconds;
  constexpr size_t kPerMs = 8;  // samples
  auto r = callerIdRecord(format, number, dateTime, name);
  if (!r || rings < 1) return false;
  const auto signal = impl_->locked([](const Shared& s) { return s.settings.callerIdSignal; });
  const Samples burst = callerIdBurst(*r, signal);
  Samples line;  // what the line carries from now on, up to the burst's end
  milliseconds firstRing{0}, ringEvery{6000};
  if (timing == CallerIdTiming::NorthAmerica) {
    line.assign(2500 * kPerMs, 0);  // ring 1, then 0.5 s of quiet
  } else {
    line = mixSignals(toneSignal(2130, 100, -20), toneSignal(2750, 100, -20));
    line.resize(line.size() + 100 * kPerMs, 0);
    ringEvery = milliseconds(5000);
  }
  line.insert(line.end(), burst.begin(), burst.end());
  const milliseconds idAt(line.size() / kPerMs);
  if (timing == CallerIdTiming::Etsi) firstRing = idAt + milliseconds(500);
  const bool queued = impl_->locked([&](Shared& s) {
    if (!s.link.connected[kReplyPipe]) return false;
    const auto now = Clock::now();
    for (int i = 0; i < rings; ++i) s.replies.answer(ringRecord(), firstRing + i * ringEvery, now);
    if (!s.settings.detect) s.replies.answer(*r, idAt, now);  // else the detectors hear it
    return true;
  });
  if (!queued) return false;
  impl_->putSignal(line);
  impl_->wake();
  return true;
}

bool VirtualBox::sendNoNumber() {
  return sendRecord(noNumberRecord());
}
bool VirtualBox::sendDtmf(uint8_t code) {
  if (!impl_->sendEvent(dtmfRecord(code))) return false;
  const auto style = impl_->locked([](const Shared& s) { return s.settings.dtmfStyle; });
  impl_->putSignal(dtmfSignal(std::string(1, digitChar(code)), style));
  return true;
}
bool VirtualBox::sendTone(uint8_t first, uint16_t second) {
  if (!impl_->sendEvent(toneRecord(first, second))) return false;
  impl_->putSignal(toneSignal(kReportedToneHz, kReportedToneMs));
  return true;
}
bool VirtualBox::sendRing() {
  return sendRecord(ringRecord());
}
bool VirtualBox::sendHookStatus(bool offHook) {
  impl_->locked([&](Shared& s) { s.line.state.offHook = offHook; });
  return sendRecord(hookStatusRecord(offHook));
}
bool VirtualBox::sendPlaybackFault() {
  return sendRecord(playbackFaultRecord());
}

// ---- inspection ----

LineState VirtualBox::lineState() const {
  return impl_->locked([](const Shared& s) { return s.line.state; });
}
std::array<uint8_t, kFlashSize> VirtualBox::flash() const {
  return impl_->locked([](const Shared& s) { return s.line.flash; });
}
bool VirtualBox::audioStreaming() const {
  return impl_->locked([](const Shared& s) { return s.streaming(); });
}
uint64_t VirtualBox::framesSent() const {
  return impl_->locked([](const Shared& s) { return s.audioIn.sent; });
}
uint64_t VirtualBox::droppedFrames() const {
  return impl_->locked([](const Shared& s) { return s.audioIn.dropped; });
}
uint64_t VirtualBox::partialFramesSent() const {
  return impl_->locked([](const Shared& s) { return s.audioIn.partialsSent; });
}
bool VirtualBox::waitForFrames(uint64_t n, std::chrono::milliseconds timeout) const {
  return impl_->waitUntil(timeout, [n](const Shared& s) { return s.audioIn.sent >= n; });
}
bool VirtualBox::waitForDroppedFrames(uint64_t n, std::chrono::milliseconds timeout) const {
  return impl_->waitUntil(timeout, [n](const Shared& s) { return s.audioIn.dropped >= n; });
}
std::vector<uint8_t> VirtualBox::playedAudio() const {
  return impl_->locked([](const Shared& s) { return s.audioOut.played; });
}
void VirtualBox::clearPlayedAudio() {
  impl_->locked([](Shared& s) { s.audioOut.played.clear(); });
}
size_t VirtualBox::packetsReceived() const {
  return impl_->locked([](const Shared& s) { return s.audioOut.packets; });
}
size_t VirtualBox::goAheadsSent() const {
  return impl_->locked([](const Shared& s) { return s.audioOut.goAheads; });
}
bool VirtualBox::waitForPackets(size_t n, std::chrono::milliseconds timeout) const {
  return impl_->waitUntil(timeout, [n](const Shared& s) { return s.audioOut.packets >= n; });
}
std::vector<LoggedCommand> VirtualBox::commands() const {
  return impl_->locked([](const Shared& s) { return s.commands; });
}
std::vector<LoggedControl> VirtualBox::controlRequests() const {
  return impl_->locked([](const Shared& s) { return s.controls; });
}
void VirtualBox::clearLog() {
  impl_->locked([](Shared& s) {
    s.commands.clear();
    s.controls.clear();
  });
}
bool VirtualBox::waitForCommands(size_t n, std::chrono::milliseconds timeout) const {
  return impl_->waitUntil(timeout, [n](const Shared& s) { return s.commands.size() >= n; });
}
size_t VirtualBox::malformedMessages() const {
  return impl_->locked([](const Shared& s) { return s.malformed; });
}

}  // namespace tavro::vbox
