// tavro-usb-box: a virtual box shown as an emulated USB device, for tests in which other
// processes reach the box over USB (tavrod_test.py). Test-only: built with the USB emulation,
// never installed.
//
// It runs itself under the umockdev preload, then prints one line with the environment a
// process needs to see the emulated device, and only it:
//   usb UMOCKDEV_DIR=<dir> LD_PRELOAD=<list> TAVRO_BACKENDS=usb TAVRO_USB_IDS=<ids>
// and then "device <path>", the box's line as tavro-box prints it. From then on it reads
// tavro-box's verbs on standard input, one a line, and prints the box's event lines; unplug
// and replug take the emulated device away and back with the box. It ends at quit, at the end
// of its input, or by a signal.
//
// Usage: tavro-usb-box --runtime-dir DIR [--name NAME]
// The box's own wire socket goes into DIR: give it one that the programs under test do not
// use, so that they reach the box over USB only.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "platform/usb/preload.h"
#include "support/test_box.h"
#include "vbox/verbs.h"

namespace {

std::mutex outMutex;

void say(const std::string& text) {
  std::lock_guard lock(outMutex);
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (!tavro::test::runUnderUmockdevPreload(argv)) return 1;
  std::string name = "box0";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runtime-dir") == 0) {
      setenv("XDG_RUNTIME_DIR", argv[i + 1], 1);
    } else if (std::strcmp(argv[i], "--name") == 0) {
      name = argv[i + 1];
    } else {
      std::fprintf(stderr, "usage: tavro-usb-box --runtime-dir DIR [--name NAME]\n");
      return 2;
    }
  }
  signal(SIGPIPE, SIG_IGN);  // a peer gone is the box's to report, not the end of it

  try {
    tavro::vbox::BoxOptions options;
    options.name = name;
    tavro::test::TestBox box(options, tavro::test::Transport::kUsb);
    box.setEventSink(say);
    const char* dir = std::getenv("UMOCKDEV_DIR");
    const char* preload = std::getenv("LD_PRELOAD");
    say(std::string("usb UMOCKDEV_DIR=") + (dir ? dir : "") +
        " LD_PRELOAD=" + (preload ? preload : "") +
        " TAVRO_BACKENDS=usb TAVRO_USB_IDS=" + tavro::test::kEmulatedBoxIds);
    say("device " + box.devicePath());
    std::string line;
    while (std::getline(std::cin, line)) {
      // The verbs' own unplug and replug would leave the emulated device in place.
      auto words = tavro::vbox::splitWords(line);
      std::string verb = words && !words->empty() ? words->front() : "";
      if (verb == "unplug") {
        box.unplug();
        say("unplugged");
        continue;
      }
      if (verb == "replug" || verb == "plug") {
        box.plug();
        say("plugged");
        continue;
      }
      tavro::vbox::VerbResult result = tavro::vbox::runVerb(box, line);
      if (!result.message.empty()) say((result.ok ? "" : "error: ") + result.message);
      if (result.quit) break;
    }
    box.setEventSink(nullptr);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "tavro-usb-box: %s\n", e.what());
    return 1;
  }
  say("stopped");
  return 0;
}
