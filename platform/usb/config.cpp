#include "platform/usb/config.h"

#include <dlfcn.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>

// The library's folder relative to the installation's prefix ("lib", or
// "lib/x86_64-linux-gnu" in a Debian system prefix).
#ifndef TAVRO_INSTALL_LIBDIR
#define TAVRO_INSTALL_LIBDIR "lib"
#endif

namespace tavro::platform::usb {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

// A number in decimal, or in hexadecimal with 0x; false unless all of `text` is one that
// is at most `max`.
bool parseNumber(std::string_view text, unsigned max, unsigned& out) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text.remove_prefix(2);
    base = 16;
  }
  if (text.empty()) return false;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size() || value > max) return false;
  out = value;
  return true;
}

// "vvvv:pppp", both four hexadecimal digits.
bool parseId(std::string_view text, DeviceIdentity& id) {
  if (text.size() != 9 || text[4] != ':') return false;
  unsigned vendor = 0;
  unsigned product = 0;
  auto hex4 = [](std::string_view s, unsigned& v) {
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    return ec == std::errc() && end == s.data() + s.size();
  };
  if (!hex4(text.substr(0, 4), vendor) || !hex4(text.substr(5, 4), product)) return false;
  id.vendor = static_cast<uint16_t>(vendor);
  id.product = static_cast<uint16_t>(product);
  return true;
}

bool parseEndpoints(std::string_view text, std::array<uint8_t, 4>& out) {
  for (size_t i = 0; i < out.size(); ++i) {
    const auto comma = text.find(',');
    const bool last = i + 1 == out.size();
    if (last != (comma == std::string_view::npos)) return false;
    unsigned address = 0;
    if (!parseNumber(text.substr(0, comma), 0xFF, address)) return false;
    out[i] = static_cast<uint8_t>(address);
    if (!last) text.remove_prefix(comma + 1);
  }
  return true;
}

bool parseOption(std::string_view option, DeviceIdentity& id) {
  const auto eq = option.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view key = option.substr(0, eq);
  const std::string_view value = option.substr(eq + 1);
  unsigned number = 0;
  if (key == "interface") {
    if (!parseNumber(value, 255, number)) return false;
    id.interface = static_cast<int>(number);
    return true;
  }
  if (key == "request") {
    if (!parseNumber(value, 0xFF, number)) return false;
    id.request = static_cast<uint8_t>(number);
    return true;
  }
  if (key == "endpoints") {
    std::array<uint8_t, 4> endpoints{};
    if (!parseEndpoints(value, endpoints)) return false;
    id.endpoints = endpoints;
    return true;
  }
  if (key == "detach") {
    if (value != "yes" && value != "no") return false;
    id.detachKernelDriver = value == "yes";
    return true;
  }
  return false;
}

}  // namespace

const DeviceIdentity* UsbConfig::find(uint16_t vendor, uint16_t product) const {
  for (const auto& d : devices) {
    if (d.vendor == vendor && d.product == product) return &d;
  }
  return nullptr;
}

void parseIdList(std::string_view text, UsbConfig& config) {
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = trim(text.substr(0, comma));
    DeviceIdentity id;
    if (!item.empty()) {
      if (parseId(item, id)) {
        config.devices.push_back(id);
      } else {
        config.problems.push_back("TAVRO_USB_IDS: not a vvvv:pppp id: " + std::string(item));
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
}

void parseConfigFile(std::string_view text, const std::string& origin, UsbConfig& config) {
  int lineNumber = 0;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++lineNumber;
    if (const auto hash = line.find('#'); hash != std::string_view::npos) {
      line = line.substr(0, hash);
    }
    line = trim(line);
    if (line.empty()) continue;

    std::istringstream words{std::string(line)};
    std::string word;
    words >> word;
    DeviceIdentity id;
    std::string problem;
    if (!parseId(word, id)) {
      problem = "not a vvvv:pppp id: " + word;
    } else {
      while (words >> word) {
        if (!parseOption(word, id)) {
          problem = "unknown option or value: " + word;
          break;
        }
      }
    }
    if (problem.empty()) {
      config.devices.push_back(id);
    } else {
      config.problems.push_back(origin + ":" + std::to_string(lineNumber) + ": " + problem);
    }
  }
}

std::string configFolderFor(const std::string& objectPath, std::string_view libdir) {
  std::error_code ec;
  const std::string folder =
      std::filesystem::weakly_canonical(objectPath, ec).parent_path().string();
  if (ec) return "/etc/tavro";
  // The prefix is what is left of the folder without the library's (or the programs')
  // folder at its end.
  std::optional<std::string> prefix;
  for (const std::string_view tail : {libdir, std::string_view("bin")}) {
    const std::string end = "/" + std::string(tail);
    if (!tail.empty() && folder.size() >= end.size() &&
        folder.compare(folder.size() - end.size(), end.size(), end) == 0) {
      prefix = folder.substr(0, folder.size() - end.size());
      break;
    }
  }
  if (!prefix || prefix->empty() || *prefix == "/usr") return "/etc/tavro";
  return *prefix + "/etc/tavro";
}

std::string configFilePath() {
  // Where this code is: the library, or a program that carries it.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&configFilePath), &info) == 0 || info.dli_fname == nullptr) {
    return "/etc/tavro/usb.conf";
  }
  return configFolderFor(info.dli_fname, TAVRO_INSTALL_LIBDIR) + "/usb.conf";
}

UsbConfig loadUsbConfig() {
  UsbConfig config;
  if (const char* ids = std::getenv("TAVRO_USB_IDS")) parseIdList(ids, config);
  const std::string path = configFilePath();
  // Close-on-exec, as every descriptor of the library: a program that another thread
  // starts meanwhile inherits nothing of it.
  if (std::FILE* file = std::fopen(path.c_str(), "re")) {
    std::string text;
    char chunk[4096];
    while (const size_t n = std::fread(chunk, 1, sizeof chunk, file)) text.append(chunk, n);
    std::fclose(file);
    parseConfigFile(text, path, config);
  }
  return config;
}

}  // namespace tavro::platform::usb
