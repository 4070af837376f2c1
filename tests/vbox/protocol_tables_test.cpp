// The box keeps its own tables of the protocol on purpose (a test box must be able to
// disagree with the library); here they are held against the library's protocol header,
// so that a change on one side alone is noticed.
#include <gtest/gtest.h>

#include "protocol/packets.h"
#include "vbox/line.h"
#include "vbox/records.h"

namespace tavro::vbox {
namespace {

TEST(ProtocolTables, CommandCodesAgree) {
  const std::pair<uint8_t, Command> codes[] = {
      {kCmdPutDown, Command::kPutDown},
      {kCmdPickUp, Command::kPickUp},
      {kCmdDial, Command::kDial},
      {kCmdRecord, Command::kRecordStatus},
      {kCmdPlay, Command::kPlayStatus},
      {kCmdToneReset, Command::kContinueTone},
      {kCmdSpaceCode, Command::kSpaceCode},
      {kCmdMute, Command::kMute},
      {kCmdMicOut, Command::kMicOut},
      {kCmdLineMic, Command::kLineMic},
      {kCmdDtmfCheck, Command::kCheckDtmf},
      {kCmdNextCallDelay, Command::kNextCallDelay},
      {kCmdReadFlags, Command::kReadFlags},
      {kCmdFlash, Command::kWriteFlash},
      {kCmdDetectRing, Command::kDetectRing},
      {kCmdReadType, Command::kReadType},
      {kCmdReadInfo, Command::kReadInfo},
  };
  for (const auto& [box, library] : codes) EXPECT_EQ(box, codeOf(library));
  EXPECT_EQ(codeOf(commands::kFileSwitch.code), kCmdMicOut) << "the play-path switch";
}

TEST(ProtocolTables, ReplyTypesAgree) {
  const std::pair<uint8_t, Reply> types[] = {
      {kRingReply, Reply::kReply3},
      {kCallerIdReply, Reply::kCallerNumber},
      {kToneReply, Reply::kToneReport},
      {kDtmfReply, Reply::kDtmfCode},
      {kFlagsReply, Reply::kFlagsValue},
      {kReadyReply, Reply::kDeviceReady},
      {kAckReply, Reply::kAcknowledge},
      {kTypeCodeReply, Reply::kTypeCode},
      {kInfoReply, Reply::kInfo},
      {kAltAckReply, Reply::kAcknowledge2},
      {kStatusItemReply, Reply::kStatusItem},
  };
  for (const auto& [box, library] : types) EXPECT_EQ(box, codeOf(library));
  EXPECT_EQ(kFlagsSubType, codeOf(ReadySubType::kFlagsValue));
}

TEST(ProtocolTables, TheBoxsRecordsReadAsTheLibraryReadsThem) {
  // The default answer is a type the library only clears the pending bit for.
  for (Reply named : {Reply::kNoUsed, Reply::kReply3, Reply::kCallerNumber, Reply::kToneReport,
                      Reply::kReply6, Reply::kDtmfCode, Reply::kFlagsValue, Reply::kDeviceReady,
                      Reply::kAcknowledge, Reply::kTypeCode, Reply::kInfo, Reply::kAcknowledge2,
                      Reply::kStatusItem, Reply::kTestReply, Reply::kTestRecord})
    EXPECT_NE(kDefaultReply, codeOf(named));

  const Record hook = hookStatusRecord(true);
  EXPECT_EQ(replyTypeOf(hook.data()), Reply::kStatusItem);
  EXPECT_EQ(hook[1], codeOf(StatusItemKind::kHookState));
  EXPECT_EQ(hook[2], kOffHook);
  const Record fault = playbackFaultRecord();
  EXPECT_EQ(fault[1], codeOf(StatusItemKind::kPlayback));
  EXPECT_EQ(fault[2], kPlaybackFault);
  EXPECT_EQ(noNumberRecord()[1], codeOf(CallerNumberKind::kNoNumber));
  EXPECT_EQ(callerIdRecord(CallerIdFormat::DigitString, "123")->at(1),
            codeOf(CallerNumberKind::kRecord));

  // The flags value the box sends in its two forms reads back as the library reads it.
  LineModel line;
  line.settings.flagsValue = 0x12345678;
  const Record eight = line.handle(Packet{kCmdReadFlags}).front();
  EXPECT_EQ(le32(eight.data() + 1), 0x12345678u);
  line.settings.flagsViaType9 = true;
  const Record nine = line.handle(Packet{kCmdReadFlags}).front();
  EXPECT_EQ(le32(nine.data() + 2), 0x12345678u);
}

}  // namespace
}  // namespace tavro::vbox
