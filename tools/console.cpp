#include "tools/console.h"

#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <optional>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/status.h"
#include "tools/cli.h"
#include "tools/text.h"

namespace tavro::tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kPromptWidth = 7;  // "tavro> "
// How often a running recording or playback is looked at; with none the console sleeps until
// a key, an event, a signal or a change of the terminal's size.
constexpr int kTickMs = 50;

bool isBoxEvent(int kind) {
  switch (kind) {
    case TAVRO_EVENT_NOTICE:
    case TAVRO_EVENT_RECORDING_ENDED:
    case TAVRO_EVENT_STREAM_ENDED:
    case TAVRO_EVENT_PLAYBACK_PROGRESS:
    case TAVRO_EVENT_PLAYBACK_ENDED:
      return false;
    default:
      return true;
  }
}

// SIGWINCH: the terminal's size changed; the editor is told at the next wake-up.
int gResizePipe[2] = {-1, -1};

void onResize(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gResizePipe[1], &byte, 1);
}

// Ctrl-Z at the prompt: the signal only says so; the console puts the terminal back and
// stops itself where that is safe.
int gSuspendPipe[2] = {-1, -1};

void onSuspend(int) {
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(gSuspendPipe[1], &byte, 1);
}

// SIGTSTP goes to onSuspend for the whole of one edited line, from the moment the editor
// takes the terminal until it gives it back: a Ctrl-Z between two keys must not stop the
// console with the terminal still the editor's. Outside a line it does what it always does
// (the terminal is then as the user left it), and one that came as the line ended is
// carried out once the terminal is given back.
class SuspendAtThePrompt {
 public:
  SuspendAtThePrompt() {
    if (gSuspendPipe[1] < 0) return;
    struct sigaction sa {};
    sa.sa_handler = onSuspend;
    sa.sa_flags = SA_RESTART;  // the editor's output to a slow terminal goes on whole
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTSTP, &sa, &previous_);
  }
  ~SuspendAtThePrompt() {
    if (gSuspendPipe[1] < 0) return;
    sigaction(SIGTSTP, &previous_, nullptr);
    char drained[16];
    bool pending = false;
    while (::read(gSuspendPipe[0], drained, sizeof drained) > 0) pending = true;
    if (pending) ::raise(SIGTSTP);
  }
  SuspendAtThePrompt(const SuspendAtThePrompt&) = delete;
  SuspendAtThePrompt& operator=(const SuspendAtThePrompt&) = delete;

 private:
  struct sigaction previous_ {};
};

// Where the lines typed at the prompt are kept between sessions: the user's state folder.
std::string historyFile() {
  const char* state = std::getenv("XDG_STATE_HOME");
  const char* home = std::getenv("HOME");
  std::filesystem::path folder;
  if (state && state[0] == '/')
    folder = state;
  else if (home && home[0] == '/')
    folder = std::filesystem::path(home) / ".local" / "state";
  else
    return {};
  return (folder / "tavro" / "history").string();
}

// The byte that ends an edited line when Ctrl-C was pressed. With the terminal's signal
// keys on, the key itself never arrives as input, so the byte only stands for the signal.
constexpr wchar_t kCancelKey = 3;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Characters (not bytes) of UTF-8 text: what the cursor moves over.
std::size_t displayWidth(const char* begin, const char* end) {
  std::size_t n = 0;
  for (const char* p = begin; p < end; ++p) n += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
  return n;
}

// `text` in lines of at most `width` characters, the first one after `lead`, the others
// indented as far.
std::string wrap(const std::string& text, const std::string& lead, std::size_t width) {
  std::string out = lead, indent(lead.size(), ' ');
  std::size_t column = lead.size();
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(at, end - at);
    if (column > indent.size() && column + 1 + word.size() > width) {
      out += "\n" + indent;
      column = indent.size();
    }
    if (column > indent.size()) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    at = end + 1;
  }
  return out + "\n";
}

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
  std::optional<Recording> recording_;
  std::optional<Playback> playback_;

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

void Console::defineCommands() {
  app_.require_subcommand(1);
  addBoxCommands(app_, args_, CommandSet::kConsole);
  auto own = [this](const char* name, const char* help) {
    CLI::App* cmd = app_.add_subcommand(name, help);
    std::string named = name;
    cmd->callback([this, named] { args_.command = named; });
    return cmd;
  };
  own("stop", "End the recording or the playback");
  own("wait", "Wait until the recording or playback has ended, or SECONDS have passed")
      ->add_option("seconds", waitSeconds_, "At most this long")
      ->check(numberIn(0.0, 604800.0));
  own("help", "List the commands, or show what COMMAND takes")
      ->add_option("command", helpAbout_, "A command");
  own("quit", "Hang up if the line is off hook, and end the console (also Ctrl-D)");
}

int Console::run() {
  if (int rc = s_.open()) return rc;
  if (editing_) {
    startEditor();
    std::printf("tavro console: type help for the commands, quit or Ctrl-D to end\n");
  }
  tick();
  int rc = editing_ ? runEditing() : runScript();
  shutDown();
  return rc == kExitOk ? exitCode_ : rc;
}

// ---- input -------------------------------------------------------------------------------

void Console::startEditor() {
  if (gSuspendPipe[0] < 0 && ::pipe2(gSuspendPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    gSuspendPipe[0] = gSuspendPipe[1] = -1;
  if (gResizePipe[0] < 0 && ::pipe2(gResizePipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction sa {};
    sa.sa_handler = onResize;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGWINCH, &sa, nullptr);
  }
  std::setlocale(LC_CTYPE, "");  // the editor decodes and shows what is typed in the locale
  hist_ = history_init();
  HistEvent ev;
  history(hist_, &ev, H_SETSIZE, 1000);
  history(hist_, &ev, H_SETUNIQUE, 1);
  el_ = el_init("tavro", stdin, stdout, stderr);
  el_set(el_, EL_CLIENTDATA, this);
  el_set(el_, EL_EDITOR, "emacs");
  el_set(el_, EL_PROMPT, &Console::promptOf);
  el_set(el_, EL_HIST, history, hist_);
  historyFile_ = historyFile();
  if (!historyFile_.empty()) history(hist_, &ev, H_LOAD, historyFile_.c_str());
  el_set(el_, EL_GETCFN, &Console::readCharOf);
  el_source(el_, nullptr);  // the user's own key bindings
  // After the user's bindings: Ctrl-C ends the line, which is then dropped.
  el_set(el_, EL_BIND, "^C", "ed-newline", nullptr);
  winsize ws{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0) {
    columns_ = ws.ws_col;
    rows_ = ws.ws_row;
  }
}

int Console::readCharOf(EditLine* el, wchar_t* out) {
  void* self = nullptr;
  el_get(el, EL_CLIENTDATA, &self);
  return static_cast<Console*>(self)->readChar(out);
}

// The editor's source of keys. While no key is waiting it keeps the session going: events,
// the end of a recording or playback, signals.
int Console::readChar(wchar_t* out) {
  promptShowing_ = true;
  for (;;) {
    pollfd fds[3] = {
        {STDIN_FILENO, POLLIN, 0}, {interruptFd(), POLLIN, 0}, {gSuspendPipe[0], POLLIN, 0}};
    int n = poll(fds, 3, 0);
    if (n <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      tick();
      followTerminalSize();
      restore();
      if (quit_) return 0;
      n = sleepOn(fds, 3, -1);
    }
    if (n > 0 && fds[2].revents != 0) {
      suspend();
      continue;
    }
    if (takeSignal()) {
      if (quit_) return 0;
      cancelled_ = true;
      *out = kCancelKey;
      return 1;
    }
    if (n <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char byte = 0;
    ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return 0;                 // the terminal is gone: as Ctrl-D
    if (byte == '\003') cancelled_ = true;  // signal keys off (a user's stty): still a cancel
    wchar_t wc = 0;
    std::size_t r = std::mbrtowc(&wc, &byte, 1, &decode_);
    if (r == static_cast<std::size_t>(-2)) continue;  // more bytes of one character to come
    if (r == static_cast<std::size_t>(-1)) {
      decode_ = {};
      wc = static_cast<unsigned char>(byte);
    }
    *out = wc;
    return 1;
  }
}

int Console::sleepOn(pollfd* fds, int count, int limitMs) {
  constexpr int kMost = 8;
  pollfd all[kMost];
  int n = 0;
  for (; n < count && n < kMost - 2; ++n) all[n] = fds[n];
  if (s_.isOpen()) all[n++] = {tavro_events_fd(&s_.io()), POLLIN, 0};
  const int resize = n;
  all[n++] = {gResizePipe[0], POLLIN, 0};  // -1 when there is none: poll() passes it over
  int timeout = recording_ || playback_ ? kTickMs : -1;
  if (limitMs >= 0 && (timeout < 0 || limitMs < timeout)) timeout = limitMs;
  const int ready = poll(all, static_cast<nfds_t>(n), timeout);
  for (int i = 0; i < count && i < kMost - 2; ++i) fds[i].revents = all[i].revents;
  if (all[resize].revents != 0) {
    char drained[16];
    while (::read(gResizePipe[0], drained, sizeof drained) > 0) {
    }
  }
  return ready;
}

// Ctrl-Z: the terminal as it was before the console, the console stopped until the shell
// continues it, then the editor's terminal and the line being typed back.
void Console::suspend() {
  char drained[16];
  while (::read(gSuspendPipe[0], drained, sizeof drained) > 0) {
  }
  el_set(el_, EL_PREP_TERM, 0);
  std::printf("\n");
  std::fflush(stdout);
  struct sigaction ours {};
  struct sigaction stop {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  sigaction(SIGTSTP, &stop, &ours);
  ::raise(SIGTSTP);  // returns once continued (at once where no shell can continue it)
  sigaction(SIGTSTP, &ours, nullptr);
  el_set(el_, EL_PREP_TERM, 1);
  el_set(el_, EL_REFRESH);
}

// A signal that arrived: Ctrl-C cancels what is being typed or waited for; SIGTERM ends the
// console as quit does, and so does Ctrl-C in a script. Returns whether there was one.
bool Console::takeSignal() {
  if (!interrupted()) return false;
  int signal = interruptSignal();
  clearInterrupt();
  if (signal == SIGTERM || scripted_) {
    quit_ = true;
    if (scripted_) exitCode_ = kExitInterrupted;
  }
  return true;
}

int Console::runEditing() {
  while (!quit_) {
    cancelled_ = false;
    int count = 0;
    const char* got = nullptr;
    {
      SuspendAtThePrompt suspendHere;
      // The editor shows the prompt before it takes the terminal: keys typed as soon as
      // the prompt shows would meet the terminal's own line mode (echoed by it, and
      // Ctrl-C shown as ^C). Taken first, the terminal is the editor's once the prompt
      // is there.
      el_set(el_, EL_PREP_TERM, 1);
      got = el_gets(el_, &count);
    }
    promptShowing_ = false;
    lifted_ = false;
    if (got == nullptr || count <= 0) {
      if (!quit_) std::printf("\n");  // Ctrl-D leaves the cursor after the prompt
      break;
    }
    if (cancelled_) continue;
    std::string line = trim(std::string(got, static_cast<std::size_t>(count)));
    if (!line.empty()) {
      HistEvent ev;
      history(hist_, &ev, H_ENTER, line.c_str());
    }
    ++lineNumber_;
    handleLine(line);
    tick();
  }
  return kExitOk;
}

int Console::runScript() {
  std::string pending;
  bool ended = false;
  while (!quit_) {
    std::size_t newline = pending.find('\n');
    if (newline != std::string::npos || (ended && !pending.empty())) {
      std::string line = pending.substr(0, newline);
      pending.erase(0, newline == std::string::npos ? pending.size() : newline + 1);
      ++lineNumber_;
      handleLine(trim(line));
      tick();
      continue;
    }
    if (ended) break;
    tick();
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {interruptFd(), POLLIN, 0}};
    int n = sleepOn(fds, 2, -1);
    if (takeSignal()) break;
    if (n <= 0 || !(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[4096];
    ssize_t got = ::read(STDIN_FILENO, buf, sizeof buf);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      ended = true;
    } else {
      pending.append(buf, static_cast<std::size_t>(got));
    }
  }
  return kExitOk;
}

// ---- output while the prompt shows -------------------------------------------------------

void Console::lift() {
  if (!promptShowing_ || lifted_ || el_ == nullptr) return;
  lifted_ = true;
  const LineInfo* li = el_line(el_);
  std::size_t before = kPromptWidth + (li ? displayWidth(li->buffer, li->cursor) : 0);
  std::size_t row = columns_ > 0 ? before / columns_ : 0;
  // To the first row of the prompt, and clear from there down.
  std::fputs("\r", stdout);
  if (row > 0) std::printf("\033[%zuA", row);
  std::fputs("\033[J", stdout);
  std::fflush(stdout);
}

void Console::restore() {
  if (!lifted_) return;
  lifted_ = false;
  std::fflush(stdout);
  std::fflush(stderr);
  el_set(el_, EL_REFRESH);
}

void Console::followTerminalSize() {
  winsize ws{};
  if (!editing_ || ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) != 0) return;
  if (ws.ws_col == columns_ && ws.ws_row == rows_) return;
  columns_ = ws.ws_col;
  rows_ = ws.ws_row;
  el_resize(el_);
  lift();
}

// ---- the session -------------------------------------------------------------------------

void Console::tick() {
  if (!s_.isOpen()) return;
  CKusb_IO& io = s_.io();
  tavro_event event;
  while (tavro_event_take(&io, &event) == 1) {
    if (recording_) recording_->take(event);
    std::optional<Event> e = report_.describe(event, monotonicNanoseconds());
    // The box's events show; notices go to standard error through the notice handler, and
    // the console says itself how a recording or playback goes.
    if (!e || !isBoxEvent(event.kind)) continue;
    lift();
    std::printf("%s\n", eventLine(*e, false).c_str());
    std::fflush(stdout);
  }
  if (recording_ && !recording_->poll(io)) finishRecording();
  if (playback_ && !playback_->poll(io)) finishPlayback(false);
}

void Console::finishRecording() {
  lift();
  int rc = recording_->finish(s_);
  recording_.reset();
  if (!s_.isOpen()) reopen();
  commandEnded(rc);
}

void Console::finishPlayback(bool early) {
  lift();
  int rc = playback_->finish(s_, early);
  playback_.reset();
  commandEnded(rc);
}

// A recording that failed stopped the library to repair its file: start it again and give
// the box the wait time to answer, so that the session goes on as it was.
void Console::reopen() {
  s_.open(true);
  Clock::time_point start = Clock::now();
  while (!s_.linkUp() && secondsSince(start) < s_.waitSeconds() && !interrupted()) {
    pollfd p{interruptFd(), POLLIN, 0};
    poll(&p, interruptFd() >= 0 ? 1 : 0, kTickMs);
  }
}

// A command, or a recording or playback, has ended with `rc`: in a script the first failure
// ends the run with its exit code.
void Console::commandEnded(int rc) {
  if (rc == kExitOk || !scripted_) return;
  if (!quit_) std::fprintf(stderr, "tavro: the script stops at line %d\n", lineNumber_);
  if (exitCode_ == kExitOk) exitCode_ = rc;
  quit_ = true;
}

void Console::handleLine(const std::string& line) {
  if (line.empty() || line[0] == '#') return;
  int rc = execute(line);
  std::fflush(stdout);
  commandEnded(rc);
}

int Console::execute(const std::string& line) {
  std::string word = line.substr(0, line.find_first_of(" \t"));
  CLI::App* cmd = nullptr;
  try {
    cmd = app_.get_subcommand(word);
  } catch (const CLI::Error&) {
  }
  if (cmd == nullptr) {
    std::fprintf(stderr, "tavro: %sunknown command '%s' (help lists the commands)\n",
                 where().c_str(), terminalText(word).c_str());
    return kExitUsage;
  }
  args_ = CommandArgs{};
  waitSeconds_ = -1;
  helpAbout_.clear();
  try {
    app_.parse(line, false);
  } catch (const CLI::CallForHelp&) {
    std::printf("%s", cmd->help().c_str());
    return kExitOk;
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();  // already reported
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "tavro: %s%s: %s (%s --help shows what it takes)\n", where().c_str(),
                 word.c_str(), e.what(), word.c_str());
    return kExitUsage;
  }
  const std::string& c = args_.command;
  if (c == "record") return startRecording();
  if (c == "play") return startPlayback();
  if (c == "stop") return stop();
  if (c == "wait") return wait(waitSeconds_);
  if (c == "status") return status();
  if (c == "help") {
    printHelp(helpAbout_);
    return kExitOk;
  }
  if (c == "quit") {
    quit_ = true;
    return kExitOk;
  }
  int rc = args_.run(s_);
  takeSignal();  // a Ctrl-C during the command ended it; the console goes on
  return rc;
}

int Console::startRecording() {
  if (recording_ || playback_) {
    std::fprintf(stderr,
                 "tavro: record failed: a recording or playback is already running (stop ends "
                 "it)\n");
    return kExitBusy;
  }
  RecordOptions o = args_.record;
  o.stopHint = "stop ends it";
  recording_.emplace();
  int rc = recording_->start(s_, o);
  if (rc != kExitOk) recording_.reset();
  return rc;
}

int Console::startPlayback() {
  if (recording_ || playback_) {
    std::fprintf(stderr,
                 "tavro: play failed: a recording or playback is already running (stop ends "
                 "it)\n");
    return kExitBusy;
  }
  playback_.emplace();
  int rc = playback_->start(s_, args_.play);
  if (rc != kExitOk) {
    playback_.reset();
    return rc;
  }
  std::printf("playing %s (stop ends it)\n", args_.play.file.c_str());
  return kExitOk;
}

int Console::stop() {
  if (!recording_ && !playback_) {
    std::printf("nothing to stop: no recording or playback is running\n");
    return kExitOk;
  }
  if (recording_) finishRecording();
  if (playback_) finishPlayback(true);
  return kExitOk;  // a failure of either was counted when it ended
}

// Waits until the recording or playback has ended, at most `seconds` (none: < 0), showing
// events meanwhile. Ctrl-C ends the wait.
int Console::wait(double seconds) {
  if (seconds < 0 && recording_ && recording_->limit() <= 0) {
    // A recording without a time limit ends only by stop: waiting for it would never end.
    std::fprintf(stderr,
                 "tavro: %swait: the recording has no time limit (give wait SECONDS, or "
                 "record --seconds)\n",
                 where().c_str());
    return kExitUsage;
  }
  Clock::time_point start = Clock::now();
  while (!quit_) {
    tick();  // first: what it ends is no longer waited for
    bool running = recording_ || playback_;
    if (seconds < 0 ? !running : secondsSince(start) >= seconds) break;
    pollfd p{interruptFd(), POLLIN, 0};
    const double left = seconds < 0 ? -1 : (seconds - secondsSince(start)) * 1000 + 1;
    sleepOn(&p, 1, left < 0 ? -1 : static_cast<int>(std::min(left, 60000.0)));
    if (takeSignal()) break;
  }
  return kExitOk;
}

int Console::status() {
  int rc = runStatus(s_, false);
  if (recording_ && s_.isOpen()) {
    std::printf("recording %s: %s\n", recording_->file().c_str(),
                recordProgress(recording_->elapsed(), recording_->bytes(s_.io())).c_str());
  }
  if (playback_ && s_.isOpen()) {
    std::printf("playing %s: %s\n", playback_->file().c_str(),
                progressBar(playback_->permille(s_.io()), 20).c_str());
  }
  return rc;
}

void Console::printHelp(const std::string& about) {
  if (!about.empty()) {
    try {
      std::printf("%s", app_.get_subcommand(about)->help().c_str());
    } catch (const CLI::Error&) {
      std::printf("no command '%s' (help lists the commands)\n", terminalText(about).c_str());
    }
    return;
  }
  std::printf("Commands:\n");
  for (const CLI::App* cmd : app_.get_subcommands([](CLI::App*) { return true; })) {
    char name[32];
    std::snprintf(name, sizeof name, "  %-13s", cmd->get_name().c_str());
    std::printf("%s", wrap(cmd->get_description(), name, 78).c_str());
  }
  std::printf("%s",
              wrap("Each command takes the arguments of the tavro command of the same name; "
                   "help COMMAND shows them. Events of the box (call, ring, dtmf, tone, hook, "
                   "link) show as they come.",
                   "", 78)
                  .c_str());
  if (editing_) {
    std::printf("%s", wrap("Keys: the arrows move in the line and recall earlier lines, Ctrl-C "
                           "drops the line being typed or ends a wait, Ctrl-D on an empty line "
                           "ends the console.",
                           "", 78)
                          .c_str());
  }
}

// The end of the session: what runs is stopped as stop does and a line left off hook is
// put back on hook, so that the box is left as it was found.
void Console::saveHistory() {
  if (hist_ == nullptr || historyFile_.empty()) return;
  HistEvent ev;
  if (history(hist_, &ev, H_GETSIZE) < 0 || ev.num <= 0) return;
  // Only its owner reads what was typed.
  std::error_code error;
  const std::filesystem::path file = historyFile_;
  std::filesystem::create_directories(file.parent_path(), error);
  const int fd = ::open(historyFile_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) ::close(fd);
  if (fd < 0 || history(hist_, &ev, H_SAVE, historyFile_.c_str()) < 0)
    std::fprintf(stderr, "tavro: the history could not be saved in %s\n", historyFile_.c_str());
}

void Console::shutDown() {
  quit_ = true;
  saveHistory();
  if (recording_) finishRecording();
  if (playback_) finishPlayback(true);
  if (s_.isOpen() && s_.linkUp() && (s_.io().GetTelStatus() & kOffHookBit)) {
    commandEnded(runHangUp(s_));
  }
  std::fflush(stdout);
}

}  // namespace

int runConsole(Session& s) {
  Console console(s);
  return console.run();
}

}  // namespace tavro::tool
