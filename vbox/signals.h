// The signals a telephone line carries, as 16-bit linear samples at 8000 a second: DTMF
// digits, caller-ID bursts (FSK or DTMF) and the 450 Hz call-progress tone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire_types.h"

namespace tavro::vbox {

using Samples = std::vector<int16_t>;

struct DtmfStyle {
  int onMs = 70;    // each digit sounds this long
  int offMs = 70;   // then this much silence
  int level = -10;  // dBm0 of the low tone; the high one is 2 dB louder (a typical twist)
};

// DTMF digits (0-9, *, #, A-D); other characters are skipped.
Samples dtmfSignal(const std::string& digits, const DtmfStyle& style = {});

// How a caller ID is carried.
enum class CallerIdSignal : uint8_t {
  Bell202,  // 1200 bit/s FSK, mark 1200 Hz, space 2200 Hz (North America)
  V23,      // 1200 bit/s FSK, mark 1300 Hz, space 2100 Hz (ETSI)
};

// The burst of a caller-ID record {4, 1, type, L, body, checksum}: single- and multiple-data
// messages as FSK with channel seizure, mark signal and checksum; a digit string as DTMF,
// started by 'A' and ended by 'C'. Empty for a record that is not a caller ID.
Samples callerIdBurst(const Record& record, CallerIdSignal signal);

// A tone of hz at level dBm0, ms long.
Samples toneSignal(int hz, int ms, int level = -13);

}  // namespace tavro::vbox
