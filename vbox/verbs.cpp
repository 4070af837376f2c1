#include "vbox/verbs.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "vbox/verb_words.h"

namespace tavro::vbox {

namespace {

VerbResult fail(std::string why) {
  return {false, false, std::move(why)};
}

CheckedVerb wrong(std::string why) {
  return {{}, std::move(why)};
}

CheckedVerb ready(VerbAction action) {
  return {std::move(action), ""};
}

// Verbs that take no arguments and do one thing.
CheckedVerb doing(std::function<void(VirtualBox&)> act) {
  return {[act](VirtualBox& box) {
            act(box);
            return VerbResult{};
          },
          ""};
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

struct Args {
  std::string verb;
  std::vector<std::string> plain;
  std::map<std::string, std::string> named;
  bool has(const char* key) const { return named.count(key) != 0; }
  std::string get(const char* key, const char* otherwise = "") const {
    auto it = named.find(key);
    return it == named.end() ? otherwise : it->second;
  }
};

struct Verb {
  const char* name;
  const char* alias;  // another name for it, or nullptr
  const char* args;   // as the help shows them
  const char* help;   // what it does; '\n' continues on the next line
  const char* keys;   // the key=value words it takes, separated by spaces
  CheckedVerb (*check)(const Args&);
};

CheckedVerb onOffVerb(const Args& a, void (VirtualBox::*set)(bool)) {
  bool on;
  if (a.plain.size() != 1 || !parseOnOff(a.plain[0], on)) return wrong(a.verb + ": say on or off");
  std::string said = a.verb + (on ? ": on" : ": off");
  return ready([set, on, said](VirtualBox& box) {
    (box.*set)(on);
    return VerbResult{true, false, said};
  });
}

CheckedVerb sendVerb(const std::string& what, std::function<bool(VirtualBox&)> send) {
  return ready([what, send](VirtualBox& box) { return sent(send(box), what); });
}

CheckedVerb callVerb(const Args& a) {
  const auto& plain = a.plain;
  if (plain.size() > 2)
    return wrong("call: NUMBER [name=..] [date=MMDDHHMM] [format=..] [ff] [rings=N]");
  std::string number = plain.empty() ? "" : plain[0];
  bool leadFF = plain.size() == 2 && plain[1] == "ff";
  if (plain.size() == 2 && !leadFF) return wrong("call: unexpected '" + plain[1] + "'");
  CallerIdFormat format = CallerIdFormat::MultipleData;
  std::string f = a.get("format", "mdm");
  if (f == "sdm" || f == "single")
    format = CallerIdFormat::SingleData;
  else if (f == "digits" || f == "dtmf")
    format = CallerIdFormat::DigitString;
  else if (f != "mdm" && f != "multiple")
    return wrong("call: format is sdm, mdm or digits");
  std::string date = a.get("date");
  if (!date.empty() && date.size() != 8) return wrong("call: date is MMDDHHMM");
  std::string name = a.get("name");
  if (!callerIdRecord(format, number, date, name, leadFF))
    return wrong("call: the message does not fit one record");
  std::optional<CallerIdSignal> fsk;
  if (a.has("fsk")) {
    const std::string m = a.get("fsk");
    if (m == "bell202")
      fsk = CallerIdSignal::Bell202;
    else if (m == "v23")
      fsk = CallerIdSignal::V23;
    else
      return wrong("call: fsk is bell202 or v23");
  }
  if (a.has("rings") || a.has("timing")) {
    unsigned long rings = 2;
    if (a.has("rings") && (!parseUnsigned(a.get("rings"), 20, rings) || rings < 1))
      return wrong("call: rings is 1..20");
    const std::string t = a.get("timing", "na");
    if (t != "na" && t != "etsi") return wrong("call: timing is na or etsi");
    if (leadFF) return wrong("call: ff is for a caller ID alone, not with rings");
    const CallerIdTiming timing = t == "na" ? CallerIdTiming::NorthAmerica : CallerIdTiming::Etsi;
    // Each convention has its modulation, unless one is named.
    if (!fsk) fsk = timing == CallerIdTiming::Etsi ? CallerIdSignal::V23 : CallerIdSignal::Bell202;
    return sendVerb("call", [=](VirtualBox& box) {
      box.setCallerIdSignal(*fsk);
      return box.sendIncomingCall(timing, int(rings), format, number, date, name);
    });
  }
  return sendVerb("call", [=](VirtualBox& box) {
    if (fsk) box.setCallerIdSignal(*fsk);
    return box.sendCallerId(format, number, date, name, leadFF);
  });
}

CheckedVerb dtmfVerb(const Args& a) {
  unsigned long v;
  std::optional<DtmfStyle> style;
  if (a.has("on") || a.has("off") || a.has("level")) {
    DtmfStyle s;
    unsigned long on = s.onMs, off = s.offMs, quiet = -s.level;
    if ((a.has("on") && !parseUnsigned(a.get("on"), 2000, on)) ||
        (a.has("off") && !parseUnsigned(a.get("off"), 2000, off)))
      return wrong("dtmf: on and off are 0..2000 ms");
    // Levels are below full scale: "level=-20" or "level=20" both mean -20 dBm0.
    std::string level = a.get("level", "");
    if (!level.empty() && level[0] == '-') level.erase(0, 1);
    if (a.has("level") && (!parseUnsigned(level, 50, quiet) || quiet < 3))
      return wrong("dtmf: level is -3..-50 dBm0");
    s.onMs = int(on);
    s.offMs = int(off);
    s.level = -int(quiet);
    style = s;
  }
  auto styled = [style](VirtualBox& box) {
    if (style) box.setDtmfStyle(*style);
  };
  if (a.has("code")) {
    if (!a.plain.empty() || !parseUnsigned(a.get("code"), 255, v))
      return wrong("dtmf: code is 0..255");
    return sendVerb("dtmf", [v, styled](VirtualBox& box) {
      styled(box);
      return box.sendDtmf(uint8_t(v));
    });
  }
  if (a.plain.size() != 1) return wrong("dtmf: DIGITS or code=N");
  std::vector<uint8_t> codes;
  for (char c : a.plain[0]) {
    auto code = digitCode(c);
    if (!code) return wrong(std::string("dtmf: not a DTMF digit: ") + c);
    codes.push_back(*code);
  }
  return sendVerb("dtmf", [codes, styled](VirtualBox& box) {
    styled(box);
    for (uint8_t c : codes)
      if (!box.sendDtmf(c)) return false;
    return true;
  });
}

CheckedVerb recordVerb(const Args& a) {
  if (a.plain.empty() || a.plain.size() > 64) return wrong("record: give 1 to 64 hex bytes");
  Record r{};
  for (size_t i = 0; i < a.plain.size(); ++i)
    if (!parseHexByte(a.plain[i], r[i])) return wrong("record: not a hex byte: " + a.plain[i]);
  return sendVerb("record", [r](VirtualBox& box) { return box.sendRecord(r); });
}

// A call-progress tone on the line: tone dial|ringback|busy|congestion [country=..]
// [level=..], or tone off.
CheckedVerb progressToneVerb(const Args& a) {
  static const std::map<std::string, ProgressTone> tones = {
      {"dial", ProgressTone::Dial},
      {"ringback", ProgressTone::Ringback},
      {"busy", ProgressTone::Busy},
      {"congestion", ProgressTone::Congestion}};
  static const std::map<std::string, ToneCountry> countries = {{"us", ToneCountry::NorthAmerica},
                                                               {"uk", ToneCountry::UnitedKingdom},
                                                               {"de", ToneCountry::Germany}};
  if (a.plain[0] == "off") {
    if (a.plain.size() != 1 || !a.named.empty()) return wrong("tone: off takes nothing more");
    return doing([](VirtualBox& box) { box.setLineTone(std::nullopt); });
  }
  auto tone = tones.find(a.plain[0]);
  if (a.plain.size() != 1 || tone == tones.end())
    return wrong("tone: FIRST SECOND, dial|ringback|busy|congestion [country=us|uk|de], or off");
  LineTone chosen;
  chosen.tone = tone->second;
  if (a.has("country")) {
    auto country = countries.find(a.get("country"));
    if (country == countries.end()) return wrong("tone: country is us, uk or de");
    chosen.country = country->second;
  }
  if (a.has("level")) {
    double level;
    if (!parseLevel(a.get("level"), 60, level) || level != std::floor(level))
      return wrong("tone: level is a whole number of dBm0, 0..-60");
    chosen.level = int(level);
  }
  return doing([chosen](VirtualBox& box) { box.setLineTone(chosen); });
}

CheckedVerb toneVerb(const Args& a) {
  if (!a.plain.empty() && !std::isdigit(static_cast<unsigned char>(a.plain[0][0])))
    return progressToneVerb(a);
  unsigned long first, second;
  if (a.plain.size() != 2 || !parseUnsigned(a.plain[0], 255, first) ||
      !parseUnsigned(a.plain[1], 65535, second) || !a.named.empty())
    return wrong("tone: FIRST (0..255) SECOND (0..65535)");
  return sendVerb("tone", [first, second](VirtualBox& box) {
    return box.sendTone(uint8_t(first), uint16_t(second));
  });
}

CheckedVerb hookVerb(const Args& a) {
  if (a.plain.size() != 1 || (a.plain[0] != "off" && a.plain[0] != "on"))
    return wrong("hook: off (off hook) or on (on hook)");
  bool off = a.plain[0] == "off";
  return sendVerb("hook", [off](VirtualBox& box) { return box.sendHookStatus(off); });
}

CheckedVerb flagsVerb(const Args& a) {
  unsigned long v;
  const auto& plain = a.plain;
  if (plain.empty() || plain.size() > 2 || !parseUnsigned(plain[0], 0xFFFFFFFFul, v) ||
      (plain.size() == 2 && plain[1] != "via9"))
    return wrong("flags: VALUE [via9]");
  bool via9 = plain.size() == 2;
  return doing([v, via9](VirtualBox& box) {
    box.setFlagsValue(uint32_t(v));
    box.setFlagsViaType9(via9);
  });
}

CheckedVerb typeVerb(const Args& a) {
  unsigned long v;
  if (a.plain.size() != 1 || !parseUnsigned(a.plain[0], 255, v))
    return wrong("type: CODE (0..255)");
  return doing([v](VirtualBox& box) { box.setTypeCode(uint8_t(v)); });
}

CheckedVerb infoVerb(const Args& a) {
  std::array<uint8_t, 11> info{};
  if (a.plain.size() > info.size()) return wrong("info: at most 11 hex bytes");
  for (size_t i = 0; i < a.plain.size(); ++i)
    if (!parseHexByte(a.plain[i], info[i])) return wrong("info: not a hex byte: " + a.plain[i]);
  return doing([info](VirtualBox& box) { box.setInfoBlock(info); });
}

CheckedVerb flashAckVerb(const Args& a) {
  unsigned long v;
  if (a.plain.size() != 1 || !parseUnsigned(a.plain[0], 255, v)) return wrong("flashack: VALUE");
  std::string type = a.get("type", "10");
  if (type != "10" && type != "19") return wrong("flashack: type is 10 or 19");
  uint8_t t = type == "10" ? 10 : 19;
  return doing([v, t](VirtualBox& box) {
    box.setFlashAck(uint8_t(v));
    box.setFlashAckType(t);
  });
}

CheckedVerb delayVerb(const Args& a) {
  unsigned long v;
  if (a.plain.size() != 1 || !parseUnsigned(a.plain[0], 600000, v))
    return wrong("delay: MS (0..600000)");
  return doing([v](VirtualBox& box) { box.setAnswerDelay(std::chrono::milliseconds(v)); });
}

CheckedVerb dropVerb(const Args& a) {
  unsigned long pipe = 0;
  if (a.plain.size() > 1 || (a.plain.size() == 1 && !parseUnsigned(a.plain[0], 3, pipe)))
    return wrong("drop: [PIPE] (0..3)");
  if (a.plain.empty()) return doing([](VirtualBox& box) { box.dropPipes(); });
  return doing([pipe](VirtualBox& box) { box.dropPipe(static_cast<int>(pipe)); });
}

CheckedVerb waitPipesVerb(const Args& a) {
  double s = 30;
  if (a.plain.size() > 1 || (a.plain.size() == 1 && !parseSeconds(a.plain[0], s)))
    return wrong("waitpipes: [SECONDS]");
  return ready([s](VirtualBox&) {
    VerbResult r;
    r.waitForPipes = s;
    return r;
  });
}

CheckedVerb sourceVerb(const Args& a) {
  const char* usage = "source: silence, pattern, tone HZ [level=0..1] or wave FILE [level=DBM0]";
  if (a.plain.empty()) return wrong(usage);
  const std::string& kind = a.plain[0];
  std::optional<LineSource> src;
  if (kind == "silence" && a.plain.size() == 1) {
    src = LineSource::silence();
  } else if (kind == "pattern" && a.plain.size() == 1) {
    src = LineSource::pattern();
  } else if (kind == "tone" && a.plain.size() == 2) {
    double hz, level = 0.5;
    if (!parseSeconds(a.plain[1], hz) || hz > 4000) return wrong("source: tone HZ (0..4000)");
    if (a.has("level") && (!parseSeconds(a.get("level"), level) || level > 1))
      return wrong("source: level is 0..1");
    src = LineSource::tone(hz, level);
  } else if (kind == "wave" && a.plain.size() == 2) {
    double level = 0;
    if (a.has("level") && !parseLevel(a.get("level"), 80, level))
      return wrong("source: a wave's level is 0..-80 dBm0");
    std::string why;
    auto bytes = readAlawWave(a.plain[1], &why);
    if (!bytes) return wrong("source: " + a.plain[1] + ": " + why);
    if (a.has("level")) *bytes = toAlaw(atLevel(fromAlaw(*bytes), level));
    src = LineSource::alaw(std::move(*bytes));
  } else {
    return wrong(usage);
  }
  if (kind != "tone" && kind != "wave" && a.has("level"))
    return wrong("source: level is for tone and wave only");
  LineSource chosen = *src;
  return doing([chosen](VirtualBox& box) { box.setLineSource(chosen); });
}

CheckedVerb noiseVerb(const Args& a) {
  if (a.plain.size() == 1 && a.plain[0] == "off" && !a.has("kind"))
    return doing([](VirtualBox& box) { box.setLineNoise(std::nullopt); });
  LineNoise noise;
  if (a.plain.size() != 1 || !parseLevel(a.plain[0], 90, noise.dbm0))
    return wrong("noise: DBM0 (0..-90) [kind=white|hoth], or off");
  const std::string kind = a.get("kind", "white");
  if (kind == "hoth")
    noise.kind = NoiseKind::Hoth;
  else if (kind != "white")
    return wrong("noise: kind is white or hoth");
  return doing([noise](VirtualBox& box) { box.setLineNoise(noise); });
}

CheckedVerb paceVerb(const Args& a, void (VirtualBox::*set)(double)) {
  double f;
  if (a.plain.size() != 1 || !parseSeconds(a.plain[0], f) || f > 1000)
    return wrong(a.verb + ": FACTOR (0..1000)");
  return doing([set, f](VirtualBox& box) { (box.*set)(f); });
}

CheckedVerb frameStatusVerb(const Args& a) {
  uint8_t b;
  const auto& plain = a.plain;
  if (plain.empty() || plain.size() > 2 || !parseHexByte(plain[0], b) ||
      (plain.size() == 2 && plain[1] != "once"))
    return wrong("framestatus: HEX [once]");
  bool once = plain.size() == 2;
  return doing([b, once](VirtualBox& box) {
    if (once)
      box.setFrameStatusOnce(b);
    else
      box.setFrameStatus(b);
  });
}

CheckedVerb partialVerb(const Args& a) {
  unsigned long v;
  if (a.plain.size() != 1 || !parseUnsigned(a.plain[0], kFrameSize - 1, v) || v == 0)
    return wrong("partial: BYTES (1..255)");
  return doing([v](VirtualBox& box) { box.injectPartialFrame(v); });
}

std::string audioText(const VirtualBox& box) {
  std::ostringstream o;
  o << "audio: " << (box.audioStreaming() ? "streaming" : "not streaming") << ", "
    << box.framesSent() << " frames sent, " << box.droppedFrames() << " dropped, "
    << box.partialFramesSent() << " partial; " << box.packetsReceived() << " packets received, "
    << box.goAheadsSent() << " go-aheads";
  return o.str();
}

// Verbs without arguments.
template <typename Act>
CheckedVerb bare(const Args& a, Act act) {
  if (!a.plain.empty()) return wrong(a.verb + ": takes no arguments");
  return ready(VerbAction(act));
}

const Verb kVerbs[] = {
    {"call", nullptr,
     "NUMBER [name=\"..\"] [date=MMDDHHMM] [format=mdm|sdm|digits] [ff] [fsk=bell202|v23]\n"
     "     [rings=N] [timing=na|etsi]",
     "caller-ID record and its burst on the line (ff: digit string led by 0xFF;\nfsk: the "
     "modulation from now on); with rings or timing, a call: N rings (2)\nwith the caller ID "
     "after the first (na) or before it (etsi, V.23 unless fsk= says)",
     "name date format fsk rings timing", callVerb},
    {"nonumber", nullptr, "", "caller-ID record 'no number available'", "",
     [](const Args& a) {
       if (!a.plain.empty()) return wrong("nonumber: takes no arguments");
       return sendVerb("nonumber", [](VirtualBox& box) { return box.sendNoNumber(); });
     }},
    {"ring", nullptr, "", "ring report (reply type 3)", "",
     [](const Args& a) {
       if (!a.plain.empty()) return wrong("ring: takes no arguments");
       return sendVerb("ring", [](VirtualBox& box) { return box.sendRing(); });
     }},
    {"dtmf", nullptr, "DIGITS [on=MS] [off=MS] [level=DBM0]",
     "one DTMF record per digit (0-9 * # A-D), or dtmf code=N;\nthe digits sound on the line "
     "(on, off, level: from now on)",
     "code on off level", dtmfVerb},
    {"tone", nullptr,
     "FIRST SECOND|dial|ringback|busy|congestion [country=us|uk|de] [level=DBM0]|off",
     "tone report (reply type 5) and 450 Hz on the line; or a call-progress tone\nwith its "
     "cadence on the line (no record), until tone off",
     "country level", toneVerb},
    {"hook", nullptr, "off|on", "hook status item (line taken off hook / put on hook)", "",
     hookVerb},
    {"record", nullptr, "HEX...", "send a raw reply record (zero-padded to 64 bytes)", "",
     recordVerb},
    {"flags", nullptr, "VALUE [via9]", "answer to 24 (flags value); via9: as reply type 9", "",
     flagsVerb},
    {"type", nullptr, "CODE", "answer to 27 (device type code)", "", typeVerb},
    {"info", nullptr, "HEX...", "answer to 36 (11 information bytes)", "", infoVerb},
    {"flashack", nullptr, "VALUE [type=10|19]", "acknowledge of flash writes", "type",
     flashAckVerb},
    {"reporthook", nullptr, "on|off", "follow hook commands with a hook status item", "",
     [](const Args& a) { return onOffVerb(a, &VirtualBox::setReportHook); }},
    {"source", nullptr, "silence|pattern|tone HZ [level=0..1]|wave FILE [level=DBM0]",
     "what the line carries into the audio-in stream", "level", sourceVerb},
    {"noise", nullptr, "DBM0 [kind=white|hoth]|off",
     "noise on the line under the source and the signals", "kind", noiseVerb},
    {"pace", nullptr, "FACTOR", "audio-in speed (1 = 8000 bytes/s, 0 = as fast as read)", "",
     [](const Args& a) { return paceVerb(a, &VirtualBox::setAudioPace); }},
    {"playpace", nullptr, "FACTOR", "go-ahead speed (1 = one per 64 ms, 0 = at once)", "",
     [](const Args& a) { return paceVerb(a, &VirtualBox::setPlayPace); }},
    {"framestatus", nullptr, "HEX [once]", "status byte of the following frames (or the next one)",
     "", frameStatusVerb},
    {"partial", nullptr, "BYTES", "send the first 1..255 bytes of a frame (out of step)", "",
     partialVerb},
    {"playfault", nullptr, "", "report a playback failure (status item 3, 0)", "",
     [](const Args& a) {
       if (!a.plain.empty()) return wrong("playfault: takes no arguments");
       return sendVerb("playfault", [](VirtualBox& box) { return box.sendPlaybackFault(); });
     }},
    {"audio", nullptr, "", "show the audio counters", "",
     [](const Args& a) {
       return bare(a, [](VirtualBox& box) { return VerbResult{true, false, audioText(box)}; });
     }},
    {"detect", nullptr, "on|off",
     "records from the detectors that hear the line (caller ID, DTMF, 450 Hz), not from\nthe "
     "events, which only sound",
     "", [](const Args& a) { return onOffVerb(a, &VirtualBox::setDetect); }},
    {"silent", nullptr, "on|off", "stop or resume answering commands", "",
     [](const Args& a) { return onOffVerb(a, &VirtualBox::setSilent); }},
    {"delay", nullptr, "MS", "answer every command MS milliseconds late", "", delayVerb},
    {"probefails", nullptr, "on|off", "fail the device probe", "",
     [](const Args& a) { return onOffVerb(a, &VirtualBox::setProbeFails); }},
    {"setupfails", nullptr, "on|off", "fail the transfer setups", "",
     [](const Args& a) { return onOffVerb(a, &VirtualBox::setTransferSetupFails); }},
    {"unplug", nullptr, "", "close every connection and remove the socket files", "",
     [](const Args& a) {
       return bare(a, [](VirtualBox& box) {
         box.unplug();
         return VerbResult{};
       });
     }},
    {"drop", nullptr, "[PIPE]",
     "close the pipe connections, or that of pipe PIPE (0..3) alone; the device stays\n(the "
     "host reconnects)",
     "", dropVerb},
    {"replug", "plug", "", "publish the device again", "",
     [](const Args& a) {
       return bare(a, [](VirtualBox& box) {
         try {
           box.plug();
         } catch (const std::exception& e) {
           return fail(std::string("replug failed: ") + e.what());
         }
         return VerbResult{};
       });
     }},
    {"waitpipes", nullptr, "[SECONDS]", "wait until the host has opened the four pipes (30 s)", "",
     waitPipesVerb},
    {"state", nullptr, "", "show the line state", "",
     [](const Args& a) {
       return bare(a, [](VirtualBox& box) {
         return VerbResult{true, false, lineStateText(box.lineState())};
       });
     }},
    {"help", nullptr, "", "this text", "",
     [](const Args& a) {
       return bare(a, [](VirtualBox&) { return VerbResult{true, false, verbHelp()}; });
     }},
    {"quit", "exit", "", "end the program", "",
     [](const Args& a) { return bare(a, [](VirtualBox&) {
                           return VerbResult{true, true, ""};
                         }); }},
};

const Verb* findVerb(const std::string& name) {
  for (const Verb& v : kVerbs)
    if (name == v.name || (v.alias && name == v.alias)) return &v;
  return nullptr;
}

}  // namespace

std::string verbHelp() {
  constexpr size_t kColumn = 24;  // where the help of a verb starts
  std::string out = "verbs:";
  for (const Verb& v : kVerbs) {
    std::string use = std::string("  ") + v.name + (*v.args ? " " : "") + v.args;
    out += "\n" + use;
    if (use.size() + 1 > kColumn) {
      out += "\n" + std::string(kColumn, ' ');
    } else {
      out += std::string(kColumn - use.size(), ' ');
    }
    for (const char* c = v.help; *c; ++c)
      out += *c == '\n' ? "\n" + std::string(kColumn, ' ') : std::string(1, *c);
  }
  return out;
}

std::vector<std::string> verbNames() {
  std::vector<std::string> names;
  for (const Verb& v : kVerbs) names.emplace_back(v.name);
  return names;
}

CheckedVerb checkVerb(const std::string& line) {
  auto split = splitWords(line);
  if (!split) return wrong("unclosed quote");
  const std::vector<std::string>& words = *split;
  if (words.empty() || words[0][0] == '#') return doing([](VirtualBox&) {});
  const Verb* verb = findVerb(words[0]);
  if (!verb) return wrong("unknown verb '" + words[0] + "' (try help)");
  Args args;
  args.verb = verb->name;
  sortWords(words, args.plain, args.named);
  std::istringstream keyList(verb->keys);
  std::set<std::string> keys{std::istream_iterator<std::string>(keyList),
                             std::istream_iterator<std::string>()};
  for (const auto& [key, value] : args.named)
    if (!keys.count(key)) return wrong(args.verb + ": unknown option '" + key + "='");
  return verb->check(args);
}

VerbResult runVerb(VirtualBox& box, const std::string& line) {
  CheckedVerb checked = checkVerb(line);
  if (!checked.action) return fail(checked.error);
  return checked.action(box);
}

}  // namespace tavro::vbox
