#include "audio/audio_common.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#include "audio/audio_state.h"
#include "device/command.h"
#include "device/state.h"
#include "device/wait.h"
#include "tavro/CKusb_IO.h"

namespace tavro {
namespace {

using std::chrono::milliseconds;

// The box's audio-in stream as the library switches it (audio/audio_common.h).
RecorderState::StreamSwitch& streamSwitch() {
  return recorderState().streamSwitch;
}

int sendRecordStatus(bool start, int mode) {
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(commands::kRecordStatus,
                          {static_cast<uint8_t>(start ? 1 : 0), static_cast<uint8_t>(mode)});
}

}  // namespace

bool audioStopping() {
  return linkState().stopping.load() == 1;
}

void awaitBackInWait(Signalled<uint8_t>& startFlag) {
  waitFor([&] { return startFlag.load() == 0 || audioStopping(); }, milliseconds{10}, 20);
}

int sendPlayStatus(uint8_t on, uint8_t mode, uint8_t param, uint8_t flag) {
  if (linkDown()) return TAVRO_ERROR_LINK_DOWN;
  return commandRoundTrip(commands::kPlayStatus, {on, mode, param, flag});
}

bool playableLength(const char* name, uint32_t* length) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(name, ec);
  if (ec || size > 0xFFFFFFFFu) return false;
  *length = static_cast<uint32_t>(size);
  return true;
}

uint64_t recordStreamStarts() {
  return streamSwitch().seen();
}

void switchStreamOff(uint64_t starts) {
  RecorderState::StreamSwitch& s = streamSwitch();
  MutexLock lock(s.mutex);
  if (s.starts.load() == starts) sendRecordStatus(false, 0);
}

int switchRecordStream(bool on, int mode) {
  if (!on) return sendRecordStatus(false, mode);
  RecorderState::StreamSwitch& s = streamSwitch();
  MutexLock lock(s.mutex);
  s.starts.fetch_add(1);
  return sendRecordStatus(true, mode);
}

}  // namespace tavro
