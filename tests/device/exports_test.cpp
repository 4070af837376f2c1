// The shared library exports the eighteen plain names, the class, and nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

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

}  // namespace
