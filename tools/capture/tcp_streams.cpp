#include "tcp_streams.h"

#include <algorithm>
#include <numeric>
#include <set>

#include "codec/framer.h"

namespace scanlink::capture {
namespace {

uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Be32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

constexpr uint16_t kEtherIpv4 = 0x0800;

std::string Endpoint(uint32_t address, uint16_t port) {
  return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
         std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255) + ":" +
         std::to_string(port);
}

std::string Address(uint32_t address) {
  const std::string e = Endpoint(address, 0);
  return e.substr(0, e.size() - 2);
}

// Whether a stream is this protocol: a whole frame at its start (or, when the start was not
// captured, within its first bytes), or a frame begun at its start that the capture cut off.
struct FrameProbe {
  size_t frames = 0, skippedFirst = 0;
  void OnFrame(const uint8_t*, size_t) { ++frames; }
  void OnDiscard(size_t n) {
    if (frames == 0) skippedFirst += n;
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) {}
};

bool CarriesFrames(const std::vector<Packet>& packets, bool startSeen) {
  codec::Framer framer;
  FrameProbe probe;
  size_t fed = 0;
  for (const Packet& p : packets) {
    if (fed >= 8192 || probe.frames > 0) break;
    framer.Feed(p.bytes.data(), p.bytes.size(), probe);
    fed += p.bytes.size();
  }
  if (probe.frames == 0) return fed > 0 && probe.skippedFirst == 0;
  return !startSeen || probe.skippedFirst == 0;
}

}  // namespace

void TcpStreams::Add(uint32_t linkType, const uint8_t* data, size_t size, int64_t timeUs) {
  switch (linkType) {
    case 1: {  // Ethernet, VLAN tags skipped
      size_t at = 12;
      while (at + 2 <= size && (Be16(data + at) == 0x8100 || Be16(data + at) == 0x88A8)) at += 4;
      if (at + 2 <= size && Be16(data + at) == kEtherIpv4)
        AddIpv4(data + at + 2, size - at - 2, timeUs);
      return;
    }
    case 113:  // Linux cooked v1
      if (size >= 16 && Be16(data + 14) == kEtherIpv4) AddIpv4(data + 16, size - 16, timeUs);
      return;
    case 276:  // Linux cooked v2
      if (size >= 20 && Be16(data) == kEtherIpv4) AddIpv4(data + 20, size - 20, timeUs);
      return;
    case 101:  // raw IP
    case 228:  // raw IPv4
      AddIpv4(data, size, timeUs);
      return;
    case 0:    // BSD loopback: address family in the writer's byte order
    case 108:  // OpenBSD loopback: in network order
      if (size >= 4 && (data[0] == 2 || data[3] == 2)) AddIpv4(data + 4, size - 4, timeUs);
      return;
    default:
      return;
  }
}

void TcpStreams::AddIpv4(const uint8_t* ip, size_t size, int64_t timeUs) {
  if (size < 20 || ip[0] >> 4 != 4 || ip[9] != 6) return;
  const size_t ihl = static_cast<size_t>(ip[0] & 15) * 4;
  const size_t total = Be16(ip + 2);
  if (ihl < 20 || total < ihl) return;
  if ((Be16(ip + 6) & 0x3FFF) != 0) {  // more fragments, or an offset
    ++fragments_;
    return;
  }
  const size_t have = std::min(total, size);
  if (have < ihl + 20) return;
  const uint8_t* tcp = ip + ihl;
  const size_t doff = static_cast<size_t>(tcp[12] >> 4) * 4;
  if (doff < 20 || ihl + doff > have) return;
  const uint8_t flags = tcp[13];
  const bool syn = (flags & 0x02) != 0;
  const bool finOrRst = (flags & 0x05) != 0;
  const Side src{Be32(ip + 12), Be16(tcp)};
  const Side dst{Be32(ip + 16), Be16(tcp + 2)};
  const Side a = src < dst ? src : dst;
  const Side b = src < dst ? dst : src;
  Segment segment{Be32(tcp + 4),
                  syn,
                  finOrRst,
                  std::vector<uint8_t>(tcp + doff, ip + have),
                  static_cast<uint32_t>(total - ihl - doff - (have - ihl - doff)),
                  timeUs,
                  segments_++};
  if (segment.lost > 0) ++truncated_;

  Connection* connection = nullptr;
  for (auto it = connections_.rbegin(); it != connections_.rend(); ++it) {
    if (it->a == a && it->b == b) {
      connection = &*it;
      break;
    }
  }
  const bool pureSyn = syn && (flags & 0x10) == 0;
  // A new SYN on a pair of ports that carried data already is a new connection.
  if (connection != nullptr && pureSyn) {
    const auto& sent = src == connection->a ? connection->fromA : connection->fromB;
    if (std::any_of(sent.begin(), sent.end(), [](const Segment& s) { return !s.payload.empty(); }))
      connection = nullptr;
  }
  if (connection == nullptr) {
    connections_.push_back(Connection{a, b, false, {}, {}, {}, timeUs});
    connection = &connections_.back();
  }
  if (pureSyn) {
    connection->synSeen = true;
    connection->server = dst;
  }
  if (finOrRst && connection->endUs < 0) connection->endUs = timeUs;
  (src == connection->a ? connection->fromA : connection->fromB).push_back(std::move(segment));
}

std::vector<Packet> TcpStreams::Reassemble(const std::vector<Segment>& segments,
                                           Direction direction, Channel channel,
                                           const std::string& name,
                                           std::vector<std::string>& warnings) {
  std::vector<Packet> out;
  if (segments.empty()) return out;
  // Offsets from the first segment, step by step, so sequence numbers may wrap.
  std::vector<int64_t> offset(segments.size());
  offset[0] = 0;
  for (size_t i = 1; i < segments.size(); ++i)
    offset[i] = offset[i - 1] + static_cast<int32_t>(segments[i].seq - segments[i - 1].seq);
  int64_t next = *std::min_element(offset.begin(), offset.end());
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].syn) {
      next = offset[i] + 1;  // the SYN takes one sequence number
      break;
    }
  }
  std::vector<size_t> order(segments.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t x, size_t y) { return offset[x] < offset[y]; });
  int64_t timeUs = -1;
  size_t gaps = 0;
  int64_t missing = 0;
  for (size_t i : order) {
    const Segment& s = segments[i];
    const int64_t start = offset[i] + (s.syn ? 1 : 0);
    const int64_t end = start + static_cast<int64_t>(s.payload.size());
    if (s.payload.empty() || end <= next) continue;  // no data, or all of it seen already
    if (start > next) {
      ++gaps;
      missing += start - next;
      next = start;
    }
    timeUs = std::max(timeUs, s.timeUs);
    Packet p;
    p.timeUs = timeUs;
    p.direction = direction;
    p.channel = channel;
    p.bytes.assign(s.payload.begin() + (next - start), s.payload.end());
    out.push_back(std::move(p));
    next = end;
  }
  if (gaps > 0)
    warnings.push_back(name + ": " + std::to_string(gaps) + " gap(s), " + std::to_string(missing) +
                       " bytes missing from the capture");
  return out;
}

void TcpStreams::Read(const Selection& selection, Recording& recording) const {
  std::vector<std::string>& warnings = recording.warnings;
  struct Chosen {
    const Connection* c;
    Side server, client;
    bool alarm;
  };
  std::vector<Chosen> chosen;
  std::set<uint32_t> scanners;  // addresses of the chosen data connections' scanners
  for (int pass = 0; pass < 2; ++pass) {
    for (const Connection& c : connections_) {
      const bool alarm = c.a.port == kAlarmPort || c.b.port == kAlarmPort;
      if (alarm != (pass == 1)) continue;
      Side server = c.server;
      if (!c.synSeen) {
        // Without the connection's start, the side on the known port is the scanner; else the
        // side on the lower port (clients take high, changing ports).
        const int known = alarm ? kAlarmPort : selection.port;
        server = known != 0 && (c.a.port == known || c.b.port == known)
                     ? (c.a.port == known ? c.a : c.b)
                     : (c.a.port < c.b.port ? c.a : c.b);
      }
      const Side client = server == c.a ? c.b : c.a;
      if (!selection.host.empty() && Address(server.address) != selection.host) continue;
      if (alarm ? scanners.count(server.address) == 0
                : selection.port != 0 && server.port != selection.port)
        continue;
      chosen.push_back({&c, server, client, alarm});
      if (!alarm) scanners.insert(server.address);
    }
  }
  size_t dataConnections = 0;
  for (const Chosen& k : chosen) {
    const Connection& c = *k.c;
    const std::string scanner = Endpoint(k.server.address, k.server.port);
    const std::string name = std::string(k.alarm ? "alarm" : "data") + " connection " + scanner +
                             " - " + Endpoint(k.client.address, k.client.port);
    const Channel channel = k.alarm ? Channel::kAlarm : Channel::kData;
    const bool serverIsA = k.server == c.a;
    std::vector<std::string> found;
    auto from = Reassemble(serverIsA ? c.fromA : c.fromB, Direction::kFromScanner, channel,
                           name + " (from the scanner)", found);
    auto to = Reassemble(serverIsA ? c.fromB : c.fromA, Direction::kToScanner, channel,
                         name + " (to the scanner)", found);
    if (from.empty() && to.empty()) continue;  // a connection that carried nothing
    if (!k.alarm && !CarriesFrames(from, c.synSeen) && !CarriesFrames(to, c.synSeen)) {
      recording.notes.push_back(name + ": not scanlink, passed over");
      continue;
    }
    warnings.insert(warnings.end(), found.begin(), found.end());
    if (!c.synSeen && !k.alarm && selection.port == 0)
      warnings.push_back(name + ": its start is not in the capture, the scanner taken to be " +
                         scanner);
    if (!k.alarm) ++dataConnections;
    const uint32_t index = static_cast<uint32_t>(recording.connections.size());
    recording.connections.push_back({scanner, Endpoint(k.client.address, k.client.port), channel});
    auto event = [&](Event e, int64_t timeUs) {
      Packet p;
      p.timeUs = timeUs;
      p.direction = Direction::kEvent;
      p.channel = channel;
      p.connection = index;
      p.event = e;
      const std::string text = name;
      p.bytes.assign(text.begin(), text.end());
      return p;
    };
    std::vector<Packet> all;
    all.push_back(event(Event::kConnectionBegins, c.firstUs));
    for (auto* part : {&from, &to})
      for (Packet& p : *part) {
        p.connection = index;
        all.push_back(std::move(p));
      }
    if (c.endUs >= 0) all.push_back(event(Event::kConnectionEnds, c.endUs));
    std::stable_sort(all.begin() + 1, all.end(),
                     [](const Packet& x, const Packet& y) { return x.timeUs < y.timeUs; });
    recording.packets.insert(recording.packets.end(), std::make_move_iterator(all.begin()),
                             std::make_move_iterator(all.end()));
  }
  std::stable_sort(recording.packets.begin(), recording.packets.end(),
                   [](const Packet& x, const Packet& y) { return x.timeUs < y.timeUs; });
  if (dataConnections == 0)
    warnings.push_back(selection.port != 0 || !selection.host.empty()
                           ? "no scanlink connection to " +
                                 (selection.host.empty() ? std::string("port") : selection.host) +
                                 (selection.port != 0 ? " " + std::to_string(selection.port) : "")
                           : std::string("no scanlink data connection in the capture"));
  if (fragments_ > 0)
    warnings.push_back(std::to_string(fragments_) + " IPv4 fragments passed over");
  if (truncated_ > 0)
    warnings.push_back(std::to_string(truncated_) +
                       " segments cut short by the capture's snap length");
}

}  // namespace scanlink::capture
