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

enum class Direction : uint8_t { kFromScanner = 0, kToScanner = 1 };
enum class Channel : uint8_t { kData = 0, kAlarm = 1 };

struct Packet {
  int64_t timeUs = -1;  // UTC microseconds since 1970, -1 unknown
  Direction direction = Direction::kFromScanner;
  Channel channel = Channel::kData;
  std::vector<uint8_t> bytes;
};

struct Recording {
  std::string format;                         // "pcapng", "pcap", "stream" (the old .scl)
  std::map<std::string, std::string> header;  // decoder settings and notes
  std::vector<Packet> packets;                // in file order
  std::vector<std::string> warnings;          // gaps in a TCP stream, unreadable blocks...
};

// The link type of our recordings' packets, and the pseudo-header in front of their bytes:
// {version, direction, channel, 0}.
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr uint8_t kPseudoHeaderVersion = 1;
constexpr size_t kPseudoHeaderSize = 4;
// The scanner's alarm connection; on a tcpdump capture the other connection is the data one.
constexpr uint16_t kAlarmPort = 8050;

// Reads our pcapng, a tcpdump capture (pcap or pcapng with Ethernet, Linux cooked v1/v2, raw
// IPv4 or BSD loopback link types: IPv4 TCP, the data connection's two directions reassembled by
// sequence number; the connection whose port is not 8050 is the data one, or the one to
// `dataPort` when given), or an old `.scl` stream (one packet, timeUs -1). Throws
// std::runtime_error with a one-line message on an unreadable file.
Recording ReadRecording(const std::string& path, int dataPort = 0);

// The from-scanner data bytes of a recording, concatenated (what `decode` feeds to the frame
// cutter).
std::vector<uint8_t> ScannerStream(const Recording& recording);

// Writes our pcapng as units arrive; raw chunks in, frames out (it runs its own frame cutter on
// the from-scanner data). Safe to call from several threads at once.
class Recorder {
 public:
  // Throws std::runtime_error when the file cannot be created.
  Recorder(const std::string& path, const std::map<std::string, std::string>& header);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  void Received(Channel channel, const uint8_t* data, size_t size, int64_t timeUs);  // as read
  void Sent(Channel channel, const uint8_t* data, size_t size, int64_t timeUs);      // as sent
  // Writes what is pending (a partial frame at the end as skipped bytes) and closes. Later
  // calls write nothing.
  void Close();
  // False once a write failed (disk full...); the recording stops there.
  bool Ok() const;

 private:
  struct Cutter;
  void WritePacket(Direction direction, Channel channel, const uint8_t* data, size_t size,
                   int64_t timeUs);

  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool ok_ = true;
  std::unique_ptr<Cutter> cutter_;
};

}  // namespace scanlink::capture
