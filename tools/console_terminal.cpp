// The console's terminal: the line editor, its history, the prompt with output above it, and
// the terminal's signals (a new size, Ctrl-Z).
#include <fcntl.h>
#include <histedit.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tools/console_session.h"

namespace tavro::tool {

namespace {

constexpr std::size_t kPromptWidth = 7;  // "tavro> "

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

// Characters (not bytes) of UTF-8 text: what the cursor moves over.
std::size_t displayWidth(const char* begin, const char* end) {
  std::size_t n = 0;
  for (const char* p = begin; p < end; ++p) n += (static_cast<unsigned char>(*p) & 0xC0) != 0x80;
  return n;
}

}  // namespace

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

}  // namespace tavro::tool
