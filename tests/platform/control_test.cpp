#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/socket_fixture.h"

namespace tavro::platform {
namespace {

using test::acceptOne;
using test::receive;
using test::sendBytes;
using Bytes = std::vector<uint8_t>;

// A device with its control socket; the box's end answers by hand.
class ControlTest : public test::PublishFolderFixture {
 protected:
  void SetUp() override {
    PublishFolderFixture::SetUp();
    listener_ = listen("box");
    ASSERT_GE(listener_, 0);
    handle_ = openDevice(devicePath("box")).device;
    ASSERT_NE(handle_, nullptr);
    peer_ = keep(acceptOne(listener_));
    ASSERT_GE(peer_, 0);
  }

  void TearDown() override {
    handle_.reset();
    PublishFolderFixture::TearDown();
  }

  // The probe's vendor read (value 0, index 0x0472).
  bool vendorRead(void* data, uint16_t length) {
    return handle_->vendorRequest(true, 0, 0x0472, data, length);
  }

  int listener_ = -1;
  int peer_ = -1;
  std::shared_ptr<BackendDevice> handle_;
};

TEST_F(ControlTest, VendorReadSendsTheHeaderAndCopiesTheAnswer) {
  sendBytes(peer_, {1, 0xA7});  // queued before the request: no thread needed
  uint8_t answer = 0;
  ASSERT_TRUE(vendorRead(&answer, 1));
  EXPECT_EQ(answer, 0xA7);
  // Code, value, index, length; no data stage.
  EXPECT_EQ(receive(peer_),
            (Bytes{0x0C, 0x20, 0x00, 0x80, 0, 0, 0, 0, 0x72, 0x04, 0, 0, 1, 0, 0, 0}));
}

TEST_F(ControlTest, VendorWriteSendsTheDataStage) {
  sendBytes(peer_, {1});
  uint8_t setup[6] = {0x00, 0x00, 0x00, 0x40, 0x00, 0x81};
  ASSERT_TRUE(handle_->vendorRequest(false, 0x01020304, 0x0471, setup, 6));
  EXPECT_EQ(receive(peer_), (Bytes{0x10, 0x20, 0x00, 0x80, 0x04, 0x03, 0x02, 0x01, 0x71, 0x04, 0, 0,
                                   6,    0,    0,    0,    0x00, 0x00, 0x00, 0x40, 0x00, 0x81}));
}

TEST_F(ControlTest, FailedShortOrMissingAnswersFailWithoutTouchingTheBuffer) {
  uint8_t data[4] = {9, 9, 9, 9};

  sendBytes(peer_, {0, 1, 2, 3, 4});
  EXPECT_FALSE(vendorRead(data, 4)) << "failure answer";
  sendBytes(peer_, {1, 1, 2});
  EXPECT_FALSE(vendorRead(data, 4)) << "answer without all the data";
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{9, 9, 9, 9}));

  sendBytes(peer_, {1, 5, 6, 7, 8, 0xEE});
  EXPECT_TRUE(vendorRead(data, 4)) << "a longer answer is cut";
  EXPECT_EQ(Bytes(data, data + 4), (Bytes{5, 6, 7, 8}));

  for (int i = 0; i < 3; ++i) EXPECT_EQ(receive(peer_).size(), 16u);

  // A box that never answers: the wait is bounded, and the connection, out of step now
  // (a late answer would be taken for the next request's), is ended.
  setTimeScale(100);
  EXPECT_FALSE(vendorRead(data, 4));
  setTimeScale(1);
  EXPECT_EQ(receive(peer_).size(), 16u);
  EXPECT_EQ(receive(peer_).size(), 0u) << "the box sees the connection end";
  EXPECT_FALSE(vendorRead(data, 4));
}

TEST_F(ControlTest, ARequestWithoutItsDataIsRefusedWithoutSending) {
  EXPECT_FALSE(vendorRead(nullptr, 1));
  EXPECT_FALSE(handle_->vendorRequest(false, 0, 0x0471, nullptr, 6));

  // Nothing reached the box.
  uint8_t byte = 0;
  sendBytes(peer_, {1, 0x42});
  ASSERT_TRUE(vendorRead(&byte, 1));
  EXPECT_EQ(receive(peer_).size(), 16u);
}

TEST_F(ControlTest, PipeResetGoesToThePipesDeviceOnANewConnection) {
  const int pipeListener = listen("box\\PIPE03");
  const std::shared_ptr<BackendPipe> pipe = openPipe(*handle_, 3);
  ASSERT_NE(pipe, nullptr);

  auto box = std::async(std::launch::async, [this] {
    const int control = acceptOne(listener_);
    Bytes request = receive(control);
    if (control >= 0) {
      sendBytes(control, {0});  // the answer does not matter
      ::close(control);
    }
    return request;
  });
  EXPECT_TRUE(pipe->reset());
  EXPECT_EQ(box.get(), (Bytes{0x08, 0x00, 0x22, 0x00, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  (void)pipeListener;

  // The device's own control connection saw nothing.
  sendBytes(peer_, {1, 0});
  uint8_t byte = 0;
  ASSERT_TRUE(vendorRead(&byte, 1));
  EXPECT_EQ(receive(peer_).size(), 16u);
}

}  // namespace
}  // namespace tavro::platform
