// The box's verbs, shared by the interactive mode and scenario files of tavro-box.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "vbox/virtual_box.h"

namespace tavro::vbox {

struct VerbResult {
  bool ok = true;     // false: unknown verb or bad arguments (message says why)
  bool quit = false;  // the verb asks the program to end
  std::string message;
  double waitForPipes = 0;  // seconds the program is to wait for the host's four pipes
};

// Runs one line such as "record 07 05" or "call 5551234 name=\"Ann\"". Blank lines and
// lines starting with '#' do nothing.
VerbResult runVerb(VirtualBox& box, const std::string& line);

// One line of help per verb.
std::string verbHelp();

// Splits a line into words; double quotes group words ("a b" and name="a b" are one word,
// without the quotes). std::nullopt when a quote is not closed.
std::optional<std::vector<std::string>> splitWords(const std::string& line);

// A scenario: lines "+SECONDS VERB ARGS..." where SECONDS counts from the previous step.
struct ScenarioStep {
  double delay = 0;  // seconds after the previous step
  std::string line;  // the verb and its arguments
  int lineNumber = 0;
};
struct Scenario {
  std::vector<ScenarioStep> steps;
  std::string error;  // "line N: ..." when the text is not a scenario
};
Scenario parseScenario(const std::string& text);

}  // namespace tavro::vbox
