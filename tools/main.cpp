// tavro: the telephone-line box from the command line.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <string>

#include "tools/commands.h"
#include "tools/text.h"

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
    "  130  interrupted by Ctrl-C before the command had finished\n";

void addOnOff(CLI::App* cmd, std::string* state) {
  cmd->add_option("state", *state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}, CLI::ignore_case));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tavro: the telephone-line box from the command line", "tavro"};
  app.footer(kExitCodes);
  app.set_version_flag("--version", std::string("tavro ") + TAVRO_TOOL_VERSION);
  app.require_subcommand(1);
  app.fallthrough();

  double waitSeconds = 3.0;
  app.add_option("--wait", waitSeconds, "Seconds to wait for the box to answer (default 3)")
      ->check(CLI::NonNegativeNumber);

  std::function<int(Session&)> run;
  bool json = false;

  CLI::App* status = app.add_subcommand(
      "status", "Link state, the status word with its bits named, device type, information, flags");
  status->add_flag("--json", json, "One JSON object");
  status->callback([&] { run = [&](Session& s) { return runStatus(s, json); }; });

  CLI::App* info = app.add_subcommand("info", "Device type, information block, flags, PC clock");
  info->add_flag("--json", json, "One JSON object");
  info->callback([&] { run = [&](Session& s) { return runInfo(s, json); }; });

  WatchOptions watch;
  CLI::App* watchCmd = app.add_subcommand(
      "watch",
      "Wait for the box and print one line per event: call (caller number), dtmf, tone, hook, "
      "link (up, lost, back); Ctrl-C ends it");
  watchCmd->add_flag("--json", watch.json, "One JSON object per line");
  watchCmd->add_option("--events", watch.maxEvents, "End after this many events")
      ->check(CLI::NonNegativeNumber);
  watchCmd->add_option("--seconds", watch.seconds, "End after this many seconds")
      ->check(CLI::NonNegativeNumber);
  watchCmd->callback([&] { run = [&](Session& s) { return runWatch(s, watch); }; });

  app.add_subcommand("pickup", "Take the line off hook")->callback([&] {
    run = [](Session& s) { return runPickUp(s); };
  });
  app.add_subcommand("hangup", "Put the line on hook")->callback([&] {
    run = [](Session& s) { return runHangUp(s); };
  });

  std::string number;
  std::string digits;
  CLI::App* dial = app.add_subcommand(
      "dial", "Take the line off hook and dial NUMBER (spaces - ( ) . are ignored)");
  dial->add_option("number", number, "The number: 0-9 * # A-L")->required();
  dial->callback([&] {
    DialNumber d = cleanDialNumber(number);
    if (!d.error.empty()) {
      // Refused before the box is asked: nothing is sent.
      std::fprintf(stderr, "tavro: dial refused: %s\n", d.error.c_str());
      throw CLI::RuntimeError(kExitUsage);
    }
    digits = d.digits;
    run = [&](Session& s) { return runDial(s, digits); };
  });

  std::string onOff;
  struct SwitchCommand {
    const char* name;
    const char* help;
    Switch which;
  };
  const SwitchCommand kSwitches[] = {
      {"mute", "Switch muting on or off", Switch::kMute},
      {"mic-out", "Switch the microphone output on or off", Switch::kMicOut},
      {"line-mic", "Switch the line/microphone path on or off", Switch::kLineMic},
      {"dtmf-check", "Switch the box's DTMF checking on or off", Switch::kDtmfCheck},
  };
  for (const SwitchCommand& sc : kSwitches) {
    CLI::App* cmd = app.add_subcommand(sc.name, sc.help);
    addOnOff(cmd, &onOff);
    Switch which = sc.which;
    cmd->callback([&, which] {
      run = [&, which](Session& s) {
        return runSwitch(s, which, CLI::detail::to_lower(onOff) == "on");
      };
    });
  }

  app.add_subcommand("ring", "Ask the box for ring detection")->callback([&] {
    run = [](Session& s) { return runRing(s); };
  });

  RecordOptions record;
  CLI::App* rec = app.add_subcommand(
      "record", "Record the line into an A-law wave file; Ctrl-C or --seconds ends it");
  rec->add_option("file", record.file, "The wave file to write")->required();
  rec->add_option("--seconds", record.seconds, "Stop after this many seconds (default: Ctrl-C)")
      ->check(CLI::PositiveNumber);
  rec->add_option("--mode", record.mode, "Recording mode; 0 needs the line off hook (default 1)");
  rec->add_flag("--quiet", record.quiet, "No progress lines");
  rec->callback([&] { run = [&](Session& s) { return runRecord(s, record); }; });

  PlayOptions play;
  CLI::App* playCmd =
      app.add_subcommand("play", "Play a file to the line with a progress bar; Ctrl-C stops it");
  playCmd->add_option("file", play.file, "The file, sent as it is (8 kHz A-law)")->required();
  playCmd->add_option("--from", play.fromPermille, "Start at this point, in thousandths (0-1000)")
      ->check(CLI::Range(0, 1000));
  playCmd
      ->add_option("--mode", play.mode, "Playback mode; other than 1 and 2 needs the line off hook")
      ->check(CLI::Range(0, 255));
  playCmd->add_option("--param", play.param, "Parameter passed to the box (0-255)")
      ->check(CLI::Range(0, 255));
  playCmd->add_flag("--flag", play.flag, "Flag passed to the box");
  playCmd->add_flag("--quiet", play.quiet, "No progress bar");
  playCmd->callback([&] { run = [&](Session& s) { return runPlay(s, play); }; });

  std::string flashFile;
  CLI::App* flash =
      app.add_subcommand("flash-write", "Write a file of exactly 240 bytes into the box's flash");
  flash->add_option("file", flashFile, "The 240-byte file")->required();
  flash->callback([&] { run = [&](Session& s) { return runFlashWrite(s, flashFile); }; });

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
  if (!run) return kExitUsage;

  installSignalHandlers();
  int rc = kExitFailed;
  {
    Session session(waitSeconds);
    rc = run(session);
  }  // the library object is stopped here, before the process ends
  std::fflush(stdout);
  return rc;
}
