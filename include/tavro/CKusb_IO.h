// The Tavro driver library: one object of class CKusb_IO owns the telephone-line box.
//
// Create one object; its constructor finds the box and starts the worker threads, its
// destructor stops them. Learn of events from the object's event queue (tavro/events.h: a
// descriptor for poll(), takes with a time-out, a callback), or by reading the status word
// (GetTelStatus(), acknowledged with AckTelStatus()), and call the blocking operations
// below.
//
// Two kinds of object:
// - CKusb_IO(): the process's library. Its state is process-wide: every default object in
//   a process acts on the same box (the first that opens, below) and the same status word,
//   which the plain export GetTelStatus() reads also without an object.
// - CKusb_IO(device): an object bound to one box, named by its path as the device list
//   gives it (tavro/devices.h; the path column of `tavro devices`): a box on the virtual
//   wire or a shared box of tavrod by its absolute path, a box on USB by "usb:" and its
//   port path ("usb:1-2.4"). It has everything of its own: status word, worker threads,
//   replies, rings, dial parameters, recording, playback, host streams and event queue.
//   It opens only that box and, after the box was unplugged, connects again only to the
//   same path. Objects bound to different boxes run side by side without touching each
//   other, and beside the default one. A box belongs to one object at a time: while another
//   object or program holds it, the object's link stays down and boxInUse(object)
//   (tavro/notice.h) says so; it takes the box once the holder lets it go. A device of no
//   backend's form (or null) is never opened: the object's link stays down for good
//   (tavro_open_device() refuses such a name with null instead).
//   Two objects for the same device are two objects: the second finds the box busy.
//
// Threads: every operation may be called from any thread at any time, also while another
// thread waits in an operation or takes events.
// - Reading and acknowledging (the status word, what the reports left: the caller number
//   and record, DTMF codes, tone reports, the recorded length and the playback progress)
//   answers at once from the library's memory and sends nothing.
// - An operation that sends a command to the box (line control, dialling, the switches,
//   the device information and flash, the test transfer, the recording and playback
//   commands) waits for its turn behind the command that is running, one caller behind
//   another, and gives up with -3 after about 10 s without a turn (the same wait as for
//   an unanswered command). Write_Data_to_USB, which posts a packet without awaiting its
//   answer, likewise waits behind a packet that another thread is posting.
// - A recording or playback start while one runs is refused with -6, the running one goes
//   on; its stop may come from any thread, also while another thread is in a host-buffer
//   read or write, which then returns what it has.
// - ExistUSB_IO() may come from any thread: an operation that another thread is in then
//   ends with -1, -2 or -3 within its own limit. The object itself must not be destroyed
//   while another thread still calls it; from within its own event callback destroying it
//   is refused (tavro/events.h).
//
// Several default objects, or InitialUSB_IO() on a running library: the first start starts
// the worker threads; further objects (or a repeated InitialUSB_IO() on an object that has
// already started) join the running library and return 1 without starting a second set
// of threads. The threads stop when the last object that started them stops
// (ExistUSB_IO() or the destructor); an object that never started, or has already
// stopped, does nothing on ExistUSB_IO().
//
// A process forked from one that runs the library does not share it: the library stays
// the parent's. In the child, the objects it inherited are not to be used and do nothing
// when they end, its exit leaves the parent's link and recording alone, and
// InitialUSB_IO() returns 0 without starting (start the library in a child after exec). Every
// descriptor of the library is close-on-exec: a program started by exec holds nothing of it.
//
// Where the default object looks for the box: the backends, in this fixed order, "wire" (boxes
// published on the virtual wire, such as tavro-box) and "usb" (boxes on USB, through libusb; which
// USB devices are boxes is configured in TAVRO_USB_IDS and usb.conf). The first box that
// opens, in that order, is used. The environment variable TAVRO_BACKENDS narrows the list
// for a process: "usb", "wire", "wire,usb" (the order written does not matter), or "null"
// for none at all; unset or empty means every backend, and unknown names are ignored. It
// is read each time the library starts. A box that another program holds is not used
// (tavro::boxInUse()), nor one that an object bound to it holds. While no box is
// there, the library waits for one to appear without waking more than about once a second.
//
// Result codes shared by the operations (each operation documents its own), named in
// tavro/result.h; tavro_result_name() gives the name of a code:
//    1  TAVRO_SUCCESS (some operations return a count or a value instead)
//   -1  TAVRO_ERROR_LINK_DOWN: nothing was sent
//   -2  TAVRO_ERROR_NOT_RUNNING: the worker thread the operation needs is not running; for
//       some operations TAVRO_ERROR_INVALID_ARGUMENT (an empty or null argument) or
//       TAVRO_ERROR_NO_DATA (nothing available)
//   -3  TAVRO_ERROR_TIMEOUT: the box did not answer within the poll limit, or the send gave
//       up waiting for the previous command
//   -4  TAVRO_ERROR_ON_HOOK: the line is on hook for an operation that needs it off hook;
//       for GetDTMFCode TAVRO_ERROR_NO_DIGIT, an empty ring
//   -5  TAVRO_ERROR_FILE (recording and playback only): the file cannot be created or
//       opened: no or an empty name, a name of 1024 characters or more, no such folder, no
//       rights, a name that is not a regular file (a FIFO, a device, a socket, a folder:
//       its writes could block or go nowhere), a file to play of 4 GiB or more. The start
//       functions refuse such a name at once, before anything is sent; if the file fails
//       later, when the audio thread opens it,
//       StopReadSound or StopPlaySound returns -5 (the recording or playback then ended at
//       once)
//   -6  TAVRO_ERROR_ALREADY_RUNNING (recording and playback only): a recording or playback
//       is already running: the start is refused and the running one goes on unchanged
//   -7  TAVRO_ERROR_DISK_FULL (StopReadSound only): writing the wave file failed (the disk
//       is full): the recording was finished at once; the file holds, with a header that
//       matches it, all audio written before the failure
//   -8  TAVRO_ERROR_SIZE_LIMIT (StopReadSound only): the recording reached the largest size
//       it can have (the recorded byte count is a signed 32-bit value, the wave sizes 32
//       bits) and was finished there with a valid header; ReadRecLength() has the count
//
// In C, the object is opaque: a C program makes it with tavro_open() (tavro/events.h) and
// calls the plain-name exports (tavro/exports.h). The result codes have names in
// tavro/result.h.
#ifndef TAVRO_CKUSB_IO_H
#define TAVRO_CKUSB_IO_H

#include "tavro/export.h"
#include "tavro/result.h"
#include "tavro/status.h"

#ifndef __cplusplus
#include <stdbool.h>
#include <stdint.h>
#else
#include <cstdint>
#include <string>

struct tavro_caller_id;  // tavro/events.h

class TAVRO_API CKusb_IO {
 public:
  // The library's string type, for the string arguments and results below.
  using CString = std::string;

  CKusb_IO();
  // An object bound to the box at `device` (see above), with a state of its own.
  explicit CKusb_IO(const char* device);
  virtual ~CKusb_IO();
  CKusb_IO(const CKusb_IO&) = delete;
  CKusb_IO& operator=(const CKusb_IO&) = delete;

  // Lifecycle.
  int InitialUSB_IO();  // starts the library; returns 1 (0 in a forked child, see above)
  void Create_WRWThd();
  void ExistUSB_IO();  // stops every worker thread; the status word is then 0x200

  // Command channel.
  int Write_Data_to_USB(unsigned char* packet);  // 64 bytes
  // Sends bytes 0..59 of data and, once answered, copies the test reply area into bytes
  // 4..63. 1 answered; -1 link down; -2 null data or the command writer is not running;
  // -3 the send gave up waiting for an earlier command, or no answer came to three
  // attempts (then after the "Receive Error!" notice); data is left as it was on failure.
  int Test_End0_WR(unsigned char code, unsigned char* data);
  int RequestSpaceCode();

  // Status word and line control. SetTelStatus keeps the link-down bit as it is. PickUp
  // and PutDown change the off-hook bit before they send, and keep the change when the
  // send fails; with the line already in the wanted state they send nothing and return 1.
  uint32_t GetTelStatus();
  void SetTelStatus(uint32_t value);
  // Acknowledges handled bits: clears the bits of `mask` in one atomic step and returns
  // those of them that were set. Bits the library sets meanwhile are kept, which
  // SetTelStatus(GetTelStatus() & ~bit) cannot promise (a bit set between the two calls is
  // lost), so this is the way to clear a bit once it has been handled. The link-down bit
  // belongs to the link and is never cleared here. Callable from any thread; sends nothing
  // and works while the link is down.
  uint32_t AckTelStatus(uint32_t mask);
  int PickUp();
  int PutDown();
  int IfMute(bool on);
  int IfMicOut(bool on);
  int GetLine_Mic(bool on);
  void TelSleep(uint32_t milliseconds);

  // Dialling. DialNmb returns -2 for an empty or null number and for a number with a
  // character that has no digit code (space, '-', '(', ')', '+', control bytes, bytes
  // above 0x7F); nothing is sent then.
  int SetDialPara(uint32_t p1, uint32_t p2, uint32_t p3);
  int SetNextCallDelay(unsigned char delay);
  int DialNmb(const char* number);
  int DialNmbCStr(CString number);

  // Reply reader.
  void ProcQVStatus(unsigned char* item);  // two bytes: kind, value

  // Ring and caller number. Read_Call_Nmb needs a buffer of at least 61 bytes: 1 done (the
  // buffer is left as it was before any call, or for a message type it does not know);
  // -1 link down; -2 the box reported no number, or a null buffer. It clears the
  // caller-number bit. ReaddiFlagsValue returns the flags value or a failure code.
  int DetectRing();
  int Read_Call_Nmb(unsigned char* number);
  CString ReadstrCallNmb();
  // The whole caller-ID record (tavro/events.h): number, name, date and time, why a number
  // or name is absent, message type, checksum match and raw bytes, as the last caller-ID
  // event carried it. 1 written; 0 no caller ID since the library was loaded (the record
  // is then zeroed); -1 link down; -2 a null record. It sends nothing and leaves the
  // caller-number bit as it is. tavro_read_caller_id() is the same for C.
  int ReadCallerId(tavro_caller_id* callerId);
  int ReaddiFlagsValue();

  // DTMF and tone reports. GetDTMFCode: 1, -1, -2 null, -4 nothing received. Get450HzRecd:
  // 1, -1, -2 null or nothing received. SetContinueReturn450Hz empties the tone reports
  // once the box has answered.
  int GetDTMFCode(unsigned char* code);
  int SetCheckDTMFCall(bool on);
  int SetContinueReturn450Hz(bool on);
  int Get450HzRecd(unsigned short* report);  // two values

  // Device information and the PC clock as text. A null buffer gives -2. WriteDataToFlash
  // returns the box's acknowledge byte (0-255) after four 60-byte blocks, -1 link down, or
  // -3 when a block could not be sent or was not answered (later blocks are not sent).
  int ReadQV_Type(unsigned char* type);       // 2 bytes
  int ReadHSPInfo(unsigned char* info);       // 12 bytes
  int WriteDataToFlash(unsigned char* data);  // 240 bytes
  CString GetYear();
  CString GetMoth();
  CString GetDay();
  CString GetHour();
  CString GetMin();
  CString GetSec();

  // Recording into an A-law wave file (8000 Hz, mono, 48-byte header). A recording holds
  // what the box sends from its start on: what the box sent before (a stream left on) is
  // thrown away. A recording that ends before its stop (the link lost, -5, -7, -8) is
  // finished with the audio received, its header written, and the library switches the
  // box's stream off (once the link is back, after a loss).
  // StartReadSound: 1 requested; -1 link down; -2 audio-in thread not running, or a mode
  // the box's byte cannot carry (below -128 or above 255); -4 mode 0 or negative with the
  // line on hook; -5 the file cannot be created; -6 a recording (or host-buffer stream) is
  // already running. Mode 1 and above may record on hook.
  // StopReadSound: the recorded byte count (bytes received from the box, plus 48 for the
  // header); -1 link down, the closing command failed, or the link was lost during the
  // recording (it ended there, with a valid file; ReadRecLength() has its count); -2
  // audio-in thread not running; -3 the recorder did not finish within 6 s (after the "In
  // StopReadSound Error!" notice): a read the box left waiting is then cut off and the
  // file finished with the audio received, whose count ReadRecLength() keeps; when no
  // recording could be finished (none open, or the recorder held by a playback)
  // ReadRecLength() gives -3 too. -5, -7, -8 as above. It also stops a playback started
  // with StartPlaySound.
  int StartReadSound(const char* fileName, int mode);
  int StartReadSoundCStr(CString fileName, int mode);
  int StartReadSoundCStrF(CString fileName);  // mode 0
  int StopReadSound();
  int32_t ReadRecLength();
  int SetRecordStatus(bool start, int mode);

  // Playback of a file, sent as it is from startPosition thousandths of its length
  // (positions below 0 or above 1000 count as 0 or 1000).
  // StartPlaySound: 1 requested; -1 link down; -2 audio-out thread not running; -3 the
  // recorder did not pause within 3 s; -4 a mode other than 1 or 2 with the line on hook;
  // -5 the file cannot be opened; -6 a playback (or host-buffer stream) is already running.
  // StopPlaySound: 1 stopped or nothing playing; -1 link down, or the link failed during the
  // last playback (the box gone, its audio-out pipe failed), which ended it there; -2; -3
  // the playback did not end within about 10 s; -5 the last playback could not open its
  // file. A playback that has played to its end releases the recorder by itself.
  // GetWriteSoundRate: progress in thousandths; 0 with no file length known; -1 after the
  // box reported a playback failure, or the link failed during the playback; -6
  // (TAVRO_ERROR_ALREADY_RUNNING) when a shared box refused it: another program plays.
  int StartPlaySound(const char* fileName, int startPosition, unsigned char mode,
                     unsigned char param, bool flag);
  int StartPlaySoundCStr(CString fileName, int startPosition, unsigned char mode,
                         unsigned char param, bool flag);
  int StopPlaySound();
  int GetWriteSoundRate();
  uint32_t GetWriteSoundBytes();
  void SeekFilePointForTelInfo(int position);
  int SetPlayStatus(unsigned char on, unsigned char mode, unsigned char param, unsigned char flag);
  int FS_Open();
  int FS_Close();

  // Host buffers: the raw audio-in stream (frames with their markers) into the caller's
  // memory, and the caller's bytes to the box's audio out.
  // OpenReadSoundInPC: 1; -1; -2; -6 a recording is already running.
  // ReadSoundFromBufferToPC (buffer has room for length + 1 bytes): the number of bytes
  // copied, with a zero byte after them. It waits for the recorder's data and returns
  // fewer than `length` bytes (possibly 0) only when the stream has ended: the recorder
  // stopped, the stream was closed, the link was lost or the library is stopping. Bytes of
  // a buffer that a shorter read left over come first in the next call. 0 for a length of
  // 0 or less (which still starts the recorder); -1 link down; -2 audio-in thread not
  // running.
  // CloseReadSoundInPC: the bytes received since OpenReadSoundInPC; -1; -2; -3 the
  // recorder did not finish within 6 s (after the notice): its waiting read is then cut
  // off, so that the next stream can start, and ReadRecLength keeps the bytes received.
  // OpenWriteSoundToBuff: 1; -1; -2; -6 a playback is already running.
  // WriteSoundFromPCToBuffer: 512 when every 512-byte chunk was taken (also for a length
  // of 0 or less, which sends nothing); a last chunk shorter than 512 bytes is completed
  // with A-law silence (0xD5) to whole 256-byte packets. -1; -2 audio-out thread not
  // running or a null buffer; -3 a chunk was not taken within 0.2 s (it is sent when the
  // thread next looks; the next call first waits for it).
  // CloseWriteSoundToBuff: 1 stopped or nothing to stop; -1 link down, or the link failed
  // during the stream; -2; -3 the pass did not end within about 10 s.
  int OpenReadSoundInPC();
  int ReadSoundFromBufferToPC(unsigned char* buffer, int length);
  int32_t CloseReadSoundInPC();
  int OpenWriteSoundToBuff();
  int WriteSoundFromPCToBuffer(unsigned char* buffer, int length);
  int32_t CloseWriteSoundToBuff();

  // The test reply area, filled by reply types 240 and 241.
  unsigned char testReplyArea[64];

 private:
  bool started_ = false;  // this object holds one start of the library
};

// The same name at global scope, for programs written against it unqualified. A program
// with a CString of its own defines TAVRO_NO_GLOBAL_CSTRING before including this header
// and writes CKusb_IO::CString (or std::string) where it means the library's.
#ifndef TAVRO_NO_GLOBAL_CSTRING
using CString = CKusb_IO::CString;
#endif

#endif  // __cplusplus

#endif  // TAVRO_CKUSB_IO_H
