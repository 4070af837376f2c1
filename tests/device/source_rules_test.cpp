// Rules of the library's source tree that the compiler does not check: the numbers of the
// box's protocol are written in protocol/ only (headers alone), the public functions in the
// top layer, the layers include downwards, and no source file grows past 600 lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = TAVRO_SOURCE_DIR;

struct Source {
  std::string name;  // relative to the root, e.g. "device/command.cpp"
  std::vector<std::string> lines;
};

std::vector<Source> sourcesIn(const std::vector<std::string>& dirs) {
  std::vector<Source> out;
  for (const auto& dir : dirs) {
    if (!fs::is_directory(kRoot / dir)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(kRoot / dir)) {
      const auto ext = entry.path().extension();
      if (ext != ".cpp" && ext != ".h") continue;
      Source s{fs::relative(entry.path(), kRoot).generic_string(), {}};
      std::ifstream in(entry.path());
      for (std::string line; std::getline(in, line);) s.lines.push_back(line);
      out.push_back(std::move(s));
    }
  }
  return out;
}

// The line without its // comment (string literals with "//" do not occur in these rules).
std::string code(const std::string& line) {
  const auto at = line.find("//");
  return at == std::string::npos ? line : line.substr(0, at);
}

struct Rule {
  const char* what;
  std::regex pattern;
};

// Every place in `sources` where one of `rules` matches, one line each.
std::string violations(const std::vector<Source>& sources, const std::vector<Rule>& rules,
                       const std::vector<std::string>& exempt = {}) {
  std::ostringstream found;
  for (const auto& s : sources) {
    if (std::find(exempt.begin(), exempt.end(), s.name) != exempt.end()) continue;
    for (size_t i = 0; i < s.lines.size(); ++i) {
      const std::string c = code(s.lines[i]);
      for (const auto& rule : rules)
        if (std::regex_search(c, rule.pattern))
          found << s.name << ":" << i + 1 << ": " << rule.what << ": " << s.lines[i] << "\n";
    }
  }
  return found.str();
}

// The library and tavrod, which holds boxes through the library's platform layer.
const std::vector<std::string> kLibraryDirs = {"platform", "device",  "line",  "incoming",
                                               "audio",    "library", "tavrod"};

TEST(SourceRules, ProtocolNumbersAreWrittenInTheProtocolHeaderOnly) {
  const std::vector<Rule> rules = {
      {"a packet built from literal bytes", std::regex(R"(makePacket\(\s*\{)")},
      {"byte 0 of a packet or record set to a literal", std::regex(R"(\[0\]\s*=\s*([1-9]|0x))")},
      {"byte 0 compared with a literal", std::regex(R"(\[0\]\s*[=!]=\s*([1-9]|0x))")},
      {"a switch on a literal type byte", std::regex(R"(switch\s*\(\s*\w+\[0\]\s*\))")},
      {"a copy of a command or reply code",
       std::regex(R"(\b(uint8_t|int|auto)\s+k\w*(Command|Reply|SubType|Code)\s*=\s*(\d|0x))")},
      {"a literal poll limit", std::regex(R"(commandRoundTrip\([^;]*,\s*\d+\s*\))")},
      {"a number only the protocol has", std::regex(R"(\b(208|209|240|241|0x0?47[12])\b)")},
      {"a second le32", std::regex(R"(\buint32_t\s+le32\s*\()")},
      {"a control code", std::regex(R"(\b0x(8000200[Cc]|80002010|0022000[8Cc]|0022001[04])\b)")},
      {"a copy of a pipe number or size",
       std::regex(
           R"(\bk(\w*Pipe|PipeCount|RecordSize|PacketSize|AudioPacketSize|FrameSize)\s*=\s*\d)")},
  };
  EXPECT_EQ(violations(sourcesIn(kLibraryDirs), rules), "");
}

// The protocol is headers alone, which include nothing but the standard library and each
// other: the virtual box and every layer may take the numbers from there.
TEST(SourceRules, TheProtocolFolderIsHeadersThatIncludeNothingElse) {
  std::string found;
  for (const auto& entry : fs::directory_iterator(kRoot / "protocol")) {
    if (entry.path().extension() != ".h") found += entry.path().filename().string() + " ";
  }
  EXPECT_EQ(found, "") << "not a header";
  EXPECT_EQ(violations(sourcesIn({"protocol"}), {{"protocol includes a header of its own layers",
                                                  std::regex(R"(#\s*include\s*"(?!protocol/))")}}),
            "");
  EXPECT_GT(sourcesIn({"protocol"}).size(), 3u);
}

TEST(SourceRules, TheRulesFindWhatTheyLookFor) {
  // The check above is only worth its name if it catches the forms it forbids.
  const std::vector<Rule> rules = {
      {"literal packet", std::regex(R"(makePacket\(\s*\{)")},
      {"literal poll limit", std::regex(R"(commandRoundTrip\([^;]*,\s*\d+\s*\))")},
      {"protocol number", std::regex(R"(\b(208|209|240|241|0x0?47[12])\b)")},
  };
  Source bad{"x.cpp",
             {"  return commandRoundTrip(makePacket({14}), 100);", "    case 241: {",
              "  return x;  // case 240 in a comment is fine"}};
  const std::string found = violations({bad}, rules);
  EXPECT_NE(found.find("x.cpp:1: literal packet"), std::string::npos) << found;
  EXPECT_NE(found.find("x.cpp:1: literal poll limit"), std::string::npos) << found;
  EXPECT_NE(found.find("x.cpp:2: protocol number"), std::string::npos) << found;
  EXPECT_EQ(found.find("x.cpp:3"), std::string::npos) << found;
}

// The public face is in the top layer: each public header's functions in library/, over
// the layers below.
TEST(SourceRules, ThePublicFunctionsAreDefinedInTheTopLayer) {
  const std::vector<Rule> rules = {
      {"a C function of the public headers", std::regex(R"(^\w.*\btavro_\w+\s*\([^;]*\{\s*$)")},
      {"a free function of the public headers",
       std::regex(
           R"(^\w.*\b(setNoticeHandler|boxInUse|listDevices|versionString|versionNumber)\s*\([^;]*\{\s*$)")},
  };
  EXPECT_EQ(
      violations(sourcesIn({"platform", "device", "line", "incoming", "audio", "events"}), rules),
      "");
  Source bad{"x.cpp",
             {"int tavro_box_in_use(void) {", "bool boxInUse() {", "  return tavro_box_in_use();",
              "int tavro_close(CKusb_IO* io);"}};
  const std::string found = violations({bad}, rules);
  EXPECT_NE(found.find("x.cpp:1"), std::string::npos) << found;
  EXPECT_NE(found.find("x.cpp:2"), std::string::npos) << found;
  EXPECT_EQ(found.find("x.cpp:3"), std::string::npos) << found;
  EXPECT_EQ(found.find("x.cpp:4"), std::string::npos) << found;
}

// Each layer includes only those below it: platform, then device, then the areas (line,
// incoming, audio, which do not know each other), then the top layer that assembles them.
TEST(SourceRules, IncludesPointDown) {
  auto including = [](std::initializer_list<const char*> dirs) {
    std::string alternatives;
    for (const char* d : dirs) alternatives += std::string(alternatives.empty() ? "" : "|") + d;
    return std::regex("#\\s*include\\s*\"(" + alternatives + ")/");
  };
  EXPECT_EQ(violations(sourcesIn({"platform"}),
                       {{"platform includes a layer above it",
                         including({"device", "line", "incoming", "audio", "events", "library"})}}),
            "");
  EXPECT_EQ(violations(sourcesIn({"device"}),
                       {{"device includes a layer above it",
                         including({"line", "incoming", "audio", "events", "library"})}}),
            "");
  EXPECT_EQ(violations(sourcesIn({"line"}), {{"line includes another area or the top",
                                              including({"incoming", "audio", "library"})}}),
            "");
  EXPECT_EQ(violations(sourcesIn({"incoming"}), {{"incoming includes another area or the top",
                                                  including({"line", "audio", "library"})}}),
            "");
  EXPECT_EQ(violations(sourcesIn({"audio"}), {{"audio includes another area or the top",
                                               including({"line", "incoming", "library"})}}),
            "");

  Source bad{"device/x.cpp", {"#include \"audio/audio_threads.h\"", "#include \"device/wait.h\""}};
  const std::string found =
      violations({bad}, {{"up", including({"line", "incoming", "audio", "library"})}});
  EXPECT_NE(found.find("device/x.cpp:1"), std::string::npos) << found;
  EXPECT_EQ(found.find("device/x.cpp:2"), std::string::npos) << found;
}

// A file that grows past this has taken on a second role: it is split by role, not trimmed.
constexpr size_t kMostLines = 600;

// Every C, C++ and Python source of the project (not the build folders), with more than `most`
// lines.
std::string longSources(const fs::path& root, size_t most) {
  std::ostringstream found;
  for (const auto& top : fs::directory_iterator(root)) {
    const std::string name = top.path().filename().string();
    if (!top.is_directory() || name.starts_with(".") || name.starts_with("build")) continue;
    for (const auto& entry : fs::recursive_directory_iterator(top.path())) {
      const auto ext = entry.path().extension();
      if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h" && ext != ".c" && ext != ".py"))
        continue;
      std::ifstream in(entry.path());
      size_t lines = 0;
      for (std::string line; std::getline(in, line);) ++lines;
      if (lines > most)
        found << fs::relative(entry.path(), root).generic_string() << ": " << lines << " lines\n";
    }
  }
  return found.str();
}

TEST(SourceRules, NoSourceFileIsLongerThanSixHundredLines) {
  EXPECT_EQ(longSources(kRoot, kMostLines), "");
  // And the check sees the files it walks: the longest of them is over a hundred lines.
  EXPECT_NE(longSources(kRoot, 100), "");
}

}  // namespace
