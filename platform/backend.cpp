#include "platform/backend.h"

#include <algorithm>

namespace tavro::platform {
namespace {

class NullBackend : public Backend {
 public:
  const char* name() const override { return "null"; }
  std::vector<DeviceListing> enumerate() override { return {}; }
  std::unique_ptr<BackendDevice> open(const std::string&, std::string* reason, bool*) override {
    if (reason != nullptr) *reason = "no devices on the null backend";
    return nullptr;
  }
  // Nothing ever comes or goes.
  bool watchChanges(std::function<void(bool)>) override { return true; }
};

}  // namespace

std::vector<std::string> chooseBackends(const char* value, std::vector<std::string>* unknown) {
  std::vector<std::string> all(std::begin(kBackendOrder), std::end(kBackendOrder));
  if (value == nullptr || *value == '\0') return all;
  std::vector<std::string> named;
  std::string_view text(value);
  while (true) {
    const auto comma = text.find(',');
    std::string_view item = text.substr(0, comma);
    while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
    while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
    if (!item.empty()) {
      const bool known = item == "null" || std::find(all.begin(), all.end(), item) != all.end();
      if (known) {
        named.emplace_back(item);
      } else if (unknown != nullptr) {
        unknown->emplace_back(item);
      }
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  std::vector<std::string> chosen;
  for (const auto& name : all) {
    if (std::find(named.begin(), named.end(), name) != named.end()) chosen.push_back(name);
  }
  if (chosen.empty() && std::find(named.begin(), named.end(), "null") != named.end()) {
    chosen.push_back("null");
  }
  return chosen;
}

std::unique_ptr<Backend> makeNullBackend() {
  return std::make_unique<NullBackend>();
}

}  // namespace tavro::platform
