// The box's verbs, shared by the interactive mode and scenario files of tavro-box.
#pragma once

#include <string>

#include "vbox/virtual_box.h"

namespace tavro::vbox {

struct VerbResult {
  bool ok = true;     // false: unknown verb or bad arguments (message says why)
  bool quit = false;  // the verb asks the program to end
  std::string message;
};

// Runs one line such as "record 07 05" or "silent on". Blank lines and lines starting with
// '#' do nothing.
VerbResult runVerb(VirtualBox& box, const std::string& line);

// One line of help per verb.
std::string verbHelp();

}  // namespace tavro::vbox
