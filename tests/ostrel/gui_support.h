// What the GUI tests share: the application object on Qt's offscreen platform, answering
// modal windows, and a fresh working directory.
#ifndef TAVRO_TESTS_OSTREL_GUI_SUPPORT_H
#define TAVRO_TESTS_OSTREL_GUI_SUPPORT_H

#include <QString>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

class QTimer;

namespace tavro::test {

// Looks at `done` while the GUI thread keeps handling events; true when it held in time.
bool eventuallyGui(const std::function<bool()>& done,
                   std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Answers the next modal window that opens: hands it to `inspect` (which closes it, or it
// is closed with reject() afterwards). Polls from the event loop of the modal window itself.
class ModalAnswer {
 public:
  explicit ModalAnswer(std::function<void(QWidget*)> inspect);
  ~ModalAnswer();
  bool answered() const { return answered_; }

 private:
  std::unique_ptr<QTimer> timer_;
  bool answered_ = false;
};

// A temporary working directory for the life of the object.
class WorkingDir {
 public:
  WorkingDir();
  ~WorkingDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path previous_;
};

// Writes a screenshot of `widget` under the build folder; returns the file written.
QString saveScreenshot(QWidget* widget, const QString& name);

}  // namespace tavro::test

#endif  // TAVRO_TESTS_OSTREL_GUI_SUPPORT_H
