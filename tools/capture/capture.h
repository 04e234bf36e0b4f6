// Recordings of a session with the scanner: our own pcapng files (written by Recorder), packet
// captures of a real session taken with tcpdump (pcap or pcapng), and the older raw stream files
// (.scl). Plain file I/O, so it builds wherever the command line does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace scanlink::capture {

// kEvent: no bytes of the wire but something that happened to the session (`event` says what,
// `bytes` hold a note in UTF-8).
enum class Direction : uint8_t { kFromScanner = 0, kToScanner = 1, kEvent = 2 };
enum class Channel : uint8_t { kData = 0, kAlarm = 1 };
enum class Event : uint8_t {
  kNone = 0,
  kConnectionBegins = 1,  // each connection is a stream of its own: frames never span two
  kConnectionEnds = 2,
  kLinkLost = 3,  // as the library reported it to the application
  kLinkRestored = 4,
};

struct Packet {
  int64_t timeUs = -1;  // UTC microseconds since 1970, -1 unknown
  Direction direction = Direction::kFromScanner;
  Channel channel = Channel::kData;
  std::vector<uint8_t> bytes;
  // Which connection the bytes travelled on: a frame is cut from one connection's bytes only.
  // Index into Recording::connections when that is not empty.
  uint32_t connection = 0;
  Event event = Event::kNone;
};

// A TCP connection of a packet capture: the scanner's end and the client's ("a.b.c.d:port").
struct Connection {
  std::string scanner, client;
  Channel channel = Channel::kData;
};

// Which connections of a packet capture to read: those whose scanner end has this address and
// port (empty, 0: any).
struct Selection {
  std::string host;
  int port = 0;
};

struct Recording {
  std::string format;                         // "pcapng", "pcap", "stream" (the old .scl)
  std::map<std::string, std::string> header;  // decoder settings and notes
  std::vector<Packet> packets;                // in file order
  std::vector<std::string> warnings;          // gaps in a TCP stream, unreadable blocks...
  std::vector<Connection> connections;        // packet captures only: what Packet::connection names
  std::vector<std::string> notes;             // what was passed over and why (not damage)
};

std::string EventName(Event event);

// The link type of our recordings' packets, and the pseudo-header in front of their bytes:
// {version, direction, channel, 0}.
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr uint8_t kPseudoHeaderVersion = 1;
constexpr size_t kPseudoHeaderSize = 4;
// The scanner's alarm connection; on a tcpdump capture the other connection is the data one.
constexpr uint16_t kAlarmPort = 8050;

// Reads our pcapng, a tcpdump capture (pcap or pcapng with Ethernet, Linux cooked v1/v2, raw
// IPv4 or BSD loopback link types: IPv4 TCP, each connection's two directions reassembled by
// sequence number on their own; a connection on port 8050 is an alarm one, any other that carries
// frames a data one, the rest are passed over with a note), or an old `.scl` stream (one packet,
// timeUs -1). Throws std::runtime_error with a one-line message on an unreadable file.
Recording ReadRecording(const std::string& path, const Selection& selection = {});
// The old form: `dataPort` chooses the scanner's port.
inline Recording ReadRecording(const std::string& path, int dataPort) {
  return ReadRecording(path, Selection{{}, dataPort});
}

// The from-scanner data bytes of a recording, concatenated.
std::vector<uint8_t> ScannerStream(const Recording& recording);
// The same, one stream per connection, in the order the connections began.
std::vector<std::vector<uint8_t>> ScannerStreams(const Recording& recording);

// Writes our pcapng as units arrive; raw chunks in, frames out (it runs its own frame cutter on
// the from-scanner data). Safe to call from several threads at once.
class Recorder {
 public:
  // Throws std::runtime_error when the file cannot be created.
  Recorder(const std::string& path, const std::map<std::string, std::string>& header);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Long drives: a new file once this many bytes or microseconds went into one (0: never).
  // The files are named PATH with -0001, -0002... before its extension.
  struct Split {
    uint64_t bytes = 0;
    int64_t us = 0;
  };
  Recorder(const std::string& path, const std::map<std::string, std::string>& header, Split split);

  void Received(Channel channel, const uint8_t* data, size_t size, int64_t timeUs);  // as read
  void Sent(Channel channel, const uint8_t* data, size_t size, int64_t timeUs);      // as sent
  // A connection begins or ends, the link is lost or restored. A new data connection is a new
  // stream: what is pending of the old one (a frame it never finished) is written to the old one.
  void Note(Event event, Channel channel, const std::string& text, int64_t timeUs);
  // A header entry learned during the session (the finger setting a scan mode chose): in the
  // header of each file begun from now on.
  void SetHeader(const std::string& key, const std::string& value);
  // Writes what is pending (a partial frame at the end as skipped bytes) and closes. Later
  // calls write nothing.
  void Close();
  // False once a write failed (disk full...); the recording stops there, and each file keeps
  // every whole packet written before.
  bool Ok() const;
  std::string Error() const;               // why not Ok
  std::vector<std::string> Files() const;  // written so far, in order

 private:
  struct Cutter;
  void WritePacket(Direction direction, Channel channel, const uint8_t* data, size_t size,
                   int64_t timeUs, uint8_t event = 0);
  void Open(int64_t timeUs);
  void Fail(const std::string& what);
  void FlushPending();
  void Flush();

  mutable std::mutex mutex_;
  std::string path_;
  std::map<std::string, std::string> header_;
  Split split_;
  std::FILE* file_ = nullptr;
  bool ok_ = true;
  std::string error_;
  std::unique_ptr<Cutter> cutter_;
  uint32_t connection_ = 0;  // 0 until a connection is said to begin
  uint64_t fileBytes_ = 0;   // whole blocks written to the current file
  int64_t fileStartUs_ = -1;
  std::vector<std::string> files_;
};

}  // namespace scanlink::capture
