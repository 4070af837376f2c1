// The recorder's wave file: a 48-byte A-law header (8000 Hz, mono, 8 bits, a 20-byte
// format chunk) and the audio after it. The sizes start as placeholders and are patched
// when the recording finishes.
#ifndef TAVRO_AUDIO_WAVE_FILE_H
#define TAVRO_AUDIO_WAVE_FILE_H

#include <array>
#include <cstdint>
#include <cstdio>

#include "device/state.h"

namespace tavro {

inline constexpr size_t kWaveHeaderSize = 48;
inline constexpr uint32_t kPlaceholderRiffSize = 16376;
inline constexpr uint32_t kPlaceholderDataSize = 2016;
// The RIFF size (audio + 40) is 32 bits wide: the most audio a file can describe.
inline constexpr uint32_t kMaxWaveAudio = 0xFFFFFFFFu - (kWaveHeaderSize - 8);

using WaveHeader = std::array<uint8_t, kWaveHeaderSize>;

// The header with the given RIFF size (offset 4) and data size (offset 44).
WaveHeader waveHeader(uint32_t riffSize, uint32_t dataSize);
// The header of a file holding `audioBytes` of audio.
inline WaveHeader finalWaveHeader(uint32_t audioBytes) {
  return waveHeader(audioBytes + (kWaveHeaderSize - 8), audioBytes);
}

// True when a regular file of that name can be created (or opened for writing) now. Creates
// an empty file if there was none; an existing file is left as it is. Anything else (a
// FIFO, a device, a socket, a folder) is refused without waiting and without opening it:
// its writes could block or go nowhere.
bool canCreateFile(const char* name);

// One wave file being written. Writes go straight to the file (no buffering), so a failed
// write is known at once and the file never holds more than the header says once it is
// finished.
class WaveFile {
 public:
  WaveFile() = default;
  ~WaveFile();
  WaveFile(const WaveFile&) = delete;
  WaveFile& operator=(const WaveFile&) = delete;

  // Creates (or truncates) the file and writes the placeholder header. False when it
  // cannot be created, is not a regular file, or the header cannot be written (nothing is
  // left open then).
  bool create(const char* name);
  // Appends audio. False when not all of it could be written; the bytes of a partial
  // write are cut off again when the file is finished.
  bool write(const uint8_t* data, size_t size);
  // Writes the final sizes and closes. False when the header could not be written.
  bool finish();
  // Closes with the header as it is (the placeholder sizes).
  void abandon();

  bool isOpen() const { return file_ != nullptr; }
  uint32_t audioBytes() const { return audioBytes_; }

 private:
  std::FILE* file_ = nullptr;
  uint32_t audioBytes_ = 0;
  bool partial_ = false;  // a failed write may have left a piece of audio behind
  char name_[kFileNameSize] = {};
};

}  // namespace tavro

#endif  // TAVRO_AUDIO_WAVE_FILE_H
