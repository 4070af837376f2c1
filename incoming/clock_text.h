// The PC's local date and time as fixed-width decimal text.
#ifndef TAVRO_INCOMING_CLOCK_TEXT_H
#define TAVRO_INCOMING_CLOCK_TEXT_H

#include <ctime>
#include <string>

namespace tavro {

enum class ClockField { kYear, kMonth, kDay, kHour, kMinute, kSecond };

// One field of `when` in local time: the year in four digits, month (from 1), day, hour,
// minute and second in two, zero-padded.
std::string clockText(ClockField field, std::time_t when);

}  // namespace tavro

#endif  // TAVRO_INCOMING_CLOCK_TEXT_H
