// The words of the verbs and of scenarios: numbers, switches, seconds and levels as typed.
#ifndef TAVRO_VBOX_VERB_WORDS_H
#define TAVRO_VBOX_VERB_WORDS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tavro::vbox {

// An unsigned number up to `max`, in `base` (0: as C writes it); no sign.
bool parseUnsigned(const std::string& s, unsigned long max, unsigned long& out, int base = 0);
// A byte in hexadecimal.
bool parseHexByte(const std::string& s, uint8_t& out);
// on/off, 1/0, true/false.
bool parseOnOff(const std::string& s, bool& out);
// Seconds from 0 to a day.
bool parseSeconds(const std::string& s, double& out);
// A level below full scale in dBm0, down to -lowest: "-20" and "20" both mean -20 dBm0.
bool parseLevel(std::string s, double lowest, double& out);
// Words of the form key=value go to `named`, the others to `plain`.
void sortWords(const std::vector<std::string>& words, std::vector<std::string>& plain,
               std::map<std::string, std::string>& named);

}  // namespace tavro::vbox

#endif  // TAVRO_VBOX_VERB_WORDS_H
