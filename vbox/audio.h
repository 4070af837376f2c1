// The box's audio: A-law coding, the line sources of the audio-in stream, its frames, and
// A-law wave files.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavro::vbox {

inline constexpr uint8_t kAlawSilence = 0xD5;
inline constexpr size_t kFrameSize = 256;   // "stcq", status byte, spare byte, audio
inline constexpr size_t kFrameAudio = 250;  // audio bytes per frame
inline constexpr size_t kFrameHeader = kFrameSize - kFrameAudio;
inline constexpr size_t kAudioPacket = 256;  // one message on the audio-out pipe
inline constexpr size_t kPlayBlock = 512;    // one go-ahead per block
inline constexpr double kSampleRate = 8000;  // audio bytes per second, both ways

inline constexpr uint8_t kFrameToneFlag = 0x01;
inline constexpr uint8_t kFrameHangUpFlag = 0x02;
inline constexpr uint8_t kFrameIgnoreFlags = 0x80;

using Frame = std::array<uint8_t, kFrameSize>;

uint8_t alawEncode(int16_t sample);
int16_t alawDecode(uint8_t code);

// What the line carries into the audio-in stream.
struct LineSource {
  enum class Kind { Silence, Tone, Samples, Pattern };
  Kind kind = Kind::Silence;
  double toneHz = 0;
  double toneLevel = 0;                                 // peak, 0..1 of full scale
  std::shared_ptr<const std::vector<uint8_t>> samples;  // A-law, played in a loop

  static LineSource silence();
  static LineSource tone(double hz, double level = 0.5);
  static LineSource alaw(std::vector<uint8_t> bytes);  // empty = silence
  // Frames that number themselves (see patternFrameNumber), so that a reader can prove that
  // nothing was lost, doubled or reordered.
  static LineSource pattern();
  // An 8 kHz mono A-law wave file; std::nullopt (and a reason) when it is not one.
  static std::optional<LineSource> waveFile(const std::string& path, std::string* error = nullptr);
};

// Makes the frames of a line source one after another.
class FrameMaker {
 public:
  void setSource(LineSource source);  // restarts the source from its beginning
  Frame next(uint8_t status);
  uint32_t made() const { return made_; }  // frames made since the source was set

 private:
  LineSource source_;
  uint64_t sample_ = 0;  // samples made since the source was set
  uint32_t made_ = 0;
};

// The frame number of a pattern frame (its first four audio bytes, little-endian), and
// whether the rest of its audio is the pattern of that number.
uint32_t patternFrameNumber(const uint8_t* frame);
bool isPatternFrame(const uint8_t* frame);

// The audio bytes of an 8 kHz mono A-law wave file; std::nullopt (and a reason) otherwise.
// Only a regular file of at most 64 MiB is read.
std::optional<std::vector<uint8_t>> readAlawWave(const std::string& path, std::string* error);
// Writes bytes as an 8 kHz mono A-law wave file; false on an I/O error.
bool writeAlawWave(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace tavro::vbox
