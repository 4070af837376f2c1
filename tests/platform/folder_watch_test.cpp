// The folder watch that wakes the reconnect logic when boxes come and go.
#include "platform/folder_watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "support/conditions.h"

namespace tavro::platform {
namespace {

namespace fs = std::filesystem;

TEST(FolderWatchTest, EntriesOfAFolderThatComesLaterAndGoesAgain) {
  char pattern[] = "/tmp/tavro-watch-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const fs::path top = pattern;
  const fs::path folder = top / "root" / "class";
  std::atomic<int> changes{0}, departures{0};
  FolderWatch watch(folder.string(), [&](bool appeared) {
    ++changes;
    if (!appeared) ++departures;
  });
  ASSERT_TRUE(watch.active());

  std::ofstream(top / "unrelated");  // beside the path: not a change
  fs::create_directory(top / "root");
  fs::create_directory(top / "elsewhere");
  fs::create_directory(folder);
  ASSERT_TRUE(test::eventually([&] { return changes.load() >= 1; }));
  int seen = changes.load();
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(departures.load(), 0);

  std::ofstream(folder / "box0");
  ASSERT_TRUE(test::eventually([&] { return changes.load() > seen; }));
  seen = changes.load();
  EXPECT_EQ(departures.load(), 0);
  fs::remove(folder / "box0");
  // Waited for by itself: a late arrival from the steps before may come first.
  ASSERT_TRUE(test::eventually([&] { return departures.load() >= 1; }));
  EXPECT_EQ(departures.load(), 1);  // an entry that leaves is no arrival
  seen = changes.load();
  fs::remove(folder);
  ASSERT_TRUE(test::eventually([&] { return changes.load() > seen; }));
  seen = changes.load();

  // Made anew, it is watched again.
  fs::create_directory(folder);
  ASSERT_TRUE(test::eventually([&] { return changes.load() > seen; }));
  seen = changes.load();
  std::ofstream(folder / "box1");
  EXPECT_TRUE(test::eventually([&] { return changes.load() > seen; }));
  fs::remove_all(top);
}

}  // namespace
}  // namespace tavro::platform
