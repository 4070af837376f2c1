/* The bits of the status word that GetTelStatus() returns, for C (TAVRO_STATUS_...) and
 * for C++ (tavro::k...Bit). */
#ifndef TAVRO_STATUS_H
#define TAVRO_STATUS_H

#define TAVRO_STATUS_CALLER_NUMBER 0x00000001u /* a caller number waits to be read */
#define TAVRO_STATUS_OFF_HOOK 0x00000002u      /* the line is held off hook */
#define TAVRO_STATUS_INITIALISED 0x00000004u   /* InitialUSB_IO has finished */
#define TAVRO_STATUS_PENDING 0x00000010u       /* a command awaits its answer */
#define TAVRO_STATUS_READER_READY 0x00000080u  /* the reply reader connected or gave up */
#define TAVRO_STATUS_LINK_FAULT 0x00000100u    /* the reply pipe failed; not all reopened */
#define TAVRO_STATUS_LINK_DOWN 0x00000200u     /* the link is not usable */
#define TAVRO_STATUS_LINK_LOST 0x00008000u     /* the link failed at least once */
#define TAVRO_STATUS_TONE 0x00020000u          /* a tone was reported */
#define TAVRO_STATUS_REPLY_3 0x00040000u       /* the box sent reply type 3 */
#define TAVRO_STATUS_REPLY_6 0x00080000u       /* the box sent reply type 6 */

#ifdef __cplusplus
#include <cstdint>

namespace tavro {
inline constexpr uint32_t kCallerNumberBit = TAVRO_STATUS_CALLER_NUMBER;
inline constexpr uint32_t kOffHookBit = TAVRO_STATUS_OFF_HOOK;
inline constexpr uint32_t kInitialisedBit = TAVRO_STATUS_INITIALISED;
inline constexpr uint32_t kPendingBit = TAVRO_STATUS_PENDING;
inline constexpr uint32_t kReaderReadyBit = TAVRO_STATUS_READER_READY;
inline constexpr uint32_t kLinkFaultBit = TAVRO_STATUS_LINK_FAULT;
inline constexpr uint32_t kLinkDownBit = TAVRO_STATUS_LINK_DOWN;
inline constexpr uint32_t kLinkLostBit = TAVRO_STATUS_LINK_LOST;
inline constexpr uint32_t kToneBit = TAVRO_STATUS_TONE;
inline constexpr uint32_t kReply3Bit = TAVRO_STATUS_REPLY_3;
inline constexpr uint32_t kReply6Bit = TAVRO_STATUS_REPLY_6;
}  // namespace tavro
#endif

#endif /* TAVRO_STATUS_H */
