// Ostrel against a virtual box: start-up, the toggle button, About, and the way out.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <future>
#include <optional>

#include "device/state.h"
#include "device/threads.h"
#include "line/dial_parameters.h"
#include "ostrel/gui_support.h"
#include "platform/platform.h"
#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "testapp/about_dialog.h"
#include "testapp/notice_bridge.h"
#include "testapp/ostrel_dialog.h"
#include "vbox/virtual_box.h"

namespace tavro::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr uint32_t kClearedAtStart = kCallerNumberBit | 0x10000;

bool received(const vbox::VirtualBox& box, std::initializer_list<uint8_t> head) {
  for (const auto& command : box.commands()) {
    if (std::equal(head.begin(), head.end(), command.packet.begin())) return true;
  }
  return false;
}

uintmax_t fileSize(const fs::path& file) {
  std::error_code error;
  const uintmax_t size = fs::file_size(file, error);
  return error ? 0 : size;
}

uint32_t le32(const std::vector<char>& bytes, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

std::vector<char> readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

// One field of what sox reads from a file's header (-r rate, -c channels, -e encoding,
// -s samples); empty when sox refuses the file.
std::string soxField(const fs::path& file, const char* field) {
  const std::string command =
      std::string(SOX_PROGRAM) + " --i " + field + " '" + file.string() + "' 2>/dev/null";
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  char line[256];
  while (fgets(line, sizeof line, pipe)) out += line;
  if (pclose(pipe) != 0) return {};
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// sox reads the file as 8000 Hz mono A-law with exactly the samples the header announces.
void expectValidWave(const fs::path& file, size_t dataBytes) {
  EXPECT_EQ(soxField(file, "-r"), "8000");
  EXPECT_EQ(soxField(file, "-c"), "1");
  EXPECT_EQ(soxField(file, "-e"), "A-law");
  EXPECT_EQ(soxField(file, "-s"), std::to_string(dataBytes));
}

// A virtual box, a fresh publish folder and working directory, and the dialog with its notices.
class OstrelBoxTest : public ::testing::Test {
 protected:
  // A message box on the GUI thread would wait for a user forever: note it and close it.
  void SetUp() override {
    QObject::connect(&watchdog_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box) return;
      unexpected_.push_back(box->text().toStdString());
      box->reject();
    });
    watchdog_.start(20);
  }
  void TearDown() override {
    watchdog_.stop();
    for (const std::string& text : unexpected_) ADD_FAILURE() << "message box: " << text;
  }

  void startDialog() {
    ostrel::OstrelOptions options;
    options.notices = &notices_;
    // Sets the two bits that the start-up is to clear, so that the test can see it happen.
    options.factory = [] {
      auto io = std::make_unique<CKusb_IO>();
      io->SetTelStatus(io->GetTelStatus() | kClearedAtStart);
      return io;
    };
    dialog_.emplace(options);
    ASSERT_TRUE(dialog_->startUp());
    dialog_->show();
    toggle_ = dialog_->toggleButton();
  }

  void click() { QTest::mouseClick(toggle_, Qt::LeftButton); }

  fs::path wave() const { return work_.path() / "CallSignalFile.wav"; }

  RuntimeDir runtime_;
  WorkingDir work_;
  vbox::VirtualBox box_;
  ostrel::NoticeBridge notices_;
  std::optional<ostrel::OstrelDialog> dialog_;
  QPushButton* toggle_ = nullptr;
  QTimer watchdog_;
  std::vector<std::string> unexpected_;
};

TEST_F(OstrelBoxTest, OpensIdleWithTheLineSetUp) {
  startDialog();
  EXPECT_FALSE(toggle_->isChecked());
  EXPECT_EQ(toggle_->text(), QStringLiteral("信号测试"));
  EXPECT_TRUE(box_.waitForCommands(1, 10s));
  EXPECT_TRUE(eventually([&] { return received(box_, {23, 150}); }));
  EXPECT_EQ(statusWord() & kClearedAtStart, 0u);
  EXPECT_EQ(dialParameters().dialPara1.load(), 5u);
  EXPECT_EQ(dialParameters().dialPara2.load(), 5u);
  EXPECT_EQ(dialParameters().dialPara3.load(), 17u);
}

TEST_F(OstrelBoxTest, TwoClicksRecordAValidWaveFile) {
  startDialog();
  click();
  EXPECT_TRUE(toggle_->isChecked());
  EXPECT_EQ(toggle_->text(), QStringLiteral("停止测试"));
  EXPECT_TRUE(eventually([&] { return received(box_, {7, 1, 1}); }));
  EXPECT_TRUE(eventually([&] { return fileSize(wave()) > 48 + 500; }));
  saveScreenshot(&*dialog_, QStringLiteral("ostrel-testing.png"));

  click();
  EXPECT_FALSE(toggle_->isChecked());
  EXPECT_TRUE(toggle_->isEnabled());
  EXPECT_EQ(toggle_->text(), QStringLiteral("信号测试"));
  EXPECT_TRUE(received(box_, {7, 0, 0}));

  const std::vector<char> bytes = readFile(wave());
  ASSERT_GT(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 44), bytes.size() - 48);
  EXPECT_EQ(le32(bytes, 4), bytes.size() - 8);
  expectValidWave(wave(), bytes.size() - 48);
}

TEST_F(OstrelBoxTest, ClosingWhileRecordingFinishesTheFileAndEndsEveryThread) {
  startDialog();
  click();
  ASSERT_TRUE(eventually([&] { return fileSize(wave()) > 48; }));
  dialog_->reject();  // what the Cancel button, Escape and the close button do
  EXPECT_FALSE(dialog_->testOn());
  EXPECT_TRUE(received(box_, {7, 0, 0}));
  const std::vector<char> bytes = readFile(wave());
  ASSERT_GE(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 44), bytes.size() - 48) << "placeholder sizes left in the header";
  expectValidWave(wave(), bytes.size() - 48);

  dialog_->shutDown();
  EXPECT_EQ(workers().replyReaderAlive.load(), 0);
  EXPECT_EQ(workers().commandWriterAlive.load(), 0);
  EXPECT_EQ(workers().audioInAlive.load(), 0);
  EXPECT_EQ(workers().audioOutAlive.load(), 0);
  EXPECT_EQ(workers().monitorAlive.load(), 0);
}

TEST_F(OstrelBoxTest, EndRequestWithAboutOpenClosesBothAndFinishesTheRecording) {
  startDialog();
  click();
  ASSERT_TRUE(eventually([&] { return fileSize(wave()) > 48; }));
  ModalAnswer answer([&](QWidget* modal) {
    EXPECT_NE(qobject_cast<ostrel::AboutDialog*>(modal), nullptr);
    dialog_->requestEnd();  // as on Ctrl-C in the terminal
    EXPECT_FALSE(modal->isVisible());
  });
  dialog_->showAbout();
  EXPECT_TRUE(answer.answered());
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_FALSE(dialog_->testOn());
  const std::vector<char> bytes = readFile(wave());
  ASSERT_GE(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 44), bytes.size() - 48);
}

// The link goes during a test: the recording ends with a valid file, the button goes back by
// itself, the loss shows no notice (a recording was open), and the next test records.
TEST_F(OstrelBoxTest, ALostLinkEndsTheTestAndPutsTheButtonBack) {
  startDialog();
  click();
  ASSERT_TRUE(eventually([&] { return fileSize(wave()) > 48 + 500; }));
  box_.unplug();
  EXPECT_TRUE(eventuallyGui([&] { return !toggle_->isChecked() && !dialog_->testOn(); }));
  EXPECT_EQ(toggle_->text(), QStringLiteral("信号测试"));
  const std::vector<char> bytes = readFile(wave());
  ASSERT_GT(bytes.size(), 48u);
  EXPECT_EQ(le32(bytes, 44), bytes.size() - 48) << "placeholder sizes left in the header";
  expectValidWave(wave(), bytes.size() - 48);
  EXPECT_TRUE(platform::awaitNoticesDelivered(10s));
  EXPECT_TRUE(notices_.openBoxes().isEmpty());

  box_.plug();
  ASSERT_TRUE(eventually([] { return !linkDown(); }));
  click();
  EXPECT_TRUE(dialog_->testOn());
  EXPECT_TRUE(eventually([&] { return fileSize(wave()) > 48 + 500; }));
  click();
  EXPECT_FALSE(dialog_->testOn());
  expectValidWave(wave(), fileSize(wave()) - 48);
}

TEST_F(OstrelBoxTest, StartFailsSilentlyWhenTheBoxWasUnplugged) {
  startDialog();
  box_.unplug();
  ASSERT_TRUE(eventually([] { return linkDown(); }));
  click();
  EXPECT_FALSE(toggle_->isChecked());
  EXPECT_FALSE(dialog_->testOn());
  EXPECT_EQ(toggle_->text(), QStringLiteral("信号测试"));
  EXPECT_FALSE(QApplication::activeModalWidget());
  // The link-lost notice, if shown meanwhile, is released by the way out.
  dialog_->shutDown();
}

TEST_F(OstrelBoxTest, TheEndReleasesALinkLostNoticeThatWaitsForOk) {
  startDialog();
  box_.unplug();
  ASSERT_TRUE(eventuallyGui([&] { return notices_.openBoxes().size() == 1; }));
  EXPECT_EQ(notices_.openBoxes().front()->text().toStdString(), kLinkLostMessage);
  EXPECT_EQ(notices_.waiting(), 1u);

  dialog_->requestEnd();  // as on SIGTERM
  EXPECT_FALSE(dialog_->isVisible());
  EXPECT_EQ(notices_.waiting(), 0u) << "the notice still waits for a dialog that has ended";
  EXPECT_TRUE(notices_.openBoxes().isEmpty());
  const auto start = std::chrono::steady_clock::now();
  dialog_->shutDown();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 5s) << std::chrono::duration<double>(took).count() << " s";
  EXPECT_TRUE(platform::awaitNoticesDelivered(0ms));
  EXPECT_EQ(workers().monitorAlive.load(), 0);
  EXPECT_EQ(workers().replyReaderAlive.load(), 0);
}

TEST_F(OstrelBoxTest, AboutOpensFromTheButtonAndFromTheMenuEntry) {
  startDialog();
  auto expectAbout = [](QWidget* modal) {
    auto* about = qobject_cast<ostrel::AboutDialog*>(modal);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->windowTitle(), QStringLiteral("关于 Ostrel"));
    about->okButton()->click();
  };
  {
    ModalAnswer answer(expectAbout);
    QTest::mouseClick(dialog_->aboutButton(), Qt::LeftButton);
    EXPECT_TRUE(answer.answered());
  }
  {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            dialog_->mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&*dialog_, &event);
    QMenu* menu = dialog_->systemMenu();
    ASSERT_TRUE(eventuallyGui([&] { return menu->isVisible(); }));
    QAction* first = menu->actions().value(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->text(), QStringLiteral("关于 Ostrel(&A)..."));
    ModalAnswer answer(expectAbout);
    QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(first).center());
    EXPECT_TRUE(eventuallyGui([&] { return answer.answered(); }));
  }
  {
    // The system menu's command, whose low four bits belong to the window system.
    ModalAnswer answer(expectAbout);
    EXPECT_TRUE(dialog_->systemCommand(ostrel::kAboutCommand | 0x3));
    EXPECT_TRUE(answer.answered());
  }
  EXPECT_FALSE(dialog_->systemCommand(0xF060));
}

TEST(OstrelNoBox, ShowsTheMessageAndEnds) {
  RuntimeDir runtime;
  WorkingDir work;
  platform::setTimeScale(20);
  ostrel::NoticeBridge notices;
  ostrel::OstrelOptions options;
  options.notices = &notices;
  ostrel::OstrelDialog dialog(options);
  QString text, title;
  ModalAnswer answer([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    ASSERT_NE(box, nullptr);
    text = box->text();
    title = box->windowTitle();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(dialog.run(), QDialog::Rejected);
  EXPECT_TRUE(answer.answered());
  EXPECT_EQ(text, QStringLiteral("PomerinVelto没有连接好!"));
  EXPECT_EQ(title, QStringLiteral("Ostrel"));
  EXPECT_FALSE(dialog.isVisible());
  dialog.shutDown();
  EXPECT_EQ(workers().replyReaderAlive.load(), 0);
  platform::setTimeScale(1);
}

TEST(OstrelNoBox, WaitingWindowAppearsAndItsCancelEndsTheProgram) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ostrel::OstrelOptions options;
  options.waitWindowDelay = 20ms;
  // A library start that does not return until the test lets it.
  options.factory = [released]() -> std::unique_ptr<CKusb_IO> {
    released.wait();
    return nullptr;
  };
  ostrel::OstrelDialog dialog(options);
  bool sawWindow = false;
  QTimer cancel;
  cancel.setInterval(5);
  QObject::connect(&cancel, &QTimer::timeout, [&] {
    QDialog* window = dialog.waitWindow();
    if (!window || !window->isVisible()) return;
    sawWindow = true;
    cancel.stop();
    window->findChild<QPushButton*>(QStringLiteral("waitCancelButton"))->click();
  });
  cancel.start();
  EXPECT_EQ(dialog.run(), QDialog::Rejected);
  EXPECT_TRUE(sawWindow);
  EXPECT_FALSE(dialog.isVisible());
  release.set_value();
  dialog.shutDown();
  EXPECT_FALSE(dialog.libraryAbandoned());
}

}  // namespace
}  // namespace tavro::test
