// Every text the user sees, in one place.
#ifndef OSTREL_TEXTS_H
#define OSTREL_TEXTS_H

#include <QString>

namespace ostrel {

inline constexpr char kProgramName[] = "Ostrel";
inline constexpr char kOrganisationName[] = "Tavro";
inline constexpr char kVersion[] = "1.0.0.1";
inline constexpr char kRecordingFile[] = "CallSignalFile.wav";

inline QString programTitle() {
  return QStringLiteral("Ostrel");
}
inline QString startCaption() {
  return QStringLiteral("信号测试");
}
inline QString stopCaption() {
  return QStringLiteral("停止测试");
}
inline QString cancelCaption() {
  return QStringLiteral("取消");
}
inline QString aboutCaption() {
  return QStringLiteral("关于");
}
inline QString aboutMenuEntry() {
  return QStringLiteral("关于 Ostrel(&A)...");
}
inline QString noDeviceMessage() {
  return QStringLiteral("PomerinVelto没有连接好!");
}
inline QString waitingMessage() {
  return QStringLiteral("正在等待 PomerinVelto 准备就绪...");
}

inline QString aboutTitle() {
  return QStringLiteral("关于 Ostrel");
}
inline QString aboutVersionLine() {
  return QStringLiteral("Ostrel 1.0 版");
}
inline QString aboutNoticeLine() {
  return QStringLiteral("电话线路盒信号测试程序：录制线路信号");
}
inline QString aboutSecondNoticeLine() {
  return QStringLiteral("版权所有 (C) 2026 Tavro");
}
inline QString okCaption() {
  return QStringLiteral("确定");
}

}  // namespace ostrel

#endif  // OSTREL_TEXTS_H
