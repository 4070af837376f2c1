#include "vbox/verbs.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace tavro::vbox {

namespace {

VerbResult fail(std::string why) {
  return {false, false, std::move(why)};
}

bool parseByte(const std::string& s, uint8_t& out) {
  if (s.empty() || s.size() > 4) return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(s.c_str(), &end, 16);
  if (*end != '\0' || v > 0xFF) return false;
  out = uint8_t(v);
  return true;
}

bool parseOnOff(const std::string& s, bool& out) {
  if (s == "on" || s == "1" || s == "true") return out = true, true;
  if (s == "off" || s == "0" || s == "false") return out = false, true;
  return false;
}

}  // namespace

std::string verbHelp() {
  return "verbs:\n"
         "  unplug                 close every connection and remove the socket files\n"
         "  replug                 publish the device again\n"
         "  record HEX...          send a raw reply record (zero-padded to 64 bytes)\n"
         "  silent on|off          stop or resume answering commands\n"
         "  help                   this text\n"
         "  quit                   end the program";
}

VerbResult runVerb(VirtualBox& box, const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  if (!(in >> verb) || verb[0] == '#') return {};
  std::vector<std::string> args;
  for (std::string a; in >> a;) args.push_back(a);

  if (verb == "help") return {true, false, verbHelp()};
  if (verb == "quit" || verb == "exit") return {true, true, ""};
  if (verb == "unplug") {
    box.unplug();
    return {};
  }
  if (verb == "replug" || verb == "plug") {
    try {
      box.plug();
    } catch (const std::exception& e) {
      return fail(std::string("replug failed: ") + e.what());
    }
    return {};
  }
  if (verb == "record") {
    if (args.empty() || args.size() > 64) return fail("record: give 1 to 64 hex bytes");
    Record r{};
    for (size_t i = 0; i < args.size(); ++i)
      if (!parseByte(args[i], r[i])) return fail("record: not a hex byte: " + args[i]);
    if (!box.sendRecord(r)) return fail("record: no reply connection");
    return {};
  }
  if (verb == "silent") {
    bool on;
    if (args.size() != 1 || !parseOnOff(args[0], on)) return fail("silent: say on or off");
    box.setSilent(on);
    return {true, false, on ? "silent: commands are not answered" : "silent: off"};
  }
  return fail("unknown verb '" + verb + "' (try help)");
}

}  // namespace tavro::vbox
