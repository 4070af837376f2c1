// An application built against an installed Tavro: it picks up, records one second of the
// line, hangs up and checks the wave file the library wrote.
//   record_call <file.wav>
#include <tavro/CKusb_IO.h>
#include <tavro/version.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

int fail(const char* what) {
  std::fprintf(stderr, "record_call: %s\n", what);
  return 1;
}

uint32_t le(const std::vector<unsigned char>& b, size_t at, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint32_t(b[at + i]) << (8 * i);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: record_call <file.wav>");
  if (std::strcmp(tavro::versionString(), TAVRO_VERSION_STRING) != 0 ||
      tavro::versionNumber() != TAVRO_VERSION_NUMBER)
    return fail("the library's version is not the headers' version");

  CKusb_IO io;
  if (io.GetTelStatus() & tavro::kLinkDownBit) return fail("no box");
  if (io.PickUp() != 1) return fail("PickUp failed");
  if (io.StartReadSound(argv[1], 0) != 1) return fail("StartReadSound failed");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int recorded = io.StopReadSound();
  if (io.PutDown() != 1) return fail("PutDown failed");

  std::ifstream in(argv[1], std::ios::binary);
  const std::vector<unsigned char> wave{std::istreambuf_iterator<char>(in), {}};
  // The count includes the frames' own bytes, which the file does not keep.
  if (recorded < 48 || wave.size() < 48 || wave.size() > size_t(recorded))
    return fail("the file is not what was recorded");
  // A-law, mono, 8000 Hz, 8 bits, a 48-byte header; about 8000 bytes of audio a second.
  if (std::memcmp(&wave[0], "RIFF", 4) != 0 || std::memcmp(&wave[8], "WAVE", 4) != 0 ||
      le(wave, 20, 2) != 6 || le(wave, 22, 2) != 1 || le(wave, 24, 4) != 8000 ||
      le(wave, 34, 2) != 8 || std::memcmp(&wave[40], "data", 4) != 0 ||
      le(wave, 44, 4) != wave.size() - 48)
    return fail("the wave header is wrong");
  if (wave.size() - 48 < 2000) return fail("too little audio for one second");
  std::printf("record_call: %zu bytes of audio (library %s)\n", wave.size() - 48,
              tavro::versionString());
  return 0;
}
