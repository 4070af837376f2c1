#include "vbox/verb_words.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "vbox/verbs.h"

namespace tavro::vbox {

bool parseUnsigned(const std::string& s, unsigned long max, unsigned long& out, int base) {
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(s.c_str(), &end, base);
  if (*end != '\0' || errno != 0 || v > max) return false;
  out = v;
  return true;
}

bool parseHexByte(const std::string& s, uint8_t& out) {
  unsigned long v;
  if (s.size() > 4 || !parseUnsigned(s, 0xFF, v, 16)) return false;
  out = uint8_t(v);
  return true;
}

bool parseOnOff(const std::string& s, bool& out) {
  if (s == "on" || s == "1" || s == "true") return out = true, true;
  if (s == "off" || s == "0" || s == "false") return out = false, true;
  return false;
}

bool parseSeconds(const std::string& s, double& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v) || v < 0 || v > 86400) return false;
  out = v;
  return true;
}

bool parseLevel(std::string s, double lowest, double& out) {
  if (!s.empty() && s[0] == '-') s.erase(0, 1);
  double v;
  if (!parseSeconds(s, v) || v > lowest) return false;
  out = -v;
  return true;
}

void sortWords(const std::vector<std::string>& words, std::vector<std::string>& plain,
               std::map<std::string, std::string>& named) {
  for (size_t i = 1; i < words.size(); ++i) {
    auto eq = words[i].find('=');
    if (eq == std::string::npos || eq == 0)
      plain.push_back(words[i]);
    else
      named[words[i].substr(0, eq)] = words[i].substr(eq + 1);
  }
}

std::optional<std::vector<std::string>> splitWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) return std::nullopt;
  if (inWord) words.push_back(word);
  return words;
}

Scenario parseScenario(const std::string& text) {
  Scenario sc;
  std::istringstream in(text);
  std::string line;
  int n = 0;
  auto mistake = [&](std::string what) { sc.errors.push_back({n, std::move(what)}); };
  while (std::getline(in, line)) {
    ++n;
    auto words = splitWords(line);
    if (!words) {
      mistake("unclosed quote");
      continue;
    }
    if (words->empty() || (*words)[0][0] == '#') continue;
    const std::string& t = (*words)[0];
    double delay;
    if (t[0] != '+' || !parseSeconds(t.substr(1), delay)) {
      mistake("expected +SECONDS, got '" + t + "'");
      continue;
    }
    auto start = line.find(t) + t.size();
    std::string rest = line.substr(start);
    auto first = rest.find_first_not_of(" \t");
    if (first == std::string::npos) {
      mistake("no verb after " + t);
      continue;
    }
    ScenarioStep step{delay, rest.substr(first), n, {}};
    CheckedVerb checked = checkVerb(step.line);
    if (!checked.action) {
      mistake(checked.error);
      continue;
    }
    step.action = std::move(checked.action);
    sc.steps.push_back(std::move(step));
  }
  return sc;
}

}  // namespace tavro::vbox
