#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/socket_fixture.h"

namespace tavro::platform {
namespace {

using test::PublishFolderFixture;

std::vector<std::string> enumerate() {
  return boxPaths();
}

TEST(PublishRootTest, OnlyAnAbsoluteRuntimeDirectoryCounts) {
  const std::string fallback = "/tmp/tavro-" + std::to_string(::getuid());
  ::setenv("XDG_RUNTIME_DIR", "/run/user/1000", 1);
  EXPECT_EQ(wire::publishRoot(), "/run/user/1000/tavro");
  EXPECT_EQ(wire::classDirectory(), "/run/user/1000/tavro/{77F49321-16EF-11D2-AD51-006097B514DD}");
  ::setenv("XDG_RUNTIME_DIR", "run/user/1000", 1);
  EXPECT_EQ(wire::publishRoot(), fallback);
  ::setenv("XDG_RUNTIME_DIR", "", 1);
  EXPECT_EQ(wire::publishRoot(), fallback);
  ::unsetenv("XDG_RUNTIME_DIR");
  EXPECT_EQ(wire::publishRoot(), fallback);
}

// The system publish folder comes after the user's, and must belong to root: a folder of any
// other user, or one that its group may write to (the group only reaches its sockets), is
// refused. Run as a user, a folder of one's own stands for one that is not root's.
TEST_F(PublishFolderFixture, TheSystemFolderIsLookedAtLastAndMustBeRootsAlone) {
  EXPECT_EQ(wire::publishRoots(), (std::vector<std::string>{root_, wire::kSystemPublishRoot}));
  EXPECT_EQ(wire::publishRootOwner(wire::kSystemPublishRoot), 0u);
  EXPECT_EQ(wire::publishRootOwner(root_), ::getuid());
  auto systemTrust = [this](mode_t mode) {
    EXPECT_EQ(::chmod(root_.c_str(), mode), 0);
    wire::Trust why = wire::Trust::kTrusted;
    const int fd = wire::openTrustedFolder(AT_FDCWD, root_.c_str(), &why, 0);
    if (fd >= 0) ::close(fd);
    EXPECT_EQ(fd >= 0, why == wire::Trust::kTrusted);
    return why;
  };
  if (::getuid() != 0) {
    EXPECT_EQ(systemTrust(0755), wire::Trust::kOtherOwner);
    return;
  }
  EXPECT_EQ(systemTrust(0755), wire::Trust::kTrusted);
  EXPECT_EQ(systemTrust(0775), wire::Trust::kWritableByOthers);
  EXPECT_EQ(systemTrust(0757), wire::Trust::kWritableByOthers);
  ASSERT_EQ(::chown(root_.c_str(), 4242, static_cast<gid_t>(-1)), 0);
  EXPECT_EQ(systemTrust(0755), wire::Trust::kOtherOwner);
}

TEST_F(PublishFolderFixture, SocketsSortedBytewiseOthersSkipped) {
  for (const char* name : {"b", "a", "B", "\xC3x", "a\\PIPE00", "dev\\x"}) listen(name);
  std::ofstream(classDir_ + "/file") << "not a socket";
  ASSERT_EQ(::mkdir((classDir_ + "/dir").c_str(), 0700), 0);
  ASSERT_EQ(::symlink((classDir_ + "/a").c_str(), (classDir_ + "/link").c_str()), 0);

  const std::vector<std::string> expected = {devicePath("B"), devicePath("a"), devicePath("b"),
                                             devicePath("\xC3x")};
  EXPECT_EQ(enumerate(), expected);
}

TEST_F(PublishFolderFixture, UntrustedOrMissingDirectoriesEnumerateNothing) {
  listen("box");
  ASSERT_EQ(enumerate().size(), 1u);

  ASSERT_EQ(::chmod(classDir_.c_str(), 0720), 0);
  EXPECT_TRUE(enumerate().empty()) << "group-writable class directory";
  ASSERT_EQ(::chmod(classDir_.c_str(), 0702), 0);
  EXPECT_TRUE(enumerate().empty()) << "world-writable class directory";
  ASSERT_EQ(::chmod(classDir_.c_str(), 0700), 0);

  ASSERT_EQ(::chmod(root_.c_str(), 0770), 0);
  EXPECT_TRUE(enumerate().empty()) << "group-writable root";
  ASSERT_EQ(::chmod(root_.c_str(), 0700), 0);
  ASSERT_EQ(enumerate().size(), 1u);

  if (::getuid() == 0) {  // only the superuser can give a directory away
    ASSERT_EQ(::chown(classDir_.c_str(), 4242, static_cast<gid_t>(-1)), 0);
    EXPECT_TRUE(enumerate().empty()) << "class directory of another user";
    ASSERT_EQ(::chown(classDir_.c_str(), 0, static_cast<gid_t>(-1)), 0);
  }

  // A root that is a symbolic link to a good directory is not trusted either.
  const std::string moved = runtimeDir_ + "/elsewhere";
  ASSERT_EQ(::rename(root_.c_str(), moved.c_str()), 0);
  EXPECT_TRUE(enumerate().empty()) << "missing root";
  ASSERT_EQ(::symlink(moved.c_str(), root_.c_str()), 0);
  EXPECT_TRUE(enumerate().empty()) << "root is a symbolic link";
  ASSERT_EQ(::unlink(root_.c_str()), 0);

  std::ofstream(root_) << "a file";
  EXPECT_TRUE(enumerate().empty()) << "root is a file";
}

}  // namespace
}  // namespace tavro::platform
