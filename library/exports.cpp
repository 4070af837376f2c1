// The eighteen plain-name exports: each calls the member of the same name on the object.
//
// A null object is refused as a null argument is: -2 from those with a result, nothing done
// by the others. GetTelStatus needs no object: without one it reads the process's status
// word (the default objects'), with one that object's.
#include "tavro/exports.h"

#include "device/state.h"

namespace {
constexpr int kNoObject = TAVRO_ERROR_INVALID_ARGUMENT;
}

extern "C" {
int InitialUSB_IO(CKusb_IO* io) {
  return io ? io->InitialUSB_IO() : kNoObject;
}
void ExistUSB_IO(CKusb_IO* io) {
  if (io) io->ExistUSB_IO();
}
uint32_t GetTelStatus(CKusb_IO* io) {
  return io ? io->GetTelStatus() : tavro::statusWord();
}
void SetTelStatus(CKusb_IO* io, uint32_t value) {
  if (io) io->SetTelStatus(value);
}
int PickUp(CKusb_IO* io) {
  return io ? io->PickUp() : kNoObject;
}
int PutDown(CKusb_IO* io) {
  return io ? io->PutDown() : kNoObject;
}
int DialNmb(CKusb_IO* io, const char* number) {
  return io ? io->DialNmb(number) : kNoObject;
}
int Read_Call_Nmb(CKusb_IO* io, unsigned char* number) {
  return io ? io->Read_Call_Nmb(number) : kNoObject;
}
int StartReadSound(CKusb_IO* io, const char* fileName, int mode) {
  return io ? io->StartReadSound(fileName, mode) : kNoObject;
}
int StopReadSound(CKusb_IO* io) {
  return io ? io->StopReadSound() : kNoObject;
}
int SetDialPara(CKusb_IO* io, uint32_t p1, uint32_t p2, uint32_t p3) {
  return io ? io->SetDialPara(p1, p2, p3) : kNoObject;
}
int SetNextCallDelay(CKusb_IO* io, unsigned char delay) {
  return io ? io->SetNextCallDelay(delay) : kNoObject;
}
int ReaddiFlagsValue(CKusb_IO* io) {
  return io ? io->ReaddiFlagsValue() : kNoObject;
}
void TelSleep(CKusb_IO* io, uint32_t milliseconds) {
  if (io) io->TelSleep(milliseconds);
}
int StartPlaySound(CKusb_IO* io, const char* fileName, int startPosition, unsigned char mode,
                   unsigned char param, bool flag) {
  return io ? io->StartPlaySound(fileName, startPosition, mode, param, flag) : kNoObject;
}
int StopPlaySound(CKusb_IO* io) {
  return io ? io->StopPlaySound() : kNoObject;
}
int GetWriteSoundRate(CKusb_IO* io) {
  return io ? io->GetWriteSoundRate() : kNoObject;
}
int StartReadSoundCStrF(CKusb_IO* io, const char* fileName) {
  return io ? io->StartReadSoundCStrF(fileName ? fileName : "") : kNoObject;
}
}
