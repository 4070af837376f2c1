#include "tools/event_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/text.h"

namespace tavro::tool {
namespace {

std::string number(int64_t v) {
  return std::to_string(v);
}

std::string field(const char* name, const std::string& value) {
  return std::string(",\"") + name + "\":" + value;
}

const char* absenceName(uint8_t absence) {
  switch (absence) {
    case TAVRO_ABSENCE_PRIVATE:
      return "private";
    case TAVRO_ABSENCE_UNAVAILABLE:
      return "unavailable";
    case TAVRO_ABSENCE_NO_NUMBER:
      return "no-number";
    default:
      return nullptr;
  }
}

std::string nameOrNull(const char* name) {
  return name ? jsonString(name) : "null";
}

const char* messageName(uint8_t type) {
  switch (type) {
    case TAVRO_CALLER_ID_SINGLE:
      return "single-data";
    case TAVRO_CALLER_ID_MULTIPLE:
      return "multiple-data";
    case TAVRO_CALLER_ID_DTMF:
      return "dtmf";
    default:
      return nullptr;
  }
}

const char* hookCauseName(uint8_t cause) {
  switch (cause) {
    case TAVRO_HOOK_BY_CALL:
      return "call";
    case TAVRO_HOOK_BY_BOX:
      return "box";
    case TAVRO_HOOK_BY_AUDIO:
      return "audio";
    default:
      return "unknown";
  }
}

const char* endReasonName(uint8_t reason) {
  switch (reason) {
    case TAVRO_END_STOPPED:
      return "stopped";
    case TAVRO_END_DISK_FULL:
      return "disk-full";
    case TAVRO_END_SIZE_LIMIT:
      return "size-limit";
    case TAVRO_END_FILE_ERROR:
      return "file-error";
    case TAVRO_END_LINK_LOST:
      return "link-lost";
    default:
      return "unknown";
  }
}

const char* noticeName(int32_t code) {
  switch (code) {
    case TAVRO_NOTICE_LINK_LOST:
      return "link-lost";
    case TAVRO_NOTICE_NO_USED:
      return "no-used";
    case TAVRO_NOTICE_RECEIVE_ERROR:
      return "receive-error";
    case TAVRO_NOTICE_STOP_ERROR:
      return "stop-error";
    default:
      return "unknown";
  }
}

std::string two(int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

Event callerId(const tavro_caller_id& c) {
  // The texts come from the line: terminated within their arrays whatever was sent.
  const std::string num(c.number, strnlen(c.number, sizeof c.number));
  const std::string name(c.name, strnlen(c.name, sizeof c.name));
  const char* numberAbsence = absenceName(c.number_absence);
  const char* nameAbsence = absenceName(c.name_absence);

  std::string f = "\"number\":" + (num.empty() ? std::string("null") : jsonString(num));
  f += field("number_absence", nameOrNull(numberAbsence));
  f += field("name", name.empty() ? "null" : jsonString(name));
  f += field("name_absence", nameOrNull(nameAbsence));
  const bool dated = c.has_date_time != 0;
  f += field("month", dated ? number(c.month) : "null");
  f += field("day", dated ? number(c.day) : "null");
  f += field("hour", dated ? number(c.hour) : "null");
  f += field("minute", dated ? number(c.minute) : "null");
  f += field("message", nameOrNull(messageName(c.message_type)));
  f += field("checksum_valid", c.checksum_valid ? "true" : "false");
  std::string raw;
  for (size_t i = 0; i < c.raw_length && i < sizeof c.raw; ++i) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02x", c.raw[i]);
    raw += buf;
  }
  f += field("raw", jsonString(raw));

  std::string t;
  if (!num.empty())
    t = terminalText(num);
  else if (numberAbsence && c.number_absence != TAVRO_ABSENCE_NO_NUMBER)
    t = numberAbsence;
  else
    t = "no number";
  if (!name.empty())
    t += " \"" + terminalText(name) + "\"";
  else if (nameAbsence)
    t += std::string(" (name ") + nameAbsence + ")";
  if (dated) t += " " + two(c.month) + "-" + two(c.day) + " " + two(c.hour) + ":" + two(c.minute);
  // Only a message with a checksum can have a wrong one; digit strings count as right.
  if (!c.checksum_valid && messageName(c.message_type)) t += " (checksum wrong)";
  return {"call", f, t};
}

std::string percent(int32_t permille) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.1f%%", permille / 10.0);
  return buf;
}

}  // namespace

int64_t monotonicNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

std::string eventLine(const Event& e, bool json, std::string_view device) {
  std::time_t secs = std::chrono::system_clock::to_time_t(e.when);
  auto sinceEpoch =
      std::chrono::duration_cast<std::chrono::milliseconds>(e.when.time_since_epoch());
  int ms = static_cast<int>(sinceEpoch.count() % 1000);
  if (ms < 0) ms += 1000;
  std::tm local{};
  localtime_r(&secs, &local);
  char time[32];
  std::snprintf(time, sizeof time, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                ms);
  if (json) {
    const std::string at = device.empty() ? "" : ",\"device\":" + jsonString(device);
    return "{\"time\":" + jsonString(time) + at + ",\"event\":" + jsonString(e.name) +
           (e.fields.empty() ? "" : ",") + e.fields + "}";
  }
  const std::string at = device.empty() ? "" : terminalText(device) + " ";
  return std::string(time) + " " + at + e.name + (e.text.empty() ? "" : " ") + e.text;
}

std::optional<Event> EventReport::describe(const tavro_event& e, int64_t monotonicNow) {
  Event out{"", "", ""};
  const auto& u = e.u;
  switch (e.kind) {
    case TAVRO_EVENT_RING:
      out = {"ring", "", ""};
      break;
    case TAVRO_EVENT_CALLER_ID:
      out = callerId(u.caller_id);
      break;
    case TAVRO_EVENT_DTMF: {
      const char key = u.dtmf.key ? u.dtmf.key : '?';
      out = {"dtmf",
             "\"code\":" + number(u.dtmf.code) + field("key", jsonString(std::string(1, key))),
             std::string(1, key) + " (code " + number(u.dtmf.code) + ")"};
      break;
    }
    case TAVRO_EVENT_TONE: {
      const std::string a = number(u.tone.first), b = number(u.tone.second);
      out = {"tone",
             "\"values\":[" + a + "," + b + "]" + field("tone", u.tone.tone ? "true" : "false"),
             a + " " + b + (u.tone.tone ? " (tone on the line)" : "")};
      break;
    }
    case TAVRO_EVENT_HOOK: {
      if (u.hook.off_hook == hook_) return std::nullopt;
      hook_ = u.hook.off_hook;
      const char* state = u.hook.off_hook ? "off" : "on";
      const char* cause = hookCauseName(u.hook.cause);
      out = {"hook", "\"state\":" + jsonString(state) + field("cause", jsonString(cause)),
             std::string(state) + " (" + cause + ")"};
      break;
    }
    case TAVRO_EVENT_LINK_LOST:
    case TAVRO_EVENT_LINK_BACK: {
      const bool up = e.kind == TAVRO_EVENT_LINK_BACK;
      if (up == up_) return std::nullopt;
      up_ = up;
      const char* state = up ? (everUp_ ? "back" : "up") : "lost";
      everUp_ = everUp_ || up;
      out = {"link", "\"state\":" + jsonString(state), state};
      break;
    }
    case TAVRO_EVENT_RECORDING_ENDED:
    case TAVRO_EVENT_STREAM_ENDED: {
      const char* reason = endReasonName(u.recording.reason);
      out = {e.kind == TAVRO_EVENT_STREAM_ENDED ? "stream-ended" : "recording-ended",
             "\"bytes\":" + number(u.recording.bytes) + field("reason", jsonString(reason)),
             number(u.recording.bytes) + " bytes, " + reason};
      break;
    }
    case TAVRO_EVENT_PLAYBACK_PROGRESS:
    case TAVRO_EVENT_PLAYBACK_ENDED: {
      const bool ended = e.kind == TAVRO_EVENT_PLAYBACK_ENDED;
      std::string f =
          "\"permille\":" + number(u.playback.permille) + field("bytes", number(u.playback.bytes));
      std::string t = percent(u.playback.permille) + " (" + number(u.playback.bytes) + " bytes)";
      if (ended) {
        const char* reason = endReasonName(u.playback.reason);
        f += field("reason", jsonString(reason));
        t += std::string(", ") + reason;
      }
      out = {ended ? "playback-ended" : "playback-progress", f, t};
      break;
    }
    case TAVRO_EVENT_NOTICE: {
      const std::string text(u.notice.text, strnlen(u.notice.text, sizeof u.notice.text));
      const char* code = noticeName(u.notice.code);
      out = {"notice", "\"code\":" + jsonString(code) + field("text", jsonString(text)),
             std::string(code) + ": " + terminalText(text)};
      break;
    }
    case TAVRO_EVENT_OVERFLOW:
      out = {"overflow", "\"dropped\":" + number(u.overflow.dropped),
             number(u.overflow.dropped) + " events lost"};
      break;
    default:
      out = {"unknown", "\"kind\":" + number(e.kind), "kind " + number(e.kind)};
      break;
  }
  // Every event carries its number and its time on the library's clock.
  std::string common =
      "\"sequence\":" + number(e.sequence) + field("monotonic_ns", number(e.time_ns));
  out.fields = out.fields.empty() ? common : out.fields + "," + common;
  const int64_t age = monotonicNow - e.time_ns;
  out.when = std::chrono::system_clock::now() -
             std::chrono::duration_cast<std::chrono::system_clock::duration>(
                 std::chrono::nanoseconds(age > 0 ? age : 0));
  return out;
}

}  // namespace tavro::tool
