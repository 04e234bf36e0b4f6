// The TCP connections of a packet capture: link-layer frames in, each connection's two byte
// streams out, reassembled by sequence number (segments out of order, retransmitted, overlapping
// or lost are all found in real captures).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capture.h"

namespace scanlink::capture {

class TcpStreams {
 public:
  // One captured frame of the given link type; what is not IPv4 TCP is passed over.
  void Add(uint32_t linkType, const uint8_t* data, size_t size, int64_t timeUs);
  // The chosen connections into `recording`: each data connection that carries frames (the
  // others are passed over with a note) and the alarm connections of their scanners, each with its
  // own Connection entry and a begin (and, when seen, end) event, all in time order. Gaps and
  // doubts go to its warnings.
  void Read(const Selection& selection, Recording& recording) const;

 private:
  struct Segment {
    uint32_t seq;
    bool syn;
    bool finOrRst;
    std::vector<uint8_t> payload;
    uint32_t lost;  // payload bytes the capture did not keep (snap length)
    int64_t timeUs;
    size_t order;  // capture order among all segments
  };
  struct Side {
    uint32_t address;
    uint16_t port;
    bool operator<(const Side& o) const {
      return address != o.address ? address < o.address : port < o.port;
    }
    bool operator==(const Side& o) const { return address == o.address && port == o.port; }
  };
  struct Connection {
    Side a, b;             // a < b
    bool synSeen = false;  // a pure SYN tells which side is the server
    Side server{};
    std::vector<Segment> fromA, fromB;
    int64_t firstUs = 0;
    int64_t endUs = -1;  // its first FIN or RST
  };

  void AddIpv4(const uint8_t* ip, size_t size, int64_t timeUs);
  static std::vector<Packet> Reassemble(const std::vector<Segment>& segments, Direction direction,
                                        Channel channel, const std::string& name,
                                        std::vector<std::string>& warnings);

  std::vector<Connection> connections_;
  size_t segments_ = 0;
  size_t fragments_ = 0;
  size_t truncated_ = 0;
};

}  // namespace scanlink::capture
