// tavro/notice.h: the notice handler, the count of a notice's repeats and the box in use.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include "device/state.h"
#include "library/context.h"
#include "platform/platform.h"
#include "tavro/events.h"
#include "tavro/notice.h"

tavro::NoticeHandler tavro::setNoticeHandler(NoticeHandler handler) {
  return platform::installNoticeHandler(std::move(handler));
}

bool tavro::boxInUse() {
  return linkState().boxHeldElsewhere.load() == 1;
}

bool tavro::boxInUse(const CKusb_IO& io) {
  return contextOf(&io).link.boxHeldElsewhere.load() == 1;
}

std::string tavro::noticeDevice() {
  const platform::NoticeSource* source = platform::noticeSource();
  return source != nullptr ? source->device : std::string();
}

int tavro_set_notice_handler(tavro_notice_handler handler, void* user) {
  tavro::NoticeHandler wrapped;
  if (handler != nullptr)
    wrapped = [handler, user](const std::string& text) {
      handler(tavro_notice_code(text.c_str()), text.c_str(), user);
    };
  tavro::setNoticeHandler(std::move(wrapped));
  return 1;
}

int tavro_box_in_use(void) {
  return tavro::boxInUse() ? 1 : 0;
}

int tavro_box_in_use_for(CKusb_IO* io) {
  return (io != nullptr ? tavro::boxInUse(*io) : tavro::boxInUse()) ? 1 : 0;
}

const char* tavro_notice_device(void) {
  const tavro::platform::NoticeSource* source = tavro::platform::noticeSource();
  return source != nullptr && !source->device.empty() ? source->device.c_str() : nullptr;
}

int tavro_notice_count(void) {
  return static_cast<int>(std::min<uint64_t>(tavro::platform::noticeCount(), INT_MAX));
}
