// The commands that work on a box, as words on a command line: their arguments, options and
// help texts. The one-shot tool and the console parse with the same definitions.
#ifndef TAVRO_TOOLS_CLI_H
#define TAVRO_TOOLS_CLI_H

#include <CLI/CLI.hpp>

#include <functional>
#include <string>

#include "tools/commands.h"

namespace tavro::tool {

// What a parsed command line asks for. The parse fills it; `run` does the command.
struct CommandArgs {
  std::string command;  // the name of the command given
  bool json = false;
  RecordOptions record;
  PlayOptions play;
  std::string number;
  std::string digits;  // the number as it is dialled
  std::string onOff;
  std::string flashFile;
  std::function<int(Session&)> run;
};

// Where the commands are used: the console runs a recording or playback while it goes on
// reading commands, and the command stop ends it.
enum class CommandSet { kOneShot, kConsole };

// Adds status, info, pickup, hangup, dial, the switches, ring, record, play and flash-write.
// `args` must outlive `app`; reset it (args = {}) before each parse that reuses `app`.
void addBoxCommands(CLI::App& app, CommandArgs& args, CommandSet set);

// A number from `low` to `high`; what is refused is named in words ("abc is not a number",
// "nan is not a finite number", "9 is not between 0 and 1"). With `whole` only integers.
// (CLI11's own ranges let "nan" through and print their bounds in full.)
CLI::Validator numberIn(double low, double high, bool whole = false);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_CLI_H
