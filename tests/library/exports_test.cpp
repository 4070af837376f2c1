// The shared library exports the eighteen plain names, the class, and nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "support/conditions.h"
#include "support/runtime_dir.h"
#include "tavro/CKusb_IO.h"
#include "vbox/virtual_box.h"

namespace {

const char* const kPlainNames[18] = {
    "InitialUSB_IO", "ExistUSB_IO",       "GetTelStatus",       "SetTelStatus",   "PickUp",
    "PutDown",       "DialNmb",           "Read_Call_Nmb",      "StartReadSound", "StopReadSound",
    "SetDialPara",   "SetNextCallDelay",  "ReaddiFlagsValue",   "TelSleep",       "StartPlaySound",
    "StopPlaySound", "GetWriteSoundRate", "StartReadSoundCStrF"};

class Library {
 public:
  Library() : handle_(dlopen(TAVRO_LIBRARY_PATH, RTLD_NOW)) {}
  ~Library() {
    if (handle_) dlclose(handle_);
  }
  void* handle() const { return handle_; }
  template <typename F>
  F find(const char* name) const {
    return reinterpret_cast<F>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

TEST(Exports, TheEighteenPlainNamesAndNothingInternal) {
  Library lib;
  ASSERT_NE(lib.handle(), nullptr) << dlerror();
  for (const char* name : kPlainNames) EXPECT_NE(dlsym(lib.handle(), name), nullptr) << name;
  EXPECT_NE(dlsym(lib.handle(), "_ZN8CKusb_IOC1Ev"), nullptr);  // the constructor
  EXPECT_NE(dlsym(lib.handle(), "_ZN8CKusb_IO6PickUpEv"), nullptr);
  // Internals stay hidden.
  EXPECT_EQ(dlsym(lib.handle(), "_ZN5tavro5stateEv"), nullptr);
  EXPECT_EQ(dlsym(lib.handle(), "_ZN5tavro14writeDataToUsbEPKh"), nullptr);
}

TEST(Exports, ThePlainNamesCallTheMembers) {
  tavro::test::RuntimeDir runtime;
  tavro::vbox::VirtualBox box;
  Library lib;
  ASSERT_NE(lib.handle(), nullptr) << dlerror();
  auto initial = lib.find<int (*)(CKusb_IO*)>("InitialUSB_IO");
  auto exist = lib.find<void (*)(CKusb_IO*)>("ExistUSB_IO");
  auto getStatus = lib.find<uint32_t (*)(CKusb_IO*)>("GetTelStatus");
  auto setStatus = lib.find<void (*)(CKusb_IO*, uint32_t)>("SetTelStatus");
  auto dialPara = lib.find<int (*)(CKusb_IO*, uint32_t, uint32_t, uint32_t)>("SetDialPara");
  ASSERT_TRUE(initial && exist && getStatus && setStatus && dialPara);

  CKusb_IO io;
  EXPECT_EQ(getStatus(&io), io.GetTelStatus());
  EXPECT_FALSE(getStatus(&io) & tavro::kLinkDownBit);
  setStatus(&io, getStatus(&io) | 0x10000);
  EXPECT_TRUE(io.GetTelStatus() & 0x10000);
  EXPECT_EQ(dialPara(&io, 5, 5, 17), 1);

  exist(&io);
  EXPECT_EQ(getStatus(&io), 0x200u);
  EXPECT_EQ(initial(&io), 1);
  EXPECT_TRUE(tavro::test::eventually([&] { return !(getStatus(&io) & tavro::kLinkDownBit); }));
}

// A null object is refused like a null argument: -2 where there is a result, nothing done
// where there is none; nothing reaches the box and the running library goes on.
TEST(Exports, ANullObjectIsRefused) {
  tavro::test::RuntimeDir runtime;
  tavro::vbox::VirtualBox box;
  Library lib;
  ASSERT_NE(lib.handle(), nullptr) << dlerror();
  CKusb_IO io;
  ASSERT_TRUE(tavro::test::eventually([&] { return !(io.GetTelStatus() & tavro::kLinkDownBit); }));
  ASSERT_TRUE(box.waitForPipes(std::chrono::seconds(10)));
  box.clearLog();
  const uint32_t before = io.GetTelStatus();

  using One = int (*)(CKusb_IO*);
  for (const char* name : {"InitialUSB_IO", "PickUp", "PutDown", "StopReadSound",
                           "ReaddiFlagsValue", "StopPlaySound", "GetWriteSoundRate"}) {
    auto f = lib.find<One>(name);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(f(nullptr), -2) << name;
  }
  EXPECT_EQ(lib.find<int (*)(CKusb_IO*, const char*)>("DialNmb")(nullptr, "123"), -2);
  unsigned char number[64] = {};
  EXPECT_EQ(lib.find<int (*)(CKusb_IO*, unsigned char*)>("Read_Call_Nmb")(nullptr, number), -2);
  EXPECT_EQ(lib.find<int (*)(CKusb_IO*, const char*, int)>("StartReadSound")(nullptr, "x.wav", 1),
            -2);
  EXPECT_EQ(lib.find<int (*)(CKusb_IO*, const char*)>("StartReadSoundCStrF")(nullptr, "x.wav"), -2);
  EXPECT_EQ(
      lib.find<int (*)(CKusb_IO*, uint32_t, uint32_t, uint32_t)>("SetDialPara")(nullptr, 1, 2, 3),
      -2);
  EXPECT_EQ(lib.find<int (*)(CKusb_IO*, unsigned char)>("SetNextCallDelay")(nullptr, 4), -2);
  EXPECT_EQ(lib.find<int (*)(CKusb_IO*, const char*, int, unsigned char, unsigned char, bool)>(
                "StartPlaySound")(nullptr, "x.wav", 0, 1, 0, false),
            -2);
  lib.find<void (*)(CKusb_IO*)>("ExistUSB_IO")(nullptr);
  lib.find<void (*)(CKusb_IO*, uint32_t)>("SetTelStatus")(nullptr, 0);
  lib.find<void (*)(CKusb_IO*, uint32_t)>("TelSleep")(nullptr, 1);
  EXPECT_EQ(lib.find<uint32_t (*)(CKusb_IO*)>("GetTelStatus")(nullptr), before);

  EXPECT_EQ(io.GetTelStatus(), before);
  EXPECT_TRUE(box.commands().empty());
  EXPECT_EQ(io.RequestSpaceCode(), 1);  // the library still runs
}

}  // namespace
