// Text and number handling of the tavro tool that does not touch the box: telephone numbers
// as people type them, status word names, result codes turned into words and exit codes,
// JSON strings and progress lines.
#ifndef TAVRO_TOOLS_TEXT_H
#define TAVRO_TOOLS_TEXT_H

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tavro/devices.h"

namespace tavro::tool {

// Exit codes that scripts can test; `tavro --help` and docs/tavro-tool.md list them.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailed = 1,         // the library reported a failure of another kind
  kExitUsage = 2,          // bad command line or argument (e.g. a number that cannot be dialled)
  kExitNoBox = 3,          // no box answered when the tool started
  kExitLinkDown = 4,       // the link to the box went down during the command
  kExitNoAnswer = 5,       // the box did not answer in time
  kExitOnHook = 6,         // the line is on hook for something that needs it off hook
  kExitFile = 7,           // a file cannot be read or written, or has the wrong size
  kExitBusy = 8,           // a recording or playback is already running
  kExitBoxInUse = 9,       // another program holds the box
  kExitInterrupted = 130,  // Ctrl-C before a one-shot command had finished
};

// The longest number the box takes in one dial command.
inline constexpr std::size_t kMaxDialDigits = 41;

struct DialNumber {
  std::string digits;  // what goes to the box; empty when refused
  std::string error;   // why the number was refused; empty when accepted
};

// Strips the separators people type (space, '-', '(', ')', '.') and accepts the characters
// the box has digit codes for: 0-9, '*', '#' and the letters A to L in either case.
// Anything else is refused with a message that names the character and its position.
DialNumber cleanDialNumber(std::string_view typed);

// "initialised, reader-ready, link-down"; unnamed bits as hexadecimal values.
std::vector<std::string> statusBitNames(uint32_t word);
std::string describeStatus(uint32_t word);  // "0x00000284 (initialised, reader-ready, ...)"

// The character of a DTMF code as the box numbers the keys (10 is '0', 11 '*', 12 '#',
// 13 to 16 'A' to 'D'); '?' for a code without a key.
char dtmfKey(uint8_t code);

// A JSON string literal, quotes included; bytes that are not printable ASCII are escaped.
std::string jsonString(std::string_view text);

// Text from the box made safe for a terminal: printable ASCII stays, a backslash is doubled
// and every other byte (control bytes such as ESC, and bytes of 0x7F and above)
// becomes \xNN (hexadecimal), so that nothing the box sends can move the cursor or retitle a
// window.
std::string terminalText(std::string_view text);

// Bytes as "48 45 4c" and as text with '.' for unprintable bytes.
std::string hexBytes(std::span<const uint8_t> bytes);
std::string printableBytes(std::span<const uint8_t> bytes);

// The failure that a negative result of a library operation stands for.
struct Failure {
  int exitCode = kExitOk;
  std::string message;  // in words, for standard error
};

// What the result of an operation means; `what` names the operation in the message
// ("pick up", "record"). Results of 1 and above are success.
enum class OpKind {
  kCommand,  // a device command: -1 link down, -2 command channel not running, -3 no answer
  kDial,     // as kCommand; -4 line on hook
  kRecord,   // StartReadSound / StopReadSound
  kPlay,     // StartPlaySound / StopPlaySound
};
Failure describeResult(int result, OpKind kind, std::string_view what);

// A wave file as the recorder writes it (48-byte header, A-law) whose recording ended
// without its sizes being written: sets both sizes in `header` from the file's length.
// Returns false, leaving `header` alone, when it is not such a header or needs no repair.
inline constexpr std::size_t kWaveHeaderBytes = 48;
bool repairWaveSizes(std::span<uint8_t, kWaveHeaderBytes> header, uint64_t fileLength);

// What a file given to play holds. The line carries 8000 Hz A-law, one channel: a wave
// file of that is played from its audio on; anything else is named for the refusal.
struct AudioFile {
  bool wave = false;      // a RIFF WAVE file
  bool playable = false;  // a wave of what the line carries, with audio in it
  uint64_t offset = 0;    // where its audio starts
  uint64_t length = 0;    // its audio, no further than the file goes
  std::string found;      // what it is: "a 16-bit PCM stereo wave at 16000 Hz", "an Ogg file"
};
// `readAt(offset, to, n)` reads up to n bytes of the file at offset and gives how many it
// read; `size` is the file's length.
using ReadAt = std::function<std::size_t(uint64_t offset, uint8_t* to, std::size_t n)>;
AudioFile examineAudioFile(const ReadAt& readAt, uint64_t size);

// What `tavro devices` prints: one line per device ("wire  PATH  (DESCRIPTION)  opens",
// "usb  usb:1-2  (...)  not a box: REASON"), then a line per note ("note: ..."); a line
// naming the backends when nothing was found. Texts of the devices are made terminal-safe.
std::vector<std::string> deviceLines(const DeviceList& list);
// The same as one JSON object: "backends", "devices" (each with backend, path, description,
// state and reason, null when it opens) and "notes".
std::string devicesJson(const DeviceList& list);

// "12.5 s" style figures for the progress lines.
std::string formatSeconds(double seconds);
std::string recordProgress(double elapsedSeconds, int64_t bytes);  // elapsed, bytes, rate
std::string progressBar(int permille, int width);                  // "[#####-----]  50.0%"

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_TEXT_H
