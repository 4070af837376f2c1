#include "vbox/signals.h"

#include <spandsp.h>

#include <cctype>
#include <iterator>
#include <memory>

#include "vbox/records.h"

namespace tavro::vbox {

namespace {

// Runs a generator until it has nothing more to give.
template <typename Gen>
Samples drainGenerator(Gen generate) {
  Samples out;
  int16_t buf[160];
  for (;;) {
    const int n = generate(buf, int(std::size(buf)));
    if (n <= 0) return out;
    out.insert(out.end(), buf, buf + n);
  }
}

}  // namespace

Samples dtmfSignal(const std::string& digits, const DtmfStyle& style) {
  std::unique_ptr<dtmf_tx_state_t, decltype(&dtmf_tx_free)> tx(dtmf_tx_init(nullptr),
                                                               &dtmf_tx_free);
  if (!tx) return {};
  dtmf_tx_set_level(tx.get(), style.level, 2);
  dtmf_tx_set_timing(tx.get(), style.onMs, style.offMs);
  Samples out;
  for (char c : digits) {
    if (!digitCode(c)) continue;
    const char one[2] = {char(std::toupper(static_cast<unsigned char>(c))), 0};
    dtmf_tx_put(tx.get(), one, 1);
    Samples digit =
        drainGenerator([&](int16_t* buf, int max) { return dtmf_tx(tx.get(), buf, max); });
    out.insert(out.end(), digit.begin(), digit.end());
  }
  return out;
}

Samples callerIdBurst(const Record& record, CallerIdSignal signal) {
  if (record[0] != kCallerIdReply || record[1] != 1) return {};
  const uint8_t type = record[2];
  const size_t length = record[3];
  if (length > kMaxCallerIdBody) return {};
  if (type == uint8_t(CallerIdFormat::DigitString)) {
    std::string digits = "A";
    for (size_t i = 0; i < length; ++i) {
      const char c = char(record[4 + i]);
      if (digitCode(c)) digits += c;
    }
    return dtmfSignal(digits + "C");
  }
  const int standard = signal == CallerIdSignal::V23 ? ADSI_STANDARD_CLIP : ADSI_STANDARD_CLASS;
  std::unique_ptr<adsi_tx_state_t, decltype(&adsi_tx_free)> tx(adsi_tx_init(nullptr, standard),
                                                               &adsi_tx_free);
  if (!tx) return {};
  // Type, length and body: the transmitter adds the seizure, the marks and the checksum.
  if (adsi_tx_put_message(tx.get(), record.data() + 2, int(length + 2)) <= 0) return {};
  return drainGenerator([&](int16_t* buf, int max) { return adsi_tx(tx.get(), buf, max); });
}

Samples toneSignal(int hz, int ms, int level) {
  std::unique_ptr<tone_gen_descriptor_t, decltype(&tone_gen_descriptor_free)> desc(
      tone_gen_descriptor_init(nullptr, hz, level, 0, 0, ms, 0, 0, 0, 0),
      &tone_gen_descriptor_free);
  if (!desc) return {};
  std::unique_ptr<tone_gen_state_t, decltype(&tone_gen_free)> gen(
      tone_gen_init(nullptr, desc.get()), &tone_gen_free);
  if (!gen) return {};
  return drainGenerator([&](int16_t* buf, int max) { return tone_gen(gen.get(), buf, max); });
}

}  // namespace tavro::vbox
