/* The eighteen plain-name exports: C-linkage functions that take the object first and
 * call the member of the same name, for C and C++ (a C program makes the object with
 * tavro_open() of tavro/events.h). The numbers are the export ordinals. */
#ifndef TAVRO_EXPORTS_H
#define TAVRO_EXPORTS_H

#include "tavro/CKusb_IO.h"

#ifdef __cplusplus
extern "C" {
#endif

TAVRO_API int InitialUSB_IO(CKusb_IO* io);                                       // 1
TAVRO_API void ExistUSB_IO(CKusb_IO* io);                                        // 2
TAVRO_API uint32_t GetTelStatus(CKusb_IO* io);                                   // 3
TAVRO_API void SetTelStatus(CKusb_IO* io, uint32_t value);                       // 4
TAVRO_API int PickUp(CKusb_IO* io);                                              // 5
TAVRO_API int PutDown(CKusb_IO* io);                                             // 6
TAVRO_API int DialNmb(CKusb_IO* io, const char* number);                         // 7
TAVRO_API int Read_Call_Nmb(CKusb_IO* io, unsigned char* number);                // 8
TAVRO_API int StartReadSound(CKusb_IO* io, const char* fileName, int mode);      // 9
TAVRO_API int StopReadSound(CKusb_IO* io);                                       // 10
TAVRO_API int SetDialPara(CKusb_IO* io, uint32_t p1, uint32_t p2, uint32_t p3);  // 11
TAVRO_API int SetNextCallDelay(CKusb_IO* io, unsigned char delay);               // 12
TAVRO_API int ReaddiFlagsValue(CKusb_IO* io);                                    // 13
TAVRO_API void TelSleep(CKusb_IO* io, uint32_t milliseconds);                    // 14
TAVRO_API int StartPlaySound(CKusb_IO* io, const char* fileName, int startPosition,
                             unsigned char mode, unsigned char param, bool flag);  // 15
TAVRO_API int StopPlaySound(CKusb_IO* io);                                         // 16
TAVRO_API int GetWriteSoundRate(CKusb_IO* io);                                     // 17
TAVRO_API int StartReadSoundCStrF(CKusb_IO* io, const char* fileName);             // 18

#ifdef __cplusplus
}
#endif

#endif /* TAVRO_EXPORTS_H */
