// A small application that ends while a library object is still alive, the way programs
// leave from error paths. Usage: exit_helper MODE [FILE]
//   idle     an object, then exit(0)
//   link     waits for the link to be up, then exit(0)
//   record   waits for the link, records FILE until some audio has arrived, then exit(0)
//   return   waits for the link, then returns from main
//   busy     waits for the link; a thread of its own waits in a command, then exit(0)
//   global   a global object (destroyed at exit) and the link up, then returns from main
//   fork     records FILE; meanwhile a child calls exit(0) and another execs true; then
//            records on and stops the recording, and exit(0)
//   bound    FILE DEVICE...: an object bound to each DEVICE records into FILE.N (N from 0)
//            until some audio has arrived, then exit(0)
// Exit codes: 0 as asked; 3 the link did not come up; 4 the recording did not start or
// grow; 5 a child did not end promptly; 6 the parent's link suffered (a notice, the link
// down, a round trip failed); 7 the parent's recording did not go on or its stop failed.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tavro/CKusb_IO.h"
#include "tavro/notice.h"

#if defined(__SANITIZE_THREAD__)
#define TAVRO_TSAN 1
#elif defined(__SANITIZE_ADDRESS__)
#define TAVRO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TAVRO_TSAN 1
#elif __has_feature(address_sanitizer)
#define TAVRO_ASAN 1
#endif
#endif
#ifdef TAVRO_TSAN
// The thread sanitizer waits a second at every exit, for threads still running to show
// their races; a child's prompt end is what is measured here.
extern "C" const char* __tsan_default_options() {
  return "atexit_sleep_ms=0";
}
#endif

namespace {

bool eventually(bool (*done)(CKusb_IO*), CKusb_IO* io) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done(io)) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool linkUp(CKusb_IO* io) {
  return (io->GetTelStatus() & tavro::kLinkDownBit) == 0;
}

bool someAudio(CKusb_IO* io) {
  return io->ReadRecLength() >= 8 * 512;
}

CKusb_IO* globalObject() {
  static CKusb_IO io;
  return &io;
}

// A child's end takes no time of the library's: well below the second that a stop gives
// its threads.
constexpr auto kPromptChild = std::chrono::milliseconds(900);

std::atomic<int> gNotices{0};

int forkWhileRecording(CKusb_IO* io, const char* file) {
  tavro::setNoticeHandler([](const std::string&) { ++gNotices; });
  if (io->StartReadSound(file, 1) != 1 || !eventually(someAudio, io)) return 4;
  for (const bool exec : {false, true}) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
      if (exec) execl("/bin/true", "true", static_cast<char*>(nullptr));
#ifdef TAVRO_ASAN
      // The leak check at exit would take what only the parent's threads hold (their
      // stacks are not in the child) for leaks; the other builds test the exit itself.
      _exit(0);
#endif
      std::exit(0);
    }
    int status = -1;
    const bool ended = child > 0 && waitpid(child, &status, 0) == child;
    const auto took = std::chrono::steady_clock::now() - start;
    if (!ended || status != 0 || took > kPromptChild) {
      std::fprintf(stderr, "exit_helper: the child (%s) ended with status %d after %lld ms\n",
                   exec ? "exec" : "exit", status,
                   static_cast<long long>(
                       std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
      return 5;
    }
  }
  if (!linkUp(io) || io->RequestSpaceCode() != 1) return 6;
  static int32_t before = io->ReadRecLength();
  if (!eventually([](CKusb_IO* o) { return o->ReadRecLength() >= before + 8 * 512; }, io)) return 7;
  if (io->StopReadSound() <= 0) return 7;
  if (!linkUp(io) || gNotices.load() != 0) return 6;
  return 0;
}

}  // namespace

// Objects bound to their boxes, never deleted: the exit ends every one's recording.
int recordOnEach(int count, char** devices, const char* file) {
  for (int i = 0; i < count; ++i) {
    auto* io = new CKusb_IO(devices[i]);
    const std::string name = std::string(file) + "." + std::to_string(i);
    if (!eventually(linkUp, io)) return 3;
    if (io->StartReadSound(name.c_str(), 1) != 1 || !eventually(someAudio, io)) return 4;
  }
  std::exit(0);
}

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "idle";
  if (std::strcmp(mode, "bound") == 0)
    return argc < 4 ? 4 : recordOnEach(argc - 3, argv + 3, argv[2]);
  if (std::strcmp(mode, "global") == 0) {
    if (!eventually(linkUp, globalObject())) return 3;
    return 0;
  }
  auto* io = new CKusb_IO;  // never deleted: the program ends with it alive
  if (std::strcmp(mode, "idle") == 0) std::exit(0);
  if (!eventually(linkUp, io)) return 3;
  if (std::strcmp(mode, "return") == 0) return 0;
  if (std::strcmp(mode, "busy") == 0) {
    // Against a silent box each command waits for its time-out; the program leaves
    // meanwhile.
    std::thread([io] {
      for (;;) io->PickUp();
    }).detach();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while ((io->GetTelStatus() & tavro::kPendingBit) == 0 &&
           std::chrono::steady_clock::now() < until)
      std::this_thread::yield();
  }
  if (std::strcmp(mode, "fork") == 0) std::exit(argc < 3 ? 4 : forkWhileRecording(io, argv[2]));
  if (std::strcmp(mode, "record") == 0) {
    if (argc < 3 || io->StartReadSound(argv[2], 1) != 1) return 4;
    if (!eventually(someAudio, io)) return 4;
  }
  std::exit(0);
}
