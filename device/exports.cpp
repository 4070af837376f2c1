// The eighteen plain-name exports: each calls the member of the same name on the object.
#include "tavro/exports.h"

extern "C" {
int InitialUSB_IO(CKusb_IO* io) {
  return io->InitialUSB_IO();
}
void ExistUSB_IO(CKusb_IO* io) {
  io->ExistUSB_IO();
}
uint32_t GetTelStatus(CKusb_IO* io) {
  return io->GetTelStatus();
}
void SetTelStatus(CKusb_IO* io, uint32_t value) {
  io->SetTelStatus(value);
}
int PickUp(CKusb_IO* io) {
  return io->PickUp();
}
int PutDown(CKusb_IO* io) {
  return io->PutDown();
}
int DialNmb(CKusb_IO* io, const char* number) {
  return io->DialNmb(number);
}
int Read_Call_Nmb(CKusb_IO* io, unsigned char* number) {
  return io->Read_Call_Nmb(number);
}
int StartReadSound(CKusb_IO* io, const char* fileName, int mode) {
  return io->StartReadSound(fileName, mode);
}
int StopReadSound(CKusb_IO* io) {
  return io->StopReadSound();
}
int SetDialPara(CKusb_IO* io, uint32_t p1, uint32_t p2, uint32_t p3) {
  return io->SetDialPara(p1, p2, p3);
}
int SetNextCallDelay(CKusb_IO* io, unsigned char delay) {
  return io->SetNextCallDelay(delay);
}
int ReaddiFlagsValue(CKusb_IO* io) {
  return io->ReaddiFlagsValue();
}
void TelSleep(CKusb_IO* io, uint32_t milliseconds) {
  io->TelSleep(milliseconds);
}
int StartPlaySound(CKusb_IO* io, const char* fileName, int startPosition, unsigned char mode,
                   unsigned char param, bool flag) {
  return io->StartPlaySound(fileName, startPosition, mode, param, flag);
}
int StopPlaySound(CKusb_IO* io) {
  return io->StopPlaySound();
}
int GetWriteSoundRate(CKusb_IO* io) {
  return io->GetWriteSoundRate();
}
int StartReadSoundCStrF(CKusb_IO* io, const char* fileName) {
  return io->StartReadSoundCStrF(fileName ? fileName : "");
}
}
