// Writes a short made-up session with the capture library's Recorder, for the dissector's checks:
// a login and its reply, a TD start with its time and its result, a report with a GPS text, damaged
// bytes with a frame after them in the same read, alarm bytes both ways, a frame cut by the end
// of its connection, and a new connection with the link's loss and return.  make_recording FILE
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "capture/capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using scanlink::capture::Channel;

Bytes Frame(uint16_t code, uint16_t trans, const Bytes& payload) {
  Bytes f = {0x55,
             20,
             static_cast<uint8_t>(code >> 8),
             static_cast<uint8_t>(code),
             static_cast<uint8_t>(trans >> 8),
             static_cast<uint8_t>(trans),
             static_cast<uint8_t>(payload.size() >> 8),
             static_cast<uint8_t>(payload.size())};
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

Bytes Text(const std::string& text, size_t size) {
  Bytes b(text.begin(), text.end());
  b.resize(size, 0);
  return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_recording FILE\n");
    return 2;
  }
  try {
    scanlink::capture::Recorder r(argv[1], {{"finger-test", "0"}, {"scanner", "10.0.0.2"}});
    const int64_t t0 = 1'765'300'000'000'000;  // 2025-12-09 17:06:40 UTC
    const Bytes login = Frame(43, 1, Cat({Text("fieldeng", 16), Text("secret", 16)}));
    r.Sent(Channel::kData, login.data(), login.size(), t0);
    const Bytes family = Frame(44, 1, {0, 0, 0, 21});
    r.Received(Channel::kData, family.data(), family.size(), t0 + 12'500);
    // 2025-12-09 17:07:30: years from 1900, months from 0.
    const Bytes start = Frame(0xF004, 2, {0, 125, 11, 9, 17, 7, 30});
    r.Sent(Channel::kData, start.data(), start.size(), t0 + 1'000'000);
    const Bytes result = Frame(0xF006, 2, {0, 0});
    r.Received(Channel::kData, result.data(), result.size(), t0 + 1'004'000);
    const Bytes values = Frame(36, 0xFFFF,
                               Cat({{1},
                                    Text("$GPGGA,170800.00,3954.0000,N,11624.0600,E,1,08", 119),
                                    {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 1, 0, 42}}));
    const Bytes damaged = Cat({{0x55, 0x00, 0x01}, Frame(37, 0xFFFF, {0, 7})});
    const Bytes read = Cat({values, damaged});
    r.Received(Channel::kData, read.data(), read.size(), t0 + 2'000'000);
    const Bytes alarm = {'A', 'L', 0x55};
    r.Received(Channel::kAlarm, alarm.data(), alarm.size(), t0 + 2'500'000);
    r.Sent(Channel::kAlarm, alarm.data(), 2, t0 + 2'600'000);
    const Bytes cut = Frame(37, 0xFFFF, {0, 8});
    r.Received(Channel::kData, cut.data(), 5, t0 + 3'000'000);
    // The connection ends there, and the frame with it; the next one starts afresh.
    using scanlink::capture::Event;
    r.Note(Event::kConnectionEnds, Channel::kData, "10.0.0.2:5000", t0 + 3'100'000);
    r.Note(Event::kLinkLost, Channel::kData, "", t0 + 3'200'000);
    r.Note(Event::kConnectionBegins, Channel::kData, "10.0.0.2:5000", t0 + 4'000'000);
    r.Received(Channel::kData, cut.data(), cut.size(), t0 + 4'100'000);
    r.Note(Event::kLinkRestored, Channel::kData, "", t0 + 4'200'000);
    r.Close();
    return r.Ok() ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_recording: %s\n", e.what());
    return 1;
  }
}
