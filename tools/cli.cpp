#include "tools/cli.h"

#include <cmath>
#include <cstdio>

#include "tools/text.h"

namespace tavro::tool {

namespace {

std::string shortNumber(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

}  // namespace

CLI::Validator numberIn(double low, double high, bool whole) {
  const std::string range = shortNumber(low) + " and " + shortNumber(high);
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        double v = 0;
        if (!CLI::detail::lexical_cast(text, v)) return text + " is not a number";
        if (!std::isfinite(v)) return text + " is not a finite number";
        if (whole && v != std::floor(v)) return text + " is not a whole number";
        if (v < low || v > high) return text + " is not between " + range;
        return {};
      },
      (whole ? "INT in " : "NUMBER in ") + shortNumber(low) + ".." + shortNumber(high));
}

namespace {

void addOnOff(CLI::App* cmd, std::string* state) {
  cmd->add_option("state", *state, "on or off")
      ->required()
      ->check(CLI::IsMember({"on", "off"}, CLI::ignore_case));
}

// Adds a command whose callback names it and sets what it runs.
CLI::App* command(CLI::App& app, CommandArgs& a, const char* name, const char* help,
                  std::function<int(Session&)> run) {
  CLI::App* cmd = app.add_subcommand(name, help);
  std::string named = name;
  cmd->callback([&a, named, run = std::move(run)] {
    a.command = named;
    a.run = run;
  });
  return cmd;
}

}  // namespace

void addBoxCommands(CLI::App& app, CommandArgs& a, CommandSet set) {
  bool console = set == CommandSet::kConsole;
  command(app, a, "status",
          "Link state, the status word with its bits named, device type, information, flags",
          [&a](Session& s) { return runStatus(s, a.json); })
      ->add_flag("--json", a.json, "One JSON object");
  command(app, a, "info", "Device type, information block, flags, PC clock", [&a](Session& s) {
    return runInfo(s, a.json);
  })->add_flag("--json", a.json, "One JSON object");

  command(app, a, "pickup", "Take the line off hook", runPickUp);
  command(app, a, "hangup", "Put the line on hook", runHangUp);

  CLI::App* dial =
      command(app, a, "dial", "Take the line off hook and dial NUMBER (spaces - ( ) . are ignored)",
              [&a](Session& s) { return runDial(s, a.digits); });
  dial->add_option("number", a.number, "The number: 0-9 * # A-L")->required();
  dial->parse_complete_callback([&a] {
    DialNumber d = cleanDialNumber(a.number);
    if (!d.error.empty()) {
      // Refused before the box is asked: nothing is sent.
      std::fprintf(stderr, "tavro: dial refused: %s\n", d.error.c_str());
      throw CLI::RuntimeError(kExitUsage);
    }
    a.digits = d.digits;
  });

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
    Switch which = sc.which;
    CLI::App* cmd = command(app, a, sc.name, sc.help, [&a, which](Session& s) {
      return runSwitch(s, which, CLI::detail::to_lower(a.onOff) == "on");
    });
    addOnOff(cmd, &a.onOff);
  }

  command(app, a, "ring", "Ask the box for ring detection", runRing);

  CLI::App* rec = command(app, a, "record",
                          console ? "Start recording the line into an A-law wave file; stop or "
                                    "--seconds ends it"
                                  : "Record the line into an A-law wave file; Ctrl-C or --seconds "
                                    "ends it",
                          [&a](Session& s) { return runRecord(s, a.record); });
  rec->add_option("file", a.record.file, "The wave file to write")->required();
  // Longer than a wave file can hold (4 GiB at 8000 bytes a second is about 6.2 days).
  rec->add_option("--seconds", a.record.seconds,
                  console ? "Stop after this many seconds, up to 604800 (default: stop)"
                          : "Stop after this many seconds, up to 604800 (default: Ctrl-C)")
      ->check(numberIn(0.001, 604800.0));
  // The mode travels to the box in one byte.
  // The modes with a meaning: 0 records the line off hook, 1 also on hook.
  rec->add_option("--mode", a.record.mode,
                  "Recording mode: 1 (the default) records also on hook, 0 needs the line off "
                  "hook")
      ->check(numberIn(0, 1, true));
  rec->add_flag("--pickup", a.record.pickUp, "Take the line off hook first (for mode 0)");
  if (!console) rec->add_flag("--quiet", a.record.quiet, "No progress lines");

  CLI::App* play = command(app, a, "play",
                           console ? "Start playing a file to the line; stop ends it"
                                   : "Play a file to the line with a progress bar; Ctrl-C stops it",
                           [&a](Session& s) { return runPlay(s, a.play); });
  play->add_option("file", a.play.file,
                   "An 8000 Hz A-law mono wave file (its audio is played), or with --raw "
                   "headerless A-law")
      ->required();
  play->add_flag("--raw", a.play.raw, "The file is headerless A-law, sent as it is");
  play->add_option("--from", a.play.fromPermille, "Start at this point, in thousandths (0-1000)")
      ->check(numberIn(0, 1000, true));
  play->add_option("--mode", a.play.mode,
                   "Playback mode; other than 1 and 2 needs the line off hook")
      ->check(numberIn(0, 255, true));
  play->add_option("--param", a.play.param, "Parameter passed to the box (0-255)")
      ->check(numberIn(0, 255, true));
  play->add_flag("--flag", a.play.flag, "Flag passed to the box");
  if (!console) play->add_flag("--quiet", a.play.quiet, "No progress bar");

  command(app, a, "flash-write", "Write a file of exactly 240 bytes into the box's flash",
          [&a](Session& s) { return runFlashWrite(s, a.flashFile); })
      ->add_option("file", a.flashFile, "The 240-byte file")
      ->required();
}

}  // namespace tavro::tool
