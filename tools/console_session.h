// The console's parts: the session it keeps with the box (tools/console.cpp) and the
// terminal a person types at (tools/console_terminal.cpp).
#ifndef TAVRO_TOOLS_CONSOLE_SESSION_H
#define TAVRO_TOOLS_CONSOLE_SESSION_H

#include <histedit.h>
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cwchar>
#include <optional>
#include <string>

#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/event_text.h"

namespace tavro::tool {

// How often a running recording or playback is looked at; with none the console sleeps until
// a key, an event, a signal or a change of the terminal's size.
constexpr int kTickMs = 50;

class Console {
 public:
  explicit Console(Session& s)
      : s_(s),
        scripted_(isatty(STDIN_FILENO) != 1),
        editing_(!scripted_ && isatty(STDOUT_FILENO) == 1) {
    defineCommands();
  }
  ~Console() {
    if (el_) el_end(el_);
    if (hist_) history_end(hist_);
  }
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  int run();

 private:
  void defineCommands();
  void startEditor();
  int runEditing();
  int runScript();
  void handleLine(const std::string& line);
  int execute(const std::string& line);
  int startRecording();
  int startPlayback();
  int stop();
  int wait(double seconds);
  int status();
  void printHelp(const std::string& about);
  void shutDown();
  void saveHistory();
  void suspend();

  void tick();
  void finishRecording();
  void finishPlayback(bool early);
  void commandEnded(int rc);
  void reopen();
  bool takeSignal();

  // Output while the prompt is showing: lift() clears the prompt and the line being typed
  // (the next output goes where they were), restore() draws them again below it.
  void lift();
  void restore();
  void followTerminalSize();
  int readChar(wchar_t* out);
  // poll() on `fds` and also the library's events and the terminal's size: at most kTickMs
  // while a recording or playback runs, at most `limitMs` (-1: no limit).
  int sleepOn(pollfd* fds, int count, int limitMs);
  static int readCharOf(EditLine* el, wchar_t* out);
  static char* promptOf(EditLine*) {
    static char prompt[] = "tavro> ";
    return prompt;
  }
  std::string where() const {
    return scripted_ ? "line " + std::to_string(lineNumber_) + ": " : "";
  }

  Session& s_;
  const bool scripted_;  // commands come from a script: the first failure ends it
  const bool editing_;   // a person types at a terminal
  EventReport report_;   // the library's events in the words of watch
  std::optional<RecordTransfer> recording_;
  std::optional<PlayTransfer> playback_;

  CLI::App app_{"tavro console", ""};
  CommandArgs args_;
  double waitSeconds_ = -1;  // wait's argument; -1 when not given
  std::string helpAbout_;

  EditLine* el_ = nullptr;
  History* hist_ = nullptr;
  bool promptShowing_ = false;
  bool lifted_ = false;
  std::string historyFile_;  // empty: none kept
  bool cancelled_ = false;
  unsigned short columns_ = 0, rows_ = 0;
  std::mbstate_t decode_{};

  bool quit_ = false;
  int exitCode_ = kExitOk;
  int lineNumber_ = 0;
};

// `text` without the blanks around it.
std::string trim(const std::string& text);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_CONSOLE_SESSION_H
