// What a box's detectors hear on its line: DTMF digits, caller-ID bursts and the 450 Hz tone,
// turned into the records a box sends for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "vbox/signals.h"

namespace tavro::vbox {

class LineDetectors {
 public:
  // Caller IDs are listened for in one modulation, as a box of one country does.
  explicit LineDetectors(CallerIdSignal callerId);
  ~LineDetectors();
  LineDetectors(const LineDetectors&) = delete;
  LineDetectors& operator=(const LineDetectors&) = delete;

  // Hears the next samples of the line; gives the records for what it detected in them.
  std::vector<Record> hear(const int16_t* samples, size_t n);

  CallerIdSignal callerId() const { return callerId_; }

 private:
  struct Receivers;
  CallerIdSignal callerId_;
  std::unique_ptr<Receivers> rx_;
};

}  // namespace tavro::vbox
