// The PC clock as text.
#include "incoming/clock_text.h"
#include "device/binding.h"

#include <cstdio>

#include "tavro/CKusb_IO.h"

using namespace tavro;

namespace tavro {

std::string clockText(ClockField field, std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  int value = 0;
  switch (field) {
    case ClockField::kYear:
      value = local.tm_year + 1900;
      break;
    case ClockField::kMonth:
      value = local.tm_mon + 1;
      break;
    case ClockField::kDay:
      value = local.tm_mday;
      break;
    case ClockField::kHour:
      value = local.tm_hour;
      break;
    case ClockField::kMinute:
      value = local.tm_min;
      break;
    case ClockField::kSecond:
      value = local.tm_sec;
      break;
  }
  char text[16];
  std::snprintf(text, sizeof text, field == ClockField::kYear ? "%04d" : "%02d", value);
  return text;
}

}  // namespace tavro

// Each getter reads the clock itself, so that one call is one look at the clock.
CKusb_IO::CString CKusb_IO::GetYear() {
  TAVRO_BIND_OBJECT();
  return clockText(ClockField::kYear, std::time(nullptr));
}
CKusb_IO::CString CKusb_IO::GetMoth() {
  TAVRO_BIND_OBJECT();
  return clockText(ClockField::kMonth, std::time(nullptr));
}
CKusb_IO::CString CKusb_IO::GetDay() {
  TAVRO_BIND_OBJECT();
  return clockText(ClockField::kDay, std::time(nullptr));
}
CKusb_IO::CString CKusb_IO::GetHour() {
  TAVRO_BIND_OBJECT();
  return clockText(ClockField::kHour, std::time(nullptr));
}
CKusb_IO::CString CKusb_IO::GetMin() {
  TAVRO_BIND_OBJECT();
  return clockText(ClockField::kMinute, std::time(nullptr));
}
CKusb_IO::CString CKusb_IO::GetSec() {
  TAVRO_BIND_OBJECT();
  return clockText(ClockField::kSecond, std::time(nullptr));
}
