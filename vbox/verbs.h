// The box's verbs, shared by the interactive mode and scenario files of tavro-box. One table
// holds every verb: its name, its arguments, its line of help and the code that checks its
// arguments and runs it, so that the help text and the checks cannot drift apart.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "vbox/virtual_box.h"

namespace tavro::vbox {

struct VerbResult {
  bool ok = true;     // false: unknown verb, bad arguments, or the box could not do it
  bool quit = false;  // the verb asks the program to end
  std::string message;
  double waitForPipes = 0;  // seconds the program is to wait for the host's four pipes
};

// A verb whose arguments have been checked, ready to run on a box.
using VerbAction = std::function<VerbResult(VirtualBox&)>;

// Checks one line such as "record 07 05" or "call 5551234 name=\"Ann\"" without a box: the
// action to run, or why the line is wrong. A blank line or a comment (a line starting with
// '#') gives an action that does nothing.
struct CheckedVerb {
  VerbAction action;  // empty when the line is wrong
  std::string error;  // what is wrong, e.g. "unknown verb 'bogus' (try help)"
};
CheckedVerb checkVerb(const std::string& line);

// Checks and runs one line.
VerbResult runVerb(VirtualBox& box, const std::string& line);

// One line of help per verb, made from the table.
std::string verbHelp();

// The names of every verb, in the order of the help text.
std::vector<std::string> verbNames();

// Splits a line into words; double quotes group words ("a b" and name="a b" are one word,
// without the quotes). std::nullopt when a quote is not closed.
std::optional<std::vector<std::string>> splitWords(const std::string& line);

// A scenario: lines "+SECONDS VERB ARGS..." where SECONDS counts from the previous step.
// Every line is checked, the verbs included (a wave file named by `source wave` is read
// then), so that a scenario with a mistake is refused before it starts.
struct ScenarioStep {
  double delay = 0;  // seconds after the previous step
  std::string line;  // the verb and its arguments
  int lineNumber = 0;
  VerbAction action;
};
struct ScenarioError {
  int lineNumber = 0;
  std::string what;
};
struct Scenario {
  std::vector<ScenarioStep> steps;
  std::vector<ScenarioError> errors;  // every mistake, in the order of the lines
};
Scenario parseScenario(const std::string& text);

}  // namespace tavro::vbox
