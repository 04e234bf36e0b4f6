#include "replay.h"

#include <algorithm>

namespace scanlink::sim {
namespace {

constexpr std::uint16_t kUnsolicited = 0xFFFF;
constexpr std::uint16_t kStartCodes[] = {4, 0xF004};

struct Cut {
  std::size_t packet;  // index of the packet holding the unit's last byte
  Bytes bytes;
  std::optional<Frame> frame;
};

// One direction's bytes cut into frames and the runs between them, each connection on its own.
// Packets of a TCP capture end anywhere, so frames are cut from the joined bytes; each keeps the
// packet that completed it.
std::vector<Cut> cut(const std::vector<RecordedPacket>& packets, bool to_scanner) {
  std::vector<Cut> out;
  Bytes all;
  std::vector<std::pair<std::size_t, std::size_t>> ends;  // (end offset, packet)
  auto cut_joined = [&] {
    auto packet_of = [&](std::size_t end) {
      auto it = std::lower_bound(ends.begin(), ends.end(), std::make_pair(end, std::size_t{0}));
      return it == ends.end() ? ends.back().second : it->second;
    };
    std::size_t at = 0;
    while (at < all.size()) {
      std::size_t end = at;
      std::optional<Frame> frame;
      if (all[at] != kSync) {
        end = std::find(all.begin() + static_cast<std::ptrdiff_t>(at), all.end(), kSync) -
              all.begin();
      } else if (all.size() - at >= kHeaderSize &&
                 all.size() - at >= kHeaderSize + get_u16(ByteView(all).subspan(at), 6)) {
        ByteView v = ByteView(all).subspan(at);
        std::size_t length = get_u16(v, 6);
        frame = Frame{v[1], get_u16(v, 2), get_u16(v, 4),
                      Bytes(v.begin() + kHeaderSize,
                            v.begin() + static_cast<std::ptrdiff_t>(kHeaderSize + length))};
        end = at + kHeaderSize + length;
      } else {
        end = all.size();  // a frame cut off by the end of its connection
      }
      out.push_back({packet_of(end),
                     Bytes(all.begin() + static_cast<std::ptrdiff_t>(at),
                           all.begin() + static_cast<std::ptrdiff_t>(end)),
                     std::move(frame)});
      at = end;
    }
    all.clear();
    ends.clear();
  };
  std::optional<std::uint32_t> connection;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const RecordedPacket& p = packets[i];
    if (p.alarm || p.to_scanner != to_scanner || p.bytes.empty() || !p.note.empty()) continue;
    if (connection && *connection != p.connection) cut_joined();
    connection = p.connection;
    all.insert(all.end(), p.bytes.begin(), p.bytes.end());
    ends.emplace_back(all.size(), i);
  }
  cut_joined();
  return out;
}

}  // namespace

Replay::Replay(const std::vector<RecordedPacket>& packets, ReplaySettings settings)
    : settings_(settings) {
  std::vector<Cut> requests = cut(packets, true);
  std::vector<Cut> received = cut(packets, false);
  // Where the scan began: the first start command, else the first packet.
  std::optional<std::size_t> start_packet;
  for (const Cut& c : requests) {
    if (c.frame && std::count(std::begin(kStartCodes), std::end(kStartCodes), c.frame->code)) {
      start_packet = c.packet;
      break;
    }
  }
  waits_for_start_ = start_packet.has_value();

  // Replies: frames from the scanner with the transaction id of the latest request before them.
  std::map<std::uint16_t, std::pair<std::uint16_t, std::size_t>> open;  // trans -> code, index
  std::size_t r = 0;
  std::vector<std::pair<std::size_t, Unit>> stream;  // packet, unit
  auto take_requests_up_to = [&](std::size_t packet) {
    for (; r < requests.size() && requests[r].packet <= packet; ++r) {
      const Cut& q = requests[r];
      if (!q.frame || q.frame->trans == kUnsolicited) continue;
      auto& seen = replies_[q.frame->code];
      seen.emplace_back();
      open[q.frame->trans] = {q.frame->code, seen.size() - 1};
    }
  };
  for (Cut& c : received) {
    take_requests_up_to(c.packet);
    if (c.frame && c.frame->trans != kUnsolicited) {
      if (auto it = open.find(c.frame->trans); it != open.end()) {
        replies_[it->second.first][it->second.second].push_back(std::move(*c.frame));
        continue;
      }
    }
    if (start_packet && c.packet < *start_packet) continue;  // before the scan: not part of it
    stream.push_back({c.packet, Unit{false, std::move(c.bytes)}});
  }
  take_requests_up_to(packets.size());
  for (std::size_t i = 0; i < packets.size(); ++i) {
    const RecordedPacket& p = packets[i];
    if (start_packet && i < *start_packet) continue;
    if (!p.note.empty()) stream.push_back({i, Unit{false, {}, p.note}});
    if (!p.alarm || p.to_scanner || !p.note.empty()) continue;
    stream.push_back({i, Unit{true, p.bytes}});
  }
  std::stable_sort(stream.begin(), stream.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  // Times relative to the start; a recording without times gets an even pace.
  std::size_t origin = start_packet.value_or(stream.empty() ? 0 : stream.front().first);
  std::int64_t origin_us = origin < packets.size() ? packets[origin].time_us : -1;
  double last = 0;
  for (std::size_t k = 0; k < stream.size(); ++k) {
    std::int64_t t = packets[stream[k].first].time_us;
    double at = (t >= 0 && origin_us >= 0)
                    ? static_cast<double>(t - origin_us) / 1e6
                    : static_cast<double>(k + 1) / std::max(settings_.untimed_rate, 0.001);
    last = std::max(last, at);  // never backwards, whatever the clock of the capture did
    stream_.push_back({last, std::move(stream[k].second)});
  }
}

std::optional<std::vector<Frame>> Replay::replies(std::uint16_t code, std::uint8_t module,
                                                  std::uint16_t trans) {
  auto it = replies_.find(code);
  if (it == replies_.end() || it->second.empty()) return std::nullopt;
  std::size_t n = asked_[code]++;
  std::vector<Frame> out = it->second[std::min(n, it->second.size() - 1)];
  for (Frame& f : out) {
    f.module = module;
    f.trans = trans;
  }
  return out;
}

void Replay::start(Clock::time_point now) {
  started_ = now;
  next_ = 0;
  finished_ = false;
}

std::optional<Replay::Clock::time_point> Replay::next_due() const {
  if (!started_ || next_ >= stream_.size()) return std::nullopt;
  return *started_ + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(stream_[next_].at_s / settings_.speed));
}

std::vector<Replay::Unit> Replay::due(Clock::time_point now) {
  std::vector<Unit> out;
  while (started_) {
    std::optional<Clock::time_point> at = next_due();
    if (!at) {
      if (!settings_.loop || stream_.empty()) {
        finished_ = true;
        started_.reset();
        break;
      }
      // Over again, from the end of the last pass (never a pass of no time: that would spin).
      double pass_s = std::max(stream_.back().at_s, 0.1);
      started_ = *started_ + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(pass_s / settings_.speed));
      next_ = 0;
      continue;
    }
    if (*at > now) break;
    out.push_back(stream_[next_++].unit);
  }
  return out;
}

}  // namespace scanlink::sim
