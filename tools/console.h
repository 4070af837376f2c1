// tavro console: one session with the box for a person at a terminal or for a script.
#ifndef TAVRO_TOOLS_CONSOLE_H
#define TAVRO_TOOLS_CONSOLE_H

#include "tools/commands.h"

namespace tavro::tool {

// On a terminal: a prompt with line editing and history, events shown above it as they come.
// Otherwise: one command a line from standard input, no prompt; the first command that fails
// ends the run with its exit code. Returns the exit code.
int runConsole(Session& s);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_CONSOLE_H
