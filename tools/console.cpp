#include "tools/console.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "tavro/CKusb_IO.h"
#include "tavro/events.h"
#include "tavro/status.h"
#include "tools/console_session.h"
#include "tools/text.h"

namespace tavro::tool {

namespace {

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

}  // namespace

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

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

int runConsole(Session& s) {
  Console console(s);
  return console.run();
}

}  // namespace tavro::tool
