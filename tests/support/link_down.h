// Every operation that needs the box, with what it gives while the link is down: one table
// for the tests of a link that never came up, that went down and that was unplugged.
#ifndef TAVRO_TESTS_SUPPORT_LINK_DOWN_H
#define TAVRO_TESTS_SUPPORT_LINK_DOWN_H

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tavro/CKusb_IO.h"

namespace tavro::test {

struct OperationCase {
  const char* name;
  std::function<int(CKusb_IO&)> call;
  int expected;
};

// `file` names the audio file of the recording and playback operations; none is created.
inline std::vector<OperationCase> linkDownOperations(const std::string& file) {
  // The buffers live as long as the calls that use them.
  struct Buffers {
    std::array<unsigned char, 600> bytes{};
    std::array<unsigned short, 2> report{};
  };
  auto buf = std::make_shared<Buffers>();
  return {
      {"RequestSpaceCode", [](CKusb_IO& i) { return i.RequestSpaceCode(); }, -1},
      {"Test_End0_WR", [buf](CKusb_IO& i) { return i.Test_End0_WR(1, buf->bytes.data()); }, -1},
      {"PickUp", [](CKusb_IO& i) { return i.PickUp(); }, -1},
      {"PutDown", [](CKusb_IO& i) { return i.PutDown(); }, -1},
      {"IfMute", [](CKusb_IO& i) { return i.IfMute(true); }, -1},
      {"IfMicOut", [](CKusb_IO& i) { return i.IfMicOut(true); }, -1},
      {"GetLine_Mic", [](CKusb_IO& i) { return i.GetLine_Mic(true); }, -1},
      {"SetNextCallDelay", [](CKusb_IO& i) { return i.SetNextCallDelay(150); }, -1},
      {"DialNmb", [](CKusb_IO& i) { return i.DialNmb("123"); }, -1},
      {"DialNmb empty", [](CKusb_IO& i) { return i.DialNmb(""); }, -1},
      {"DialNmbCStr", [](CKusb_IO& i) { return i.DialNmbCStr("123"); }, -1},
      // The empty string is refused before the link is looked at.
      {"DialNmbCStr empty", [](CKusb_IO& i) { return i.DialNmbCStr(""); }, -2},
      {"DetectRing", [](CKusb_IO& i) { return i.DetectRing(); }, -1},
      {"Read_Call_Nmb", [buf](CKusb_IO& i) { return i.Read_Call_Nmb(buf->bytes.data()); }, -1},
      {"ReadstrCallNmb", [](CKusb_IO& i) { return i.ReadstrCallNmb() == "-1" ? -1 : 0; }, -1},
      {"ReaddiFlagsValue", [](CKusb_IO& i) { return i.ReaddiFlagsValue(); }, -1},
      {"GetDTMFCode", [buf](CKusb_IO& i) { return i.GetDTMFCode(buf->bytes.data()); }, -1},
      {"SetCheckDTMFCall", [](CKusb_IO& i) { return i.SetCheckDTMFCall(true); }, -1},
      {"SetContinueReturn450Hz", [](CKusb_IO& i) { return i.SetContinueReturn450Hz(true); }, -1},
      {"Get450HzRecd", [buf](CKusb_IO& i) { return i.Get450HzRecd(buf->report.data()); }, -1},
      {"ReadQV_Type", [buf](CKusb_IO& i) { return i.ReadQV_Type(buf->bytes.data()); }, -1},
      {"ReadHSPInfo", [buf](CKusb_IO& i) { return i.ReadHSPInfo(buf->bytes.data()); }, -1},
      {"WriteDataToFlash", [buf](CKusb_IO& i) { return i.WriteDataToFlash(buf->bytes.data()); },
       -1},
      {"StartReadSound", [file](CKusb_IO& i) { return i.StartReadSound(file.c_str(), 1); }, -1},
      {"StartReadSoundCStr", [file](CKusb_IO& i) { return i.StartReadSoundCStr(file, 1); }, -1},
      {"StartReadSoundCStrF", [file](CKusb_IO& i) { return i.StartReadSoundCStrF(file); }, -1},
      {"StopReadSound", [](CKusb_IO& i) { return i.StopReadSound(); }, -1},
      {"SetRecordStatus", [](CKusb_IO& i) { return i.SetRecordStatus(true, 1); }, -1},
      {"StartPlaySound",
       [file](CKusb_IO& i) { return i.StartPlaySound(file.c_str(), 0, 1, 0, false); }, -1},
      {"StopPlaySound", [](CKusb_IO& i) { return i.StopPlaySound(); }, -1},
      {"SetPlayStatus", [](CKusb_IO& i) { return i.SetPlayStatus(1, 2, 3, 4); }, -1},
      {"FS_Open", [](CKusb_IO& i) { return i.FS_Open(); }, -1},
      {"FS_Close", [](CKusb_IO& i) { return i.FS_Close(); }, -1},
      {"OpenReadSoundInPC", [](CKusb_IO& i) { return i.OpenReadSoundInPC(); }, -1},
      {"ReadSoundFromBufferToPC",
       [buf](CKusb_IO& i) { return i.ReadSoundFromBufferToPC(buf->bytes.data(), 100); }, -1},
      {"CloseReadSoundInPC", [](CKusb_IO& i) { return i.CloseReadSoundInPC(); }, -1},
      {"OpenWriteSoundToBuff", [](CKusb_IO& i) { return i.OpenWriteSoundToBuff(); }, -1},
      {"WriteSoundFromPCToBuffer",
       [buf](CKusb_IO& i) { return i.WriteSoundFromPCToBuffer(buf->bytes.data(), 100); }, -1},
      {"CloseWriteSoundToBuff", [](CKusb_IO& i) { return i.CloseWriteSoundToBuff(); }, -1},
  };
}

}  // namespace tavro::test

#endif  // TAVRO_TESTS_SUPPORT_LINK_DOWN_H
