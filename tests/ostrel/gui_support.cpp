#include "ostrel/gui_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QTimer>
#include <stdexcept>
#include <thread>

namespace tavro::test {

namespace {

// One application object for the whole test program, on the offscreen platform.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "ostrel_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] ::testing::Environment* const kQt =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

bool eventuallyGui(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

ModalAnswer::ModalAnswer(std::function<void(QWidget*)> inspect) : timer_(new QTimer) {
  timer_->setInterval(5);
  QObject::connect(timer_.get(), &QTimer::timeout, [this, inspect = std::move(inspect)] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || answered_) return;
    answered_ = true;
    timer_->stop();
    inspect(modal);
    if (auto* dialog = qobject_cast<QDialog*>(modal); dialog && dialog->isVisible()) {
      dialog->reject();
    }
  });
  timer_->start();
}

ModalAnswer::~ModalAnswer() = default;

WorkingDir::WorkingDir() : previous_(std::filesystem::current_path()) {
  std::string pattern = (std::filesystem::temp_directory_path() / "ostrel-work-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  std::filesystem::current_path(path_);
}

WorkingDir::~WorkingDir() {
  std::filesystem::current_path(previous_);
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

QString saveScreenshot(QWidget* widget, const QString& name) {
  const QString file = QDir(QStringLiteral(OSTREL_SCREENSHOTS)).filePath(name);
  EXPECT_TRUE(widget->grab().save(file, "PNG")) << file.toStdString();
  return file;
}

}  // namespace tavro::test
