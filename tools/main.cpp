// tavro: the telephone-line box from the command line.
#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <string>

#include "tools/cli.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/text.h"
#include "tools/usb_setup.h"

using namespace tavro::tool;

namespace {

constexpr const char* kExitCodes =
    "Exit status:\n"
    "  0    success (watch, record and play also when ended by Ctrl-C)\n"
    "  1    the library or the box reported another failure\n"
    "  2    bad command line or argument (e.g. a number that cannot be dialled)\n"
    "  3    no box: no telephone-line box answered when the tool started\n"
    "  4    link down: the link to the box went down during the command\n"
    "  5    no answer from the box in time\n"
    "  6    the line is on hook for something that needs it off hook\n"
    "  7    a file cannot be read or written, or has the wrong size\n"
    "  8    a recording or playback is already running\n"
    "  9    the box is in use by another program\n"
    "  130  interrupted by Ctrl-C before the command had finished\n";

// The first word that is neither an option of the tool itself nor its value, when it names
// no command; null otherwise (CLI11 would only say that a command is required).
const char* unknownCommand(CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--") return nullptr;
    if (word == "--wait" || word == "--device") {
      ++i;  // its value
      continue;
    }
    if (word.starts_with("-")) continue;
    try {
      app.get_subcommand(word);
      return nullptr;
    } catch (const CLI::Error&) {
      return argv[i];
    }
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavro: the telephone-line box from the command line", "tavro"};
  app.footer(kExitCodes);
  app.set_version_flag("--version", std::string("tavro ") + TAVRO_TOOL_VERSION);
  app.require_subcommand(1);
  app.fallthrough();

  double waitSeconds = 3.0;
  app.add_option("--wait", waitSeconds,
                 "Seconds to wait for a box that is there to answer (default 3, at most 3600)")
      ->check(numberIn(0, 3600));

  std::string device;
  app.add_option("--device", device,
                 "The box to use, by its path as `tavro devices` prints it (default: the first "
                 "box that opens)");

  bool verbose = false;
  app.add_flag("--verbose", verbose,
               "Notices from the library also in its own words, beside the English text");

  CommandArgs args;
  CLI::App* devices = app.add_subcommand(
      "devices",
      "List every device on every backend (TAVRO_BACKENDS): its path, what it is, whether "
      "it opens (opens, busy, fails) and why not; configured USB devices that are not a box "
      "say why");
  bool devicesJson = false;
  devices->add_flag("--json", devicesJson, "One JSON object");
  bool candidates = false;
  devices->add_flag("--candidates", candidates,
                    "Instead: every USB device with an interface shaped like a box (four bulk "
                    "endpoints IN, OUT, IN, OUT) and whether it is configured, from its "
                    "descriptors alone (nothing is sent to a device)");
  devices->callback([&] {
    args.run = [&](Session&) {
      return candidates ? runCandidates(devicesJson) : runDevices(devicesJson);
    };
  });
  addUsbSetupCommand(app, args.run);
  addBoxCommands(app, args, CommandSet::kOneShot);

  WatchOptions watch;
  CLI::App* watchCmd = app.add_subcommand(
      "watch",
      "Wait for the box and print one line per event as it happens: call (the whole caller "
      "ID), ring, dtmf, tone, hook, link (up, lost, back); Ctrl-C ends it");
  watchCmd->add_flag("--all", watch.all,
                     "Every box at once (those listed when it starts), each line with the "
                     "box's path");
  watchCmd->add_flag("--json", watch.json,
                     "One JSON object per line, with every field of the event");
  // Left out, watch runs until Ctrl-C; given, it must be something that ends.
  watchCmd->add_option("--events", watch.maxEvents, "End after this many events (1 or more)")
      ->check(numberIn(1, INT_MAX, true));
  watchCmd
      ->add_option("--seconds", watch.seconds,
                   "End after this many seconds (more than 0, at most a year)")
      ->check(numberIn(0.001, 31536000.0));
  watchCmd->callback([&] {
    args.run = [&](Session& s) { return watch.all ? runWatchAll(s, watch) : runWatch(s, watch); };
  });

  app.add_subcommand("console",
                     "One session with the box: type commands (help lists them) while events "
                     "show as they come; reads a script from standard input when it is not a "
                     "terminal")
      ->callback([&] { args.run = [](Session& s) { return runConsole(s); }; });

  if (const char* unknown = unknownCommand(app, argc, argv)) {
    std::fprintf(stderr, "tavro: unknown command '%s' (tavro --help lists the commands)\n",
                 terminalText(unknown).c_str());
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();  // already reported
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  if (!args.run) return kExitUsage;
  if (app.count("--device") > 0 && device.empty()) {
    std::fprintf(stderr, "tavro: --device needs a path, as `tavro devices` prints it\n");
    return kExitUsage;
  }
  // The device picks one box for a command that uses a box.
  if (!device.empty()) {
    const char* whole = app.got_subcommand("devices")     ? "devices lists every box"
                        : app.got_subcommand("usb-setup") ? "usb-setup works on no box"
                        : watch.all                       ? "watch --all watches every box"
                                                          : nullptr;
    if (whole) {
      std::fprintf(stderr, "tavro: --device picks one box, and %s\n", whole);
      return kExitUsage;
    }
  }

  installSignalHandlers(verbose);
  int rc = kExitFailed;
  {
    Session session(waitSeconds, device);
    rc = args.run(session);
  }  // the library object is stopped here, before the process ends
  std::fflush(stdout);
  return rc;
}
