// The wave file: header layout, patching, failures, and what other tools make of it.
#include "audio/wave_file.h"
#include "support/file_size_limit.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tavro {
namespace {

using test::FileSizeLimit;

namespace fs = std::filesystem;

uint32_t get32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t{b[at + 3]} << 24;
}
uint16_t get16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

std::vector<uint8_t> readAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// G.711 A-law to linear, for checking what the decoders produce.
int alawToLinear(uint8_t a) {
  a ^= 0x55;
  int t = (a & 0x0F) << 4;
  const int seg = (a & 0x70) >> 4;
  if (seg == 0)
    t += 8;
  else if (seg == 1)
    t += 0x108;
  else
    t = (t + 0x108) << (seg - 1);
  return (a & 0x80) ? t : -t;
}

class WaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavro-wave-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(dir_, fs::perms::owner_all, ignored);
    fs::remove_all(dir_, ignored);
  }
  std::string path(const char* name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

TEST_F(WaveFileTest, HeaderFieldsAreTheALawMonoLayout) {
  const WaveHeader h = waveHeader(0x01020304, 0xA0B0C0D0);
  const std::vector<uint8_t> b(h.begin(), h.end());
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(get32(b, 4), 0x01020304u);
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
  EXPECT_EQ(get32(b, 16), 20u);
  EXPECT_EQ(get16(b, 20), 6);
  EXPECT_EQ(get16(b, 22), 1);
  EXPECT_EQ(get32(b, 24), 8000u);
  EXPECT_EQ(get32(b, 28), 8000u);
  EXPECT_EQ(get16(b, 32), 1);
  EXPECT_EQ(get16(b, 34), 8);
  EXPECT_EQ(get16(b, 36), 0);
  EXPECT_EQ(get16(b, 38), 0);
  EXPECT_EQ(std::string(b.begin() + 40, b.begin() + 44), "data");
  EXPECT_EQ(get32(b, 44), 0xA0B0C0D0u);
}

TEST_F(WaveFileTest, PlaceholderUntilFinishedThenTheTrueSizes) {
  WaveFile w;
  ASSERT_TRUE(w.create(path("a.wav").c_str()));
  std::vector<uint8_t> audio(1500);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 7);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(w.write(audio.data() + 500 * i, 500));
  std::vector<uint8_t> b = readAll(path("a.wav"));
  ASSERT_EQ(b.size(), 48u + 1500);
  EXPECT_EQ(get32(b, 4), kPlaceholderRiffSize);
  EXPECT_EQ(get32(b, 44), kPlaceholderDataSize);

  ASSERT_TRUE(w.finish());
  EXPECT_FALSE(w.isOpen());
  b = readAll(path("a.wav"));
  ASSERT_EQ(b.size(), 48u + 1500);
  EXPECT_EQ(get32(b, 4), 1540u);
  EXPECT_EQ(get32(b, 44), 1500u);
  EXPECT_TRUE(std::equal(audio.begin(), audio.end(), b.begin() + 48));
}

TEST_F(WaveFileTest, EmptyRecordingAndAbandonedRecording) {
  WaveFile w;
  ASSERT_TRUE(w.create(path("empty.wav").c_str()));
  ASSERT_TRUE(w.finish());
  std::vector<uint8_t> b = readAll(path("empty.wav"));
  ASSERT_EQ(b.size(), 48u);
  EXPECT_EQ(get32(b, 4), 40u);
  EXPECT_EQ(get32(b, 44), 0u);

  const uint8_t audio[500] = {};
  ASSERT_TRUE(w.create(path("lost.wav").c_str()));
  ASSERT_TRUE(w.write(audio, sizeof audio));
  w.abandon();
  b = readAll(path("lost.wav"));
  ASSERT_EQ(b.size(), 548u);
  EXPECT_EQ(get32(b, 4), kPlaceholderRiffSize);
  EXPECT_EQ(get32(b, 44), kPlaceholderDataSize);
}

TEST_F(WaveFileTest, ExistingFileIsTruncated) {
  { std::ofstream(path("old.wav")) << std::string(5000, 'x'); }
  WaveFile w;
  ASSERT_TRUE(w.create(path("old.wav").c_str()));
  ASSERT_TRUE(w.finish());
  EXPECT_EQ(fs::file_size(path("old.wav")), 48u);
}

TEST_F(WaveFileTest, NamesThatCannotBeCreated) {
  WaveFile w;
  EXPECT_FALSE(w.create(path("no/such/folder.wav").c_str()));
  EXPECT_FALSE(w.create(""));
  EXPECT_FALSE(w.create(nullptr));
  EXPECT_FALSE(w.create(dir_.c_str()));  // a folder
  EXPECT_FALSE(w.create(std::string(1024, 'n').c_str()));
  EXPECT_FALSE(w.isOpen());
  EXPECT_FALSE(canCreateFile(path("no/such/folder.wav").c_str()));
  EXPECT_FALSE(canCreateFile(""));
  EXPECT_TRUE(canCreateFile(path("fine.wav").c_str()));
  // Only regular files: the writes to anything else could block or go nowhere.
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_FALSE(w.create(path("fifo").c_str()));
  EXPECT_FALSE(canCreateFile(path("fifo").c_str()));
  EXPECT_FALSE(canCreateFile("/dev/full"));
  EXPECT_FALSE(w.create("/dev/full"));
  if (geteuid() != 0) {  // root writes anywhere
    fs::create_directory(dir_ / "locked");
    fs::permissions(dir_ / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(canCreateFile(path("locked/x.wav").c_str()));
    EXPECT_FALSE(w.create(path("locked/x.wav").c_str()));
  }
}

TEST_F(WaveFileTest, FullDiskKeepsAFileWhoseHeaderMatchesItsAudio) {
  // The header cannot be written: the file is refused at once.
  WaveFile w;
  {
    FileSizeLimit limit(20);
    EXPECT_FALSE(w.create(path("none.wav").c_str()));
  }
  EXPECT_FALSE(w.isOpen());

  // A write that fails in the middle: the file size limit stands in for the full disk.
  // Its partial write is cut off again.
  ASSERT_TRUE(w.create(path("full.wav").c_str()));
  const uint8_t audio[500] = {1, 2, 3};
  ASSERT_TRUE(w.write(audio, sizeof audio));
  {
    FileSizeLimit limit(1000);
    EXPECT_FALSE(w.write(audio, sizeof audio));
    EXPECT_FALSE(w.write(audio, sizeof audio));
    ASSERT_TRUE(w.finish());
  }
  std::vector<uint8_t> b = readAll(path("full.wav"));
  ASSERT_EQ(b.size(), 548u);
  EXPECT_EQ(get32(b, 44), 500u);
  EXPECT_EQ(get32(b, 4), 540u);
  EXPECT_EQ(b[48], 1);

  ASSERT_TRUE(w.create(path("big.wav").c_str()));
  EXPECT_FALSE(w.write(audio, kMaxWaveAudio + size_t{1})) << "past the 32-bit sizes";
  ASSERT_TRUE(w.finish());
  EXPECT_EQ(fs::file_size(path("big.wav")), 48u);
}

TEST_F(WaveFileTest, SoxAndLibsndfileReadTheRecordingAsALaw) {
  std::vector<uint8_t> audio(8000);
  for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<uint8_t>(i * 31 + 5);
  WaveFile w;
  ASSERT_TRUE(w.create(path("interop.wav").c_str()));
  for (size_t at = 0; at < audio.size(); at += 500) ASSERT_TRUE(w.write(audio.data() + at, 500));
  ASSERT_TRUE(w.finish());

  SF_INFO info{};
  SNDFILE* f = sf_open(path("interop.wav").c_str(), SFM_READ, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  EXPECT_EQ(info.samplerate, 8000);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.frames, 8000);
  EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, SF_FORMAT_WAV);
  EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_ALAW);
  std::vector<short> pcm(8000);
  EXPECT_EQ(sf_read_short(f, pcm.data(), static_cast<sf_count_t>(pcm.size())), 8000);
  sf_close(f);
  for (size_t i = 0; i < audio.size(); ++i) ASSERT_EQ(pcm[i], alawToLinear(audio[i])) << i;

  const std::string file = "'" + path("interop.wav") + "'";
  const std::string cmd = "sox --i -r " + file + " && sox --i -c " + file + " && sox --i -e " +
                          file + " && sox " + file + " -t raw -e signed -b 16 '" + path("out.raw") +
                          "' 2>&1";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, p)) out += line;
    EXPECT_EQ(pclose(p), 0) << out;
  }
  EXPECT_EQ(out.substr(0, 8), "8000\n1\nA") << out;
  EXPECT_NE(out.find("A-law"), std::string::npos) << out;
  const std::vector<uint8_t> raw = readAll(path("out.raw"));
  ASSERT_EQ(raw.size(), 2 * audio.size());
  for (size_t i = 0; i < audio.size(); ++i) {
    const int16_t v = static_cast<int16_t>(raw[2 * i] | raw[2 * i + 1] << 8);
    ASSERT_EQ(v, alawToLinear(audio[i])) << i;
  }
}

}  // namespace
}  // namespace tavro
