#include "vbox/line.h"

#include <algorithm>

#include "platform/wire.h"
#include "protocol/packets.h"
#include "vbox/records.h"

namespace tavro::vbox {

std::vector<Record> LineModel::handle(const Packet& p) {
  Record plain = makeRecord({kDefaultReply, p[0]});
  bool on = p[1] == 1;
  switch (p[0]) {
    case kCmdPickUp:
    case kCmdPutDown:
      state.offHook = p[0] == kCmdPickUp;
      if (settings.reportHook) return {hookStatusRecord(state.offHook), plain};
      return {plain};
    case kCmdDial: {
      size_t n = std::min<size_t>(p[1], kMaxDialDigits);  // as many as the library sends
      std::copy_n(p.begin() + 2, 3, state.dialParams.begin());
      const auto digits = p.begin() + tavro::kDialDigitsOffset;
      state.dialledCodes.assign(digits, digits + n);
      state.dialledNumber.clear();
      for (uint8_t c : state.dialledCodes) state.dialledNumber += digitChar(c);
      ++state.dials;
      return {plain};
    }
    case kCmdRecord:
      state.recording = on;
      state.recordMode = p[2];
      return {plain};
    case kCmdPlay:
      state.playing = on;
      // Switching playback on is answered by the first go-ahead (which clears the pending
      // command as well), so that no second clearing record can overtake the next command.
      if (on) return {makeRecord({kReadyReply, 0})};
      return {plain};
    case kCmdToneReset:
      ++state.toneResets;
      return {plain};
    case kCmdMute:
      state.mute = on;
      return {plain};
    case kCmdMicOut:
      state.micOut = on;
      return {plain};
    case kCmdLineMic:
      state.lineMic = on;
      return {plain};
    case kCmdDtmfCheck:
      state.dtmfChecking = on;
      return {plain};
    case kCmdNextCallDelay:
      state.nextCallDelay = p[1];
      return {plain};
    case kCmdReadFlags: {
      uint32_t v = settings.flagsValue;
      auto b = [v](int i) { return uint8_t(v >> (8 * i)); };
      if (settings.flagsViaType9)
        return {makeRecord({kReadyReply, kFlagsSubType, b(0), b(1), b(2), b(3)})};
      return {makeRecord({kFlagsReply, b(0), b(1), b(2), b(3)})};
    }
    case kCmdFlash:
      if (p[1] >= kFlashSize / kFlashBlock) return {plain};  // no such block: store nothing
      std::copy_n(p.begin() + 4, kFlashBlock, flash.begin() + p[1] * kFlashBlock);
      ++state.flashWrites;
      return {makeRecord({settings.flashAckType, settings.flashAck})};
    case kCmdDetectRing:
      ++state.ringRequests;
      return {plain};
    case kCmdReadType:
      return {makeRecord({kTypeCodeReply, settings.typeCode})};
    case kCmdReadInfo: {
      Record r{};
      r[0] = kInfoReply;
      std::copy(settings.infoBlock.begin(), settings.infoBlock.end(), r.begin() + 1);
      return {r};
    }
    default:
      return {plain};
  }
}

}  // namespace tavro::vbox
