// The files the tool reads and writes for the box: what is refused, and a recording's wave
// file put right after a recording that did not finish.
#ifndef TAVRO_TOOLS_FILES_H
#define TAVRO_TOOLS_FILES_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tavro::tool {

// The file's size in decimal, stored in `size`; "" when there is no such file.
std::string fileSizeText(const std::string& file, long long* size);
// What a name that is not a regular file is, for a message: "FILE is a named pipe (FIFO),
// not a regular file".
std::string notRegularText(const std::string& file, mode_t mode);
// Why `file` cannot be used as an input file ("" when it can): it must exist and not be a
// directory; with `regularOnly` it must be a regular file.
std::string inputFileProblem(const std::string& file, bool regularOnly);
// Reads at most `limit` bytes of `file` into `data`; returns why it failed, or "". A regular
// file longer than `limit` is not read at all: `data` then holds `limit` zero bytes.
std::string readAtMost(const std::string& file, std::size_t limit, std::vector<uint8_t>* data);
// Makes a wave file's header describe the audio the file holds.
bool repairWaveFile(const std::string& file);
// The audio a recorder's wave file holds, when its header describes the file; -1 otherwise.
long long waveAudioBytes(const std::string& file);

}  // namespace tavro::tool

#endif  // TAVRO_TOOLS_FILES_H
