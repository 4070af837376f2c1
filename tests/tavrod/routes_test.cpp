// Which reply record a shared box gives to whom, and which answer ends or belongs to which
// command: the table of docs/sharing.md, row by row.
#include "tavrod/routes.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace tavro::daemon {
namespace {

struct Row {
  std::vector<uint8_t> record;  // its first bytes; the rest are zero
  Route route;
};

std::array<uint8_t, 64> recordOf(const std::vector<uint8_t>& head) {
  std::array<uint8_t, 64> r{};
  std::copy(head.begin(), head.end(), r.begin());
  return r;
}

TEST(TavrodRoutes, EachReplyTypeGoesToItsPrograms) {
  const Row rows[] = {
      {{1, 4}, Route::kSender},           // the plain answer
      {{2, 1}, Route::kEveryone},         // "no used"
      {{3}, Route::kEveryone},            // ring
      {{4, 1, 0x80}, Route::kEveryone},   // caller number
      {{4, 2}, Route::kEveryone},         // no number
      {{5, 1, 20, 0}, Route::kEveryone},  // tone report
      {{6}, Route::kEveryone},
      {{7, 5}, Route::kEveryone},              // DTMF
      {{8, 1, 2, 3, 4}, Route::kSender},       // flags value
      {{9, 208, 1, 1}, Route::kEveryone},      // status item: hook
      {{9, 208, 3, 0}, Route::kPlayer},        // status item: playback fault
      {{9, 209, 1, 2, 3, 4}, Route::kSender},  // flags value
      {{9, 0}, Route::kPlayer},                // playback go-ahead
      {{10, 1}, Route::kSender},               // acknowledge
      {{19, 1}, Route::kSender},
      {{11, 0x35}, Route::kSender},     // device type
      {{18, 'V'}, Route::kSender},      // device information
      {{208, 1, 1}, Route::kEveryone},  // hook state
      {{208, 3, 0}, Route::kPlayer},    // playback fault
      {{208, 3, 2}, Route::kPlayer},    // playback refused
      {{208, 7, 1}, Route::kEveryone},  // another status item
      {{240, 1}, Route::kSender},       // test reply
      {{241}, Route::kSender},
      {{0x77}, Route::kSender},  // an unknown type
  };
  for (const Row& row : rows) {
    const auto r = recordOf(row.record);
    EXPECT_EQ(routeOf(r.data()), row.route) << "reply type " << int(r[0]) << ", " << int(r[1]);
  }
}

TEST(TavrodRoutes, DataCommandsWaitForTheirDataAndAnswersAreKnownByTheirCommand) {
  struct Case {
    Command code;
    std::vector<uint8_t> record;
    bool ends, answers;
  };
  const Case cases[] = {
      {Command::kPickUp, {1, 4}, true, true},
      {Command::kPickUp, {1, 3}, true, false},  // another command's plain answer
      {Command::kPickUp, {240, 1}, true, false},
      {Command::kReadType, {1, 27}, false, true},
      {Command::kReadType, {11, 0x35}, true, true},
      {Command::kReadType, {18, 'V'}, false, false},
      {Command::kReadInfo, {18, 'V'}, true, true},
      {Command::kReadFlags, {8, 1}, true, true},
      {Command::kReadFlags, {9, 209, 1}, true, true},
      {Command::kReadFlags, {9, 208, 1, 1}, false, false},
      {Command::kWriteFlash, {10, 1}, true, true},
      {Command::kWriteFlash, {19, 1}, true, true},
      {Command::kDial, {11, 0x35}, true, false},
  };
  for (const Case& c : cases) {
    const auto r = recordOf(c.record);
    EXPECT_EQ(endsCommand(codeOf(c.code), r.data()), c.ends)
        << "command " << int(codeOf(c.code)) << ", reply " << int(r[0]);
    EXPECT_EQ(answers(codeOf(c.code), r.data()), c.answers)
        << "command " << int(codeOf(c.code)) << ", reply " << int(r[0]);
  }
}

TEST(TavrodRoutes, ACommandHoldsTheOthersBackForItsOwnPollLimit) {
  EXPECT_EQ(answerLimit(codeOf(Command::kPickUp)).count(), 3000);
  EXPECT_EQ(answerLimit(codeOf(Command::kDial)).count(), 20000);
  EXPECT_EQ(answerLimit(0x5a).count(), 100 * kTestTransferPolls);  // a test transfer
}

}  // namespace
}  // namespace tavro::daemon
