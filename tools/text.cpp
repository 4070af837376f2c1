#include "tools/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tavro/result.h"
#include "tavro/status.h"

namespace tavro::tool {

namespace {

bool isSeparator(char c) {
  return c == ' ' || c == '-' || c == '(' || c == ')' || c == '.';
}

bool isDialable(char c) {
  if (c >= '0' && c <= '9') return true;
  if (c == '*' || c == '#') return true;
  return (c >= 'A' && c <= 'L') || (c >= 'a' && c <= 'l');
}

// How a refused character is named: 'x' when printable, its code otherwise.
std::string nameChar(unsigned char c) {
  char buf[32];
  if (c >= 0x21 && c <= 0x7E) {
    std::snprintf(buf, sizeof buf, "'%c'", c);
  } else if (c == '\t') {
    std::snprintf(buf, sizeof buf, "a tab");
  } else {
    std::snprintf(buf, sizeof buf, "the byte 0x%02X", c);
  }
  return buf;
}

struct BitName {
  uint32_t bit;
  const char* name;
};

constexpr BitName kBitNames[] = {
    {kCallerNumberBit, "caller-number"},
    {kOffHookBit, "off-hook"},
    {kInitialisedBit, "initialised"},
    {kPendingBit, "pending"},
    {kReaderReadyBit, "reader-ready"},
    {kLinkFaultBit, "link-fault"},
    {kLinkDownBit, "link-down"},
    {kLinkLostBit, "link-lost"},
    {kToneBit, "tone"},
    {kReply3Bit, "reply-3"},
    {kReply6Bit, "reply-6"},
};

Failure failure(int code, std::string_view what, std::string_view reason) {
  std::string message(what);
  message += " failed: ";
  message += reason;
  return {code, message};
}

}  // namespace

DialNumber cleanDialNumber(std::string_view typed) {
  DialNumber out;
  for (std::size_t i = 0; i < typed.size(); ++i) {
    char c = typed[i];
    if (isSeparator(c)) continue;
    if (!isDialable(c)) {
      out.digits.clear();
      out.error = "the number contains " + nameChar(static_cast<unsigned char>(c)) +
                  " at position " + std::to_string(i + 1) +
                  ", which cannot be dialled (use 0-9, *, #, A-L; separators: space - ( ) .)";
      return out;
    }
    out.digits += c;
  }
  if (out.digits.empty()) {
    out.error = "the number has no digits";
  } else if (out.digits.size() > kMaxDialDigits) {
    out.error = "the number has " + std::to_string(out.digits.size()) + " digits; the box dials " +
                std::to_string(kMaxDialDigits) + " at most";
    out.digits.clear();
  }
  return out;
}

std::vector<std::string> statusBitNames(uint32_t word) {
  std::vector<std::string> names;
  uint32_t named = 0;
  for (const BitName& b : kBitNames) {
    named |= b.bit;
    if (word & b.bit) names.emplace_back(b.name);
  }
  for (int i = 0; i < 32; ++i) {
    uint32_t bit = uint32_t{1} << i;
    if ((word & bit) && !(named & bit)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%X", bit);
      names.emplace_back(buf);
    }
  }
  return names;
}

std::string describeStatus(uint32_t word) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", word);
  std::string out = buf;
  std::vector<std::string> names = statusBitNames(word);
  if (names.empty()) return out + " (no bit set)";
  out += " (";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += names[i];
  }
  return out + ")";
}

char dtmfKey(uint8_t code) {
  if (code >= 1 && code <= 9) return static_cast<char>('0' + code);
  switch (code) {
    case 10:
      return '0';
    case 11:
      return '*';
    case 12:
      return '#';
    case 13:
    case 14:
    case 15:
    case 16:
      return static_cast<char>('A' + (code - 13));
    default:
      return '?';
  }
}

std::string jsonString(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes from the box are not known to be UTF-8: keep JSON valid whatever they are.
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string terminalText(std::string_view text) {
  std::string out;
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '\\') {
      out += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      out += ch;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      out += buf;
    }
  }
  return out;
}

std::string hexBytes(std::span<const uint8_t> bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    if (i) out += ' ';
    out += buf;
  }
  return out;
}

std::string printableBytes(std::span<const uint8_t> bytes) {
  std::string out;
  for (uint8_t b : bytes) out += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
  return out;
}

Failure describeResult(int result, OpKind kind, std::string_view what) {
  if (result >= 1) return {};
  switch (result) {
    case TAVRO_ERROR_LINK_DOWN:
      return failure(kExitLinkDown, what, "link down: the box is not connected");
    case TAVRO_ERROR_NOT_RUNNING:
      if (kind == OpKind::kDial) return failure(kExitUsage, what, "the number is empty");
      if (kind == OpKind::kRecord)
        return failure(kExitFailed, what, "the library's recorder is not running");
      if (kind == OpKind::kPlay)
        return failure(kExitFailed, what, "the library's player is not running");
      return failure(kExitFailed, what, "the library's command channel is not running");
    case TAVRO_ERROR_TIMEOUT:
      if (kind == OpKind::kPlay)
        return failure(kExitNoAnswer, what, "no answer from the box (the line stayed busy)");
      return failure(kExitNoAnswer, what, "no answer from the box");
    case TAVRO_ERROR_ON_HOOK:
      if (kind == OpKind::kCommand) break;
      return failure(kExitOnHook, what, "the line is on hook (pick up first, or use mode 1)");
    case TAVRO_ERROR_FILE:
      if (kind == OpKind::kRecord)
        return failure(kExitFile, what, "the wave file cannot be created");
      if (kind == OpKind::kPlay) return failure(kExitFile, what, "the file cannot be opened");
      break;
    case TAVRO_ERROR_ALREADY_RUNNING:
      if (kind == OpKind::kRecord || kind == OpKind::kPlay)
        return failure(kExitBusy, what, "a recording or playback is already running");
      break;
    case TAVRO_ERROR_DISK_FULL:
      if (kind == OpKind::kRecord)
        return failure(kExitFile, what,
                       "writing the wave file failed; it holds the audio written before");
      break;
    default:
      break;
  }
  return failure(kExitFailed, what,
                 "the library returned " + std::string(tavro_result_name(result)) + " (" +
                     std::to_string(result) + ")");
}

bool repairWaveSizes(std::span<uint8_t, kWaveHeaderBytes> header, uint64_t fileLength) {
  auto le32 = [&](std::size_t at) {
    return uint32_t{header[at]} | uint32_t{header[at + 1]} << 8 | uint32_t{header[at + 2]} << 16 |
           uint32_t{header[at + 3]} << 24;
  };
  auto is = [&](std::size_t at, const char* tag) {
    return std::equal(tag, tag + 4, header.begin() + static_cast<std::ptrdiff_t>(at));
  };
  if (!is(0, "RIFF") || !is(8, "WAVE") || !is(12, "fmt ") || !is(40, "data")) return false;
  if (le32(16) != 20 || header[20] != 6 || header[21] != 0) return false;  // A-law, 20 bytes
  if (fileLength < kWaveHeaderBytes || fileLength - 8 > UINT32_MAX) return false;
  uint32_t data = static_cast<uint32_t>(fileLength - kWaveHeaderBytes);
  if (le32(44) == data && le32(4) == data + 40) return false;
  auto put32 = [&](std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) header[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  put32(4, data + 40);
  put32(44, data);
  return true;
}

namespace {

uint16_t le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

std::string waveFormatName(uint16_t tag) {
  switch (tag) {
    case 1:
      return "PCM";
    case 2:
      return "ADPCM";
    case 3:
      return "floating-point";
    case 6:
      return "A-law";
    case 7:
      return "mu-law";
    case 0x11:
      return "IMA ADPCM";
    case 0x55:
      return "MP3";
    default:
      char buf[32];
      std::snprintf(buf, sizeof buf, "format 0x%04x", tag);
      return buf;
  }
}

// Files that are not waves, by their first bytes.
std::string otherFormat(const uint8_t* head, std::size_t n) {
  auto starts = [&](const char* magic) {
    const std::size_t m = std::strlen(magic);
    return n >= m && std::memcmp(head, magic, m) == 0;
  };
  if (starts("OggS")) return "an Ogg file";
  if (starts("fLaC")) return "a FLAC file";
  if (starts("ID3") || (n >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0))
    return "an MP3 file";
  if (starts(".snd")) return "a Sun audio (.au) file";
  if (starts("FORM")) return "an AIFF file";
  if (starts("RIFF")) return "a RIFF file that is not a wave";
  return "not a wave file";
}

}  // namespace

AudioFile examineAudioFile(const ReadAt& readAt, uint64_t size) {
  AudioFile out;
  uint8_t head[12] = {};
  const std::size_t got = readAt(0, head, sizeof head);
  if (got < sizeof head || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    out.found = otherFormat(head, got);
    return out;
  }
  out.wave = true;
  bool haveFormat = false;
  uint16_t tag = 0, channels = 0, bits = 0;
  uint32_t rate = 0;
  // The chunks in their order; the audio is the first data chunk after the format.
  for (uint64_t at = 12; at + 8 <= size;) {
    uint8_t chunk[8];
    if (readAt(at, chunk, sizeof chunk) != sizeof chunk) break;
    const uint64_t length = le32(chunk + 4);
    const uint64_t body = at + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0 && !haveFormat) {
      uint8_t f[26] = {};
      const std::size_t n = readAt(body, f, std::min<uint64_t>(length, sizeof f));
      if (n < 16) break;
      haveFormat = true;
      tag = le16(f);
      channels = le16(f + 2);
      rate = le32(f + 4);
      bits = le16(f + 14);
      if (tag == 0xFFFE && n >= 26) tag = le16(f + 24);  // extensible: its sub-format
    } else if (std::memcmp(chunk, "data", 4) == 0 && haveFormat) {
      out.offset = body;
      // A recording cut short promises more than the file holds; a stream says 0xFFFFFFFF.
      out.length = std::min<uint64_t>(length, size - body);
      break;
    }
    at = body + length + (length & 1);
  }
  if (!haveFormat) {
    out.found = "a wave file without a format chunk";
    return out;
  }
  char what[128];
  const bool an = bits == 8 || bits == 11 || bits == 18 || (bits >= 80 && bits < 90);
  std::snprintf(what, sizeof what, "%s %u-bit %s %s wave at %u Hz", an ? "an" : "a", unsigned{bits},
                waveFormatName(tag).c_str(),
                channels == 1   ? "mono"
                : channels == 2 ? "stereo"
                                : (std::to_string(channels) + "-channel").c_str(),
                rate);
  out.found = what;
  if (tag != 6 || channels != 1 || rate != 8000 || bits != 8) return out;
  if (out.offset == 0) {
    out.found += " without audio data";
    return out;
  }
  out.playable = true;
  return out;
}

std::string formatSeconds(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", seconds);
  return buf;
}

std::string recordProgress(double elapsedSeconds, int64_t bytes) {
  double rate = elapsedSeconds > 0 ? static_cast<double>(bytes) / elapsedSeconds : 0.0;
  char buf[96];
  std::snprintf(buf, sizeof buf, "%s, %lld bytes, %.0f bytes/s",
                formatSeconds(elapsedSeconds).c_str(), static_cast<long long>(bytes), rate);
  return buf;
}

std::string progressBar(int permille, int width) {
  if (permille < 0) permille = 0;
  if (permille > 1000) permille = 1000;
  if (width < 1) width = 1;
  int filled = permille * width / 1000;
  std::string out = "[";
  out.append(static_cast<std::size_t>(filled), '#');
  out.append(static_cast<std::size_t>(width - filled), '-');
  char buf[16];
  std::snprintf(buf, sizeof buf, "] %5.1f%%", permille / 10.0);
  return out + buf;
}

namespace {

std::string jsonList(const std::vector<std::string>& items) {
  std::string out = "[";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + jsonString(items[i]);
  return out + "]";
}

}  // namespace

std::vector<std::string> deviceLines(const DeviceList& list) {
  std::vector<std::string> lines;
  for (const ListedDevice& d : list.devices) {
    std::string line = d.backend + "  " + terminalText(d.path) + "  (" +
                       terminalText(d.description) + ")  " + deviceStateName(d.state);
    if (!d.reason.empty()) line += ": " + terminalText(d.reason);
    lines.push_back(std::move(line));
  }
  if (list.devices.empty()) {
    std::string names;
    for (const auto& name : list.backends) names += (names.empty() ? "" : ", ") + name;
    lines.push_back("no devices on " + (names.empty() ? std::string("any backend") : names));
  }
  for (const auto& note : list.notes) lines.push_back("note: " + terminalText(note));
  return lines;
}

std::string devicesJson(const DeviceList& list) {
  std::string devices = "[";
  for (std::size_t i = 0; i < list.devices.size(); ++i) {
    const ListedDevice& d = list.devices[i];
    devices += std::string(i ? "," : "") + "{\"backend\":" + jsonString(d.backend) +
               ",\"path\":" + jsonString(d.path) + ",\"description\":" + jsonString(d.description) +
               ",\"state\":" + jsonString(deviceStateName(d.state)) +
               ",\"reason\":" + (d.reason.empty() ? "null" : jsonString(d.reason)) + "}";
  }
  return "{\"backends\":" + jsonList(list.backends) + ",\"devices\":" + devices +
         "],\"notes\":" + jsonList(list.notes) + "}";
}

}  // namespace tavro::tool
