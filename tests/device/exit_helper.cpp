// A small application that ends while a library object is still alive, the way programs
// leave from error paths. Usage: exit_helper MODE [FILE]
//   idle     an object, then exit(0)
//   link     waits for the link to be up, then exit(0)
//   record   waits for the link, records FILE until some audio has arrived, then exit(0)
//   return   waits for the link, then returns from main
//   busy     waits for the link; a thread of its own waits in a command, then exit(0)
//   global   a global object (destroyed at exit) and the link up, then returns from main
// Exit codes: 0 as asked; 3 the link did not come up; 4 the recording did not start or
// grow.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "tavro/CKusb_IO.h"

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

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "idle";
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
  if (std::strcmp(mode, "record") == 0) {
    if (argc < 3 || io->StartReadSound(argv[2], 1) != 1) return 4;
    if (!eventually(someAudio, io)) return 4;
  }
  std::exit(0);
}
