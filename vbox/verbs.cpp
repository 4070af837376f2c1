#include "vbox/verbs.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

namespace tavro::vbox {

namespace {

VerbResult fail(std::string why) {
  return {false, false, std::move(why)};
}

bool parseUnsigned(const std::string& s, unsigned long max, unsigned long& out, int base = 0) {
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

// Words of the form key=value go to `named`, the others to `plain`.
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

std::string lineStateText(const LineState& s) {
  std::ostringstream o;
  o << "line: " << (s.offHook ? "off hook" : "on hook") << ", mute " << s.mute << ", mic-out "
    << s.micOut << ", line/mic " << s.lineMic << ", DTMF checking " << s.dtmfChecking
    << ", next-call delay " << int(s.nextCallDelay) << ", dialled '" << s.dialledNumber << "' ("
    << s.dials << " dials), recording " << s.recording << " (mode " << int(s.recordMode)
    << "), playing " << s.playing;
  return o.str();
}

VerbResult sent(bool ok, const std::string& what) {
  if (!ok) return fail(what + ": no reply connection");
  return {};
}

VerbResult callVerb(VirtualBox& box, const std::vector<std::string>& plain,
                    std::map<std::string, std::string>& named) {
  if (plain.size() > 2) return fail("call: NUMBER [name=..] [date=MMDDHHMM] [format=..] [ff]");
  std::string number = plain.empty() ? "" : plain[0];
  bool leadFF = plain.size() == 2 && plain[1] == "ff";
  if (plain.size() == 2 && !leadFF) return fail("call: unexpected '" + plain[1] + "'");
  CallerIdFormat format = CallerIdFormat::MultipleData;
  std::string f = named.count("format") ? named["format"] : "mdm";
  if (f == "sdm" || f == "single")
    format = CallerIdFormat::SingleData;
  else if (f == "digits" || f == "dtmf")
    format = CallerIdFormat::DigitString;
  else if (f != "mdm" && f != "multiple")
    return fail("call: format is sdm, mdm or digits");
  std::string date = named.count("date") ? named["date"] : "";
  if (!date.empty() && date.size() != 8) return fail("call: date is MMDDHHMM");
  if (!callerIdRecord(format, number, date, named["name"], leadFF))
    return fail("call: the message does not fit one record");
  return sent(box.sendCallerId(format, number, date, named["name"], leadFF), "call");
}

VerbResult setFlag(const std::vector<std::string>& plain, const std::string& verb,
                   const std::function<void(bool)>& set) {
  bool on;
  if (plain.size() != 1 || !parseOnOff(plain[0], on)) return fail(verb + ": say on or off");
  set(on);
  return {true, false, verb + (on ? ": on" : ": off")};
}

}  // namespace

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

std::string verbHelp() {
  return "verbs:\n"
         "  call NUMBER [name=\"..\"] [date=MMDDHHMM] [format=mdm|sdm|digits] [ff]\n"
         "                         caller-ID record (ff: digit string led by 0xFF)\n"
         "  nonumber               caller-ID record 'no number available'\n"
         "  ring                   ring report (reply type 3)\n"
         "  dtmf DIGITS            one DTMF record per digit (0-9 * # A-D), or dtmf code=N\n"
         "  tone FIRST SECOND      tone report (reply type 5)\n"
         "  hook off|on            hook status item (line taken off hook / put on hook)\n"
         "  record HEX...          send a raw reply record (zero-padded to 64 bytes)\n"
         "  flags VALUE [via9]     answer to 24 (flags value); via9: as reply type 9\n"
         "  type CODE              answer to 27 (device type code)\n"
         "  info HEX...            answer to 36 (11 information bytes)\n"
         "  flashack VALUE [type=10|19]  acknowledge of flash writes\n"
         "  reporthook on|off      follow hook commands with a hook status item\n"
         "  source silence|pattern|tone HZ [level=0..1]|wave FILE\n"
         "                         what the line carries into the audio-in stream\n"
         "  pace FACTOR            audio-in speed (1 = 8000 bytes/s, 0 = as fast as read)\n"
         "  playpace FACTOR        go-ahead speed (1 = one per 64 ms, 0 = at once)\n"
         "  framestatus HEX [once] status byte of the following frames (or the next one)\n"
         "  partial BYTES          send the first 1..255 bytes of a frame (out of step)\n"
         "  playfault              report a playback failure (status item 3, 0)\n"
         "  audio                  show the audio counters\n"
         "  silent on|off          stop or resume answering commands\n"
         "  delay MS               answer every command MS milliseconds late\n"
         "  probefails on|off      fail the device probe\n"
         "  setupfails on|off      fail the transfer setups\n"
         "  unplug                 close every connection and remove the socket files\n"
         "  replug                 publish the device again\n"
         "  waitpipes [SECONDS]    wait until the host has opened the four pipes (30 s)\n"
         "  state                  show the line state\n"
         "  help                   this text\n"
         "  quit                   end the program";
}

VerbResult runVerb(VirtualBox& box, const std::string& line) {
  auto split = splitWords(line);
  if (!split) return fail("unclosed quote");
  const std::vector<std::string>& words = *split;
  if (words.empty() || words[0][0] == '#') return {};
  const std::string& verb = words[0];
  std::vector<std::string> plain;
  std::map<std::string, std::string> named;
  sortWords(words, plain, named);
  unsigned long v;

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
    if (plain.empty() || plain.size() > 64) return fail("record: give 1 to 64 hex bytes");
    Record r{};
    for (size_t i = 0; i < plain.size(); ++i)
      if (!parseHexByte(plain[i], r[i])) return fail("record: not a hex byte: " + plain[i]);
    return sent(box.sendRecord(r), "record");
  }
  if (verb == "silent") return setFlag(plain, verb, [&](bool on) { box.setSilent(on); });
  if (verb == "probefails") return setFlag(plain, verb, [&](bool on) { box.setProbeFails(on); });
  if (verb == "setupfails")
    return setFlag(plain, verb, [&](bool on) { box.setTransferSetupFails(on); });
  if (verb == "reporthook") return setFlag(plain, verb, [&](bool on) { box.setReportHook(on); });
  if (verb == "call") return callVerb(box, plain, named);
  if (verb == "nonumber") return sent(box.sendNoNumber(), verb);
  if (verb == "ring") return sent(box.sendRing(), verb);
  if (verb == "dtmf") {
    if (named.count("code")) {
      if (!parseUnsigned(named["code"], 255, v)) return fail("dtmf: code is 0..255");
      return sent(box.sendDtmf(uint8_t(v)), verb);
    }
    if (plain.size() != 1) return fail("dtmf: DIGITS or code=N");
    for (char c : plain[0])
      if (!digitCode(c)) return fail(std::string("dtmf: not a DTMF digit: ") + c);
    for (char c : plain[0])
      if (!box.sendDtmf(*digitCode(c))) return fail("dtmf: no reply connection");
    return {};
  }
  if (verb == "tone") {
    unsigned long second;
    if (plain.size() != 2 || !parseUnsigned(plain[0], 255, v) ||
        !parseUnsigned(plain[1], 65535, second))
      return fail("tone: FIRST (0..255) SECOND (0..65535)");
    return sent(box.sendTone(uint8_t(v), uint16_t(second)), verb);
  }
  if (verb == "hook") {
    if (plain.size() != 1 || (plain[0] != "off" && plain[0] != "on"))
      return fail("hook: off (off hook) or on (on hook)");
    return sent(box.sendHookStatus(plain[0] == "off"), verb);
  }
  if (verb == "flags") {
    if (plain.empty() || plain.size() > 2 || !parseUnsigned(plain[0], 0xFFFFFFFFul, v) ||
        (plain.size() == 2 && plain[1] != "via9"))
      return fail("flags: VALUE [via9]");
    box.setFlagsValue(uint32_t(v));
    box.setFlagsViaType9(plain.size() == 2);
    return {};
  }
  if (verb == "type") {
    if (plain.size() != 1 || !parseUnsigned(plain[0], 255, v)) return fail("type: CODE (0..255)");
    box.setTypeCode(uint8_t(v));
    return {};
  }
  if (verb == "info") {
    std::array<uint8_t, 11> info{};
    if (plain.size() > info.size()) return fail("info: at most 11 hex bytes");
    for (size_t i = 0; i < plain.size(); ++i)
      if (!parseHexByte(plain[i], info[i])) return fail("info: not a hex byte: " + plain[i]);
    box.setInfoBlock(info);
    return {};
  }
  if (verb == "flashack") {
    if (plain.size() != 1 || !parseUnsigned(plain[0], 255, v)) return fail("flashack: VALUE");
    std::string type = named.count("type") ? named["type"] : "10";
    if (type != "10" && type != "19") return fail("flashack: type is 10 or 19");
    box.setFlashAck(uint8_t(v));
    box.setFlashAckType(uint8_t(std::stoi(type)));
    return {};
  }
  if (verb == "delay") {
    if (plain.size() != 1 || !parseUnsigned(plain[0], 600000, v)) return fail("delay: MS");
    box.setAnswerDelay(std::chrono::milliseconds(v));
    return {};
  }
  if (verb == "waitpipes") {
    double s = 30;
    if (plain.size() > 1 || (plain.size() == 1 && !parseSeconds(plain[0], s)))
      return fail("waitpipes: [SECONDS]");
    VerbResult r;
    r.waitForPipes = s;
    return r;
  }
  if (verb == "state") return {true, false, lineStateText(box.lineState())};
  if (verb == "source") {
    if (plain.empty()) return fail("source: silence, pattern, tone HZ or wave FILE");
    const std::string& kind = plain[0];
    if (kind == "silence" && plain.size() == 1) {
      box.setLineSource(LineSource::silence());
    } else if (kind == "pattern" && plain.size() == 1) {
      box.setLineSource(LineSource::pattern());
    } else if (kind == "tone" && plain.size() == 2) {
      double hz, level = 0.5;
      if (!parseSeconds(plain[1], hz) || hz > 4000) return fail("source: tone HZ (0..4000)");
      if (named.count("level") && (!parseSeconds(named["level"], level) || level > 1))
        return fail("source: level is 0..1");
      box.setLineSource(LineSource::tone(hz, level));
    } else if (kind == "wave" && plain.size() == 2) {
      std::string why;
      auto src = LineSource::waveFile(plain[1], &why);
      if (!src) return fail("source: " + plain[1] + ": " + why);
      box.setLineSource(*src);
    } else {
      return fail("source: silence, pattern, tone HZ or wave FILE");
    }
    return {};
  }
  if (verb == "pace" || verb == "playpace") {
    double f;
    if (plain.size() != 1 || !parseSeconds(plain[0], f) || f > 1000)
      return fail(verb + ": FACTOR (0..1000)");
    if (verb == "pace")
      box.setAudioPace(f);
    else
      box.setPlayPace(f);
    return {};
  }
  if (verb == "framestatus") {
    uint8_t b;
    if (plain.empty() || plain.size() > 2 || !parseHexByte(plain[0], b) ||
        (plain.size() == 2 && plain[1] != "once"))
      return fail("framestatus: HEX [once]");
    if (plain.size() == 2)
      box.setFrameStatusOnce(b);
    else
      box.setFrameStatus(b);
    return {};
  }
  if (verb == "partial") {
    if (plain.size() != 1 || !parseUnsigned(plain[0], kFrameSize - 1, v) || v == 0)
      return fail("partial: BYTES (1..255)");
    box.injectPartialFrame(v);
    return {};
  }
  if (verb == "playfault") return sent(box.sendPlaybackFault(), verb);
  if (verb == "audio") {
    std::ostringstream o;
    o << "audio: " << (box.audioStreaming() ? "streaming" : "not streaming") << ", "
      << box.framesSent() << " frames sent, " << box.droppedFrames() << " dropped, "
      << box.partialFramesSent() << " partial; " << box.packetsReceived() << " packets received, "
      << box.goAheadsSent() << " go-aheads";
    return {true, false, o.str()};
  }
  return fail("unknown verb '" + verb + "' (try help)");
}

Scenario parseScenario(const std::string& text) {
  Scenario sc;
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    auto words = splitWords(line);
    if (!words) {
      sc.error = "line " + std::to_string(n) + ": unclosed quote";
      return sc;
    }
    if (words->empty() || (*words)[0][0] == '#') continue;
    const std::string& t = (*words)[0];
    double delay;
    if (t[0] != '+' || !parseSeconds(t.substr(1), delay)) {
      sc.error = "line " + std::to_string(n) + ": expected +SECONDS, got '" + t + "'";
      return sc;
    }
    auto start = line.find(t) + t.size();
    std::string rest = line.substr(start);
    auto first = rest.find_first_not_of(" \t");
    if (first == std::string::npos) {
      sc.error = "line " + std::to_string(n) + ": no verb after " + t;
      return sc;
    }
    sc.steps.push_back({delay, rest.substr(first), n});
  }
  return sc;
}

}  // namespace tavro::vbox
