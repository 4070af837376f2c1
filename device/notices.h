#ifndef TAVRO_DEVICE_NOTICES_H
#define TAVRO_DEVICE_NOTICES_H

namespace tavro {

// The texts of the four notices, as the library shows them; tavro_notice_code() knows a
// notice by its text.
inline constexpr const char* kLinkLostMessage =  // three lines
    "               接入器连接不正常!\n"
    "或请先退出应用程序后，再拔出USB接头。\n"
    "           或USB链接头接触不良。";
inline constexpr const char* kNoUsedMessage = "NoUsed 0x02";
inline constexpr const char* kReceiveErrorMessage = "Receive Error!";
inline constexpr const char* kStopErrorMessage = "In StopReadSound Error!";

}  // namespace tavro

#endif  // TAVRO_DEVICE_NOTICES_H
