// The virtual box: a telephone-line box on the virtual wire, in process.
//
// One VirtualBox publishes one device interface with its four pipes, answers the control
// requests and the command packets, and lets a test inject records, faults and line events and
// inspect everything the host sent. All member functions are thread-safe.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio.h"
#include "line.h"
#include "records.h"
#include "signals.h"
#include "wire_types.h"

namespace tavro::vbox {

struct LoggedCommand {
  Packet packet{};
  Clock::time_point time;
};

struct LoggedControl {
  uint32_t code = 0;
  uint32_t value = 0;
  uint32_t index = 0;
  std::vector<uint8_t> data;  // data stage of a host-to-device request
  bool succeeded = false;     // what the box answered
  Clock::time_point time;
};

struct BoxOptions {
  std::string name = "box0";  // device interface name; no '/' or '\'
  // The box belongs to one program at a time: the first to claim it or to connect a pipe.
  // The hold ends this long after that program's last connection closed (its own
  // reconnects within it keep the box), at once when the program exits, and at unplug.
  std::chrono::milliseconds holdGrace{2000};
  // False: a box of the earlier wire, which knows no claim request (it fails, as any
  // unknown code) and lets a new connection to a pipe replace the old one, whoever made it.
  bool claims = true;
};

class VirtualBox {
 public:
  using Options = BoxOptions;
  // Decides the answer to a command: std::nullopt = the box's own answer, an empty vector =
  // no answer. Called on the box's thread; it may call the box's other members.
  using Responder = std::function<std::optional<std::vector<Record>>(const Packet&)>;
  // Receives one human-readable line per event (connections, commands, control requests).
  using EventSink = std::function<void(const std::string&)>;

  // Plugs in at once; throws std::system_error when the socket files cannot be created, and
  // std::runtime_error (saying why) when a publish folder is one the library would not
  // trust: a symbolic link, not a directory, another user's, or writable by others.
  explicit VirtualBox(Options options = {});
  ~VirtualBox();  // unplugs and joins the box's thread
  VirtualBox(const VirtualBox&) = delete;
  VirtualBox& operator=(const VirtualBox&) = delete;

  // Unplugging closes every connection and removes the socket files; plugging creates them
  // anew (publish folders with mode 0700 when missing, checked as the constructor
  // does). Both return once done.
  void plug();
  void unplug();
  bool plugged() const;
  std::string devicePath() const;  // "<publish root>/<class>/<name>"; kept after unplug

  // Faults.
  void setProbeFails(bool fails);
  void setTransferSetupFails(bool fails);
  void setSilent(bool silent);                           // no answers to commands at all
  void setAnswerDelay(std::chrono::milliseconds delay);  // every answer comes this late
  void setResponder(Responder responder);                // empty function = none
  void setEventSink(EventSink sink);

  // Queues a raw record on the reply pipe (short lists are zero-padded to 64 bytes). False
  // when there is no reply connection.
  bool sendRecord(const Record& record);
  bool sendRecord(std::initializer_list<uint8_t> bytes);
  // Records dropped because the reply queue was full (the host did not read in time).
  uint64_t droppedRecords() const;

  // Line answers: 24 (flags value), 27 (type code), 36 (information block), 25 (flash
  // acknowledge, reply type 10 or 19), and whether hook commands are followed by a hook
  // status item.
  void setFlagsValue(uint32_t value);
  void setFlagsViaType9(bool viaType9);
  void setTypeCode(uint8_t code);
  void setInfoBlock(const std::array<uint8_t, 11>& info);
  void setFlashAck(uint8_t ack);
  void setFlashAckType(uint8_t type);
  void setReportHook(bool report);
  LineState lineState() const;
  std::array<uint8_t, kFlashSize> flash() const;

  // Line events; false when there is no reply connection (or the caller-ID message would not
  // fit a record).
  bool sendCallerId(CallerIdFormat format, const std::string& number,
                    const std::string& dateTime = "", const std::string& name = "",
                    bool leadFF = false);
  bool sendNoNumber();
  bool sendDtmf(uint8_t code);
  bool sendTone(uint8_t first, uint16_t second);
  bool sendHookStatus(bool offHook);  // also changes the line's hook state
  bool sendRing();
  // A call as a line brings it: `rings` ring reports, with the caller ID timed between
  // them as a country's exchange sends it, its record sent when its burst has sounded.
  // North American: ring 1 at once, the burst 0.5 s after its 2 s of ringing, later rings
  // every 6 s. ETSI: the dual-tone alerting signal (2130 + 2750 Hz, 100 ms), the burst
  // 100 ms after it, the first ring 0.5 s after the burst, later rings every 5 s.
  bool sendIncomingCall(CallerIdTiming timing, int rings, CallerIdFormat format,
                        const std::string& number, const std::string& dateTime = "",
                        const std::string& name = "");
  // While the box streams audio in, the events above also sound on the line: a caller ID as
  // its burst (FSK as set here, Bell 202 by default; a digit string as DTMF), a DTMF code as
  // its digit (styled as set here), a tone report as 450 Hz for half a second. A ring gives
  // silence, as the line interface of a real box hears it.
  void setCallerIdSignal(CallerIdSignal signal);
  void setDtmfStyle(const DtmfStyle& style);
  // Detection: the caller-ID, DTMF and tone events above only sound on the line, and the
  // box's detectors send the records for what they hear in whatever the line carries (a
  // wave file of a recorded call as well). The line then runs in its own time even while
  // nobody records it. Caller IDs are listened for in the modulation set above.
  void setDetect(bool detect);
  // Noise on the line, under the source and the signals, for as long as it is set (a new
  // setting starts the noise anew); std::nullopt = a quiet line.
  void setLineNoise(std::optional<LineNoise> noise);
  // A call-progress tone with its cadence on the line, from its start, until another one or
  // std::nullopt is set; it sounds in the audio only (no record), over the source and under
  // the signals.
  void setLineTone(std::optional<LineTone> tone);

  // Audio in: after command 7 with byte 1 = 1 and a transfer setup for audio in (direction
  // 0x81) the box streams 256-byte frames on the audio-in pipe until command 7 with byte 1 =
  // 0, at 32 frames per second times the pace (0 = as fast as the host reads). Frames the
  // pipe does not take in time are dropped whole and counted.
  void setLineSource(LineSource source);  // restarts the source
  void setAudioPace(double factor);
  // While stalled the audio-in stream sends nothing (a frame begun is finished) and commands
  // are answered as ever; the stream goes on when the stall ends.
  void setAudioStalled(bool stalled);
  void setFrameStatus(uint8_t status);      // status byte of every following frame
  void setFrameStatusOnce(uint8_t status);  // status byte of the next frame only (queued)
  void injectPartialFrame(size_t bytes);    // the first 1..255 bytes of a frame, before the next
  bool audioStreaming() const;
  uint64_t framesSent() const;  // whole frames written, since the box was made
  uint64_t droppedFrames() const;
  uint64_t partialFramesSent() const;
  bool waitForFrames(uint64_t n, std::chrono::milliseconds timeout) const;  // framesSent() >= n
  bool waitForDroppedFrames(uint64_t n, std::chrono::milliseconds timeout) const;

  // Audio out: while playback is on (command 9 with byte 1 = 1, answered by a go-ahead {9, 0})
  // every 512 bytes received earn another go-ahead, paced at one per 64 ms times the pace
  // (0 = at once). Every 256-byte packet received is captured.
  void setPlayPace(double factor);
  std::vector<uint8_t> playedAudio() const;
  void clearPlayedAudio();
  size_t packetsReceived() const;
  size_t goAheadsSent() const;  // go-aheads for blocks (not the one that answers command 9)
  bool waitForPackets(size_t n, std::chrono::milliseconds timeout) const;
  bool sendPlaybackFault();  // status item {3, 0} in a type 208 record

  // Inspection.
  std::vector<LoggedCommand> commands() const;
  std::vector<LoggedControl> controlRequests() const;
  void clearLog();
  bool waitForCommands(size_t n, std::chrono::milliseconds timeout) const;
  bool pipesConnected() const;  // every pipe has a connection
  bool waitForPipes(std::chrono::milliseconds timeout) const;
  bool waitForPipesClosed(std::chrono::milliseconds timeout) const;  // no pipe connected
  int connectionCount(int pipe) const;  // connections accepted so far on that pipe
  // The process that holds the box, -1 when none; pipe connections refused so far because
  // another process held the box.
  long holder() const;
  size_t refusedConnections() const;
  // Closes the pipe connections, as a link that fails, and stays published: the host
  // reconnects.
  void dropPipes();
  // Closes the connection of one pipe (0 to 3) alone, as a pipe that fails.
  void dropPipe(int pipe);
  size_t malformedMessages() const;  // command/audio messages of a wrong size, ignored

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tavro::vbox
