// Reading recordings: our pcapng, tcpdump's pcap and pcapng, and the old raw stream files.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "capture.h"
#include "pcapng.h"
#include "tcp_streams.h"

namespace scanlink::capture {
namespace {

// Reads integers of either byte order from a block of the file.
struct Reader {
  const uint8_t* p;
  bool swap;
  uint16_t U16(size_t at) const {
    return swap ? static_cast<uint16_t>(p[at] << 8 | p[at + 1])
                : static_cast<uint16_t>(p[at + 1] << 8 | p[at]);
  }
  uint32_t U32(size_t at) const {
    const uint32_t lo = U16(at), hi = U16(at + 2);
    return swap ? lo << 16 | hi : hi << 16 | lo;
  }
};

// "key: value" lines; '#' in front of a line is allowed (the old files' header lines).
void ParseHeaderLine(std::string line, std::map<std::string, std::string>& header) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return;
  auto trim = [](std::string s) {
    s.erase(0, s.find_first_not_of(" \t"));
    s.erase(s.find_last_not_of(" \t") + 1);
    return s;
  };
  header[trim(line.substr(0, colon))] = trim(line.substr(colon + 1));
}

// A timestamp in units of 10^-n or 2^-n seconds, in microseconds.
int64_t ToMicroseconds(uint64_t ticks, uint8_t resolution, int64_t offsetSeconds) {
  const bool binary = (resolution & 0x80) != 0;
  const unsigned exponent = resolution & 0x7F;
  int64_t us;
  if (binary) {
    us = exponent >= 64 ? 0
                        : static_cast<int64_t>((static_cast<long double>(ticks) * 1000000) /
                                               static_cast<long double>(1ULL << exponent));
  } else if (exponent <= 6) {
    uint64_t scale = 1;
    for (unsigned i = exponent; i < 6; ++i) scale *= 10;
    us = static_cast<int64_t>(ticks * scale);
  } else {
    uint64_t scale = 1;
    for (unsigned i = 6; i < exponent && i < 25; ++i) scale *= 10;
    us = static_cast<int64_t>(exponent >= 26 ? 0 : ticks / scale);
  }
  return us + offsetSeconds * 1000000;
}

struct Interface {
  uint16_t linkType = 0;
  uint8_t resolution = 6;
  int64_t offsetSeconds = 0;
};

// One packet of our link type: the pseudo-header and the unit's bytes. The pseudo-header's last
// byte counts connections modulo 256 (0 in files from before it did); an event packet's first
// byte says which event.
void AddOurPacket(const uint8_t* data, size_t size, int64_t timeUs, Recording& r,
                  uint32_t& connection) {
  const bool event = size > kPseudoHeaderSize && data[1] == 2 && data[kPseudoHeaderSize] >= 1 &&
                     data[kPseudoHeaderSize] <= 4;
  if (size < kPseudoHeaderSize || data[0] != kPseudoHeaderVersion || (data[1] > 1 && !event) ||
      data[2] > 1) {
    r.warnings.push_back("packet " + std::to_string(r.packets.size() + 1) +
                         ": not a scanlink unit, passed over");
    return;
  }
  connection += static_cast<uint8_t>(data[3] - static_cast<uint8_t>(connection));
  Packet p;
  p.timeUs = timeUs;
  p.direction = static_cast<Direction>(data[1]);
  p.channel = static_cast<Channel>(data[2]);
  p.connection = connection;
  const size_t from = kPseudoHeaderSize + (event ? 1 : 0);
  if (event) p.event = static_cast<Event>(data[kPseudoHeaderSize]);
  p.bytes.assign(data + from, data + size);
  r.packets.push_back(std::move(p));
}

void ReadPcapng(const std::vector<uint8_t>& file, const Selection& selection, Recording& r) {
  r.format = "pcapng";
  uint32_t connection = 0;
  std::vector<Interface> interfaces;
  TcpStreams tcp;
  bool foreign = false;  // packets of other link types: a tcpdump capture
  size_t at = 0;
  bool swap = false;
  while (at < file.size()) {
    if (file.size() - at < 12) {
      r.warnings.push_back("file ends inside a block at byte " + std::to_string(at));
      break;
    }
    const uint8_t* block = file.data() + at;
    if (Reader{block, false}.U32(0) == pcapng::kSectionHeader) {
      const uint32_t magic = Reader{block, false}.U32(8);
      if (magic != pcapng::kByteOrderMagic && Reader{block, true}.U32(8) != pcapng::kByteOrderMagic)
        throw std::runtime_error("a pcapng section without its byte-order magic");
      swap = magic != pcapng::kByteOrderMagic;
      interfaces.clear();
    }
    const Reader in{block, swap};
    const uint32_t type = in.U32(0);
    const uint32_t length = in.U32(4);
    if (length < 12 || length % 4 != 0 || length > file.size() - at) {
      if (at == 0) throw std::runtime_error("not a readable pcapng file");
      r.warnings.push_back(length > file.size() - at && length % 4 == 0
                               ? "file ends inside a block at byte " + std::to_string(at)
                               : "unreadable block at byte " + std::to_string(at) +
                                     ", the rest passed over");
      break;
    }
    // Options: from `from` to the trailing length field.
    auto options = [&](size_t from, auto&& each) {
      size_t o = from;
      while (o + 4 <= length - 4) {
        const uint16_t code = in.U16(o), size = in.U16(o + 2);
        if (code == 0 || o + 4 + size > length - 4) break;
        each(code, block + o + 4, size);
        o += 4 + (size + 3u) / 4 * 4;
      }
    };
    if (type == pcapng::kSectionHeader && length >= 28) {
      options(24, [&](uint16_t code, const uint8_t* value, size_t size) {
        if (code != pcapng::kOptComment) return;
        const std::string text(value, value + size);
        size_t from = 0;
        while (from < text.size()) {
          size_t end = text.find('\n', from);
          if (end == std::string::npos) end = text.size();
          ParseHeaderLine(text.substr(from, end - from), r.header);
          from = end + 1;
        }
      });
    } else if (type == pcapng::kInterfaceDescription && length >= 20) {
      Interface i;
      i.linkType = in.U16(8);
      options(16, [&](uint16_t code, const uint8_t* value, size_t size) {
        if (code == pcapng::kIfTsresol && size >= 1) i.resolution = value[0];
        if (code == pcapng::kIfTsoffset && size >= 8)
          i.offsetSeconds = static_cast<int64_t>(
              static_cast<uint64_t>(Reader{value, swap}.U32(swap ? 0 : 4)) << 32 |
              Reader{value, swap}.U32(swap ? 4 : 0));
      });
      interfaces.push_back(i);
    } else if (type == pcapng::kEnhancedPacket || type == pcapng::kSimplePacket) {
      const bool enhanced = type == pcapng::kEnhancedPacket;
      const size_t dataAt = enhanced ? 28 : 16;
      const uint32_t id = enhanced ? in.U32(8) : 0;
      const uint32_t captured = enhanced ? in.U32(20) : in.U32(8);
      if (length < dataAt + 4 || id >= interfaces.size()) {
        r.warnings.push_back("packet block at byte " + std::to_string(at) +
                             " without its interface, passed over");
      } else {
        const size_t size = std::min<size_t>(captured, length - 4 - dataAt);
        const Interface& i = interfaces[id];
        const int64_t timeUs =
            enhanced ? ToMicroseconds(static_cast<uint64_t>(in.U32(12)) << 32 | in.U32(16),
                                      i.resolution, i.offsetSeconds)
                     : -1;
        if (i.linkType == kLinkTypeUser0) {
          AddOurPacket(block + dataAt, size, timeUs, r, connection);
        } else {
          foreign = true;
          tcp.Add(i.linkType, block + dataAt, size, timeUs);
        }
      }
    }
    at += length;
  }
  if (foreign) tcp.Read(selection, r);
}

void ReadPcap(const std::vector<uint8_t>& file, const Selection& selection, Recording& r) {
  r.format = "pcap";
  uint32_t connection = 0;
  if (file.size() < 24) throw std::runtime_error("pcap file shorter than its header");
  const uint32_t magic = Reader{file.data(), false}.U32(0);
  const bool swap = magic != 0xA1B2C3D4 && magic != 0xA1B23C4D;
  const Reader head{file.data(), swap};
  const bool nanoseconds = head.U32(0) == 0xA1B23C4D;
  const uint32_t linkType = head.U32(20) & 0xFFFF;
  TcpStreams tcp;
  size_t at = 24;
  while (at < file.size()) {
    if (file.size() - at < 16) {
      r.warnings.push_back("file ends inside a packet header at byte " + std::to_string(at));
      break;
    }
    const Reader in{file.data() + at, swap};
    const uint32_t captured = in.U32(8);
    if (captured > 262144) {
      r.warnings.push_back("unreadable packet header at byte " + std::to_string(at) +
                           ", the rest passed over");
      break;
    }
    if (captured > file.size() - at - 16) {
      r.warnings.push_back("file ends inside a packet at byte " + std::to_string(at));
      break;
    }
    const int64_t timeUs =
        static_cast<int64_t>(in.U32(0)) * 1000000 + (nanoseconds ? in.U32(4) / 1000 : in.U32(4));
    if (linkType == kLinkTypeUser0)
      AddOurPacket(file.data() + at + 16, captured, timeUs, r, connection);
    else
      tcp.Add(linkType, file.data() + at + 16, captured, timeUs);
    at += 16 + captured;
  }
  if (linkType != kLinkTypeUser0) tcp.Read(selection, r);
}

// The old files: '#' header lines ("# key: value"), which a raw stream never starts with (a
// frame starts with 0x55), then the received stream.
void ReadStream(const std::vector<uint8_t>& file, Recording& r) {
  r.format = "stream";
  size_t at = 0;
  while (at < file.size() && file[at] == '#') {
    size_t end = at;
    while (end < file.size() && file[end] != '\n') ++end;
    ParseHeaderLine(std::string(file.begin() + static_cast<ptrdiff_t>(at) + 1,
                                file.begin() + static_cast<ptrdiff_t>(end)),
                    r.header);
    at = end < file.size() ? end + 1 : end;
  }
  Packet p;
  p.bytes.assign(file.begin() + static_cast<ptrdiff_t>(at), file.end());
  r.packets.push_back(std::move(p));
}

}  // namespace

Recording ReadRecording(const std::string& path, const Selection& selection) {
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored))
    throw std::runtime_error("cannot read " + path + ": it is a directory");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
  Recording r;
  const uint32_t magic = file.size() >= 4 ? Reader{file.data(), false}.U32(0) : 0;
  try {
    if (magic == pcapng::kSectionHeader) {
      ReadPcapng(file, selection, r);
    } else if (magic == 0xA1B2C3D4 || magic == 0xD4C3B2A1 || magic == 0xA1B23C4D ||
               magic == 0x4D3CB2A1) {
      ReadPcap(file, selection, r);
    } else {
      ReadStream(file, r);
    }
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path + ": " + e.what());
  }
  return r;
}

std::vector<uint8_t> ScannerStream(const Recording& recording) {
  std::vector<uint8_t> stream;
  for (const auto& s : ScannerStreams(recording)) stream.insert(stream.end(), s.begin(), s.end());
  return stream;
}

std::vector<std::vector<uint8_t>> ScannerStreams(const Recording& recording) {
  std::vector<std::vector<uint8_t>> streams;
  std::map<uint32_t, size_t> index;
  for (const Packet& p : recording.packets) {
    if (p.direction != Direction::kFromScanner || p.channel != Channel::kData) continue;
    auto [it, added] = index.emplace(p.connection, streams.size());
    if (added) streams.emplace_back();
    streams[it->second].insert(streams[it->second].end(), p.bytes.begin(), p.bytes.end());
  }
  return streams;
}

std::string EventName(Event event) {
  switch (event) {
    case Event::kConnectionBegins:
      return "connection begins";
    case Event::kConnectionEnds:
      return "connection ends";
    case Event::kLinkLost:
      return "link lost";
    case Event::kLinkRestored:
      return "link restored";
    case Event::kNone:
      break;
  }
  return "event";
}

}  // namespace scanlink::capture
