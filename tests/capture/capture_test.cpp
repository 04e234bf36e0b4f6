// Recordings: our pcapng written and read back unit for unit, tcpdump captures reassembled
// however TCP delivered the segments, damaged files read as far as they go.
#include "capture/capture.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture/pcapng.h"
#include "transport/frames.h"

namespace scanlink::capture {
namespace {

using Bytes = std::vector<uint8_t>;
using transport::test::Frame;

// Names of this run only: two runs at once never share a file.
std::string TempPath(const std::string& name) {
  static const std::string run =
      std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
  return (std::filesystem::temp_directory_path() / ("scanlink-capture-" + run + "-" + name))
      .string();
}

std::string Write(const std::string& name, const Bytes& bytes) {
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(Recorder, WritesUnitsAsTheFramerCutsThemAndReadsBackByteForByte) {
  const Bytes f1 = Frame(1, 0x0025, 0xFFFF, Bytes(30, 7));
  const Bytes f2 = Frame(1, 0xF02A, 3, Bytes(100, 9));
  const Bytes garbage = {1, 2, 3};
  const Bytes tail = Bytes(f1.begin(), f1.begin() + 5);  // a frame cut by the end of the drive
  const Bytes received = Cat({f1, garbage, f2, tail});
  const Bytes command = Frame(1, 0x0004, 3, Bytes(4, 1));
  const std::string path = TempPath("round.pcapng");
  {
    Recorder recorder(path, {{"finger-test", "1"}, {"bs-list", "stations.csv"}});
    // Split across reads where frames do not begin; the garbage comes in a read of its own.
    recorder.Received(Channel::kData, received.data(), 20, 1'700'000'000'000'001);
    recorder.Sent(Channel::kData, command.data(), command.size(), 1'700'000'000'000'002);
    recorder.Received(Channel::kAlarm, garbage.data(), garbage.size(), 1'700'000'000'000'003);
    recorder.Received(Channel::kData, received.data() + 20, f1.size() - 20, 1'700'000'000'000'004);
    recorder.Received(Channel::kData, garbage.data(), garbage.size(), 1'700'000'000'000'005);
    recorder.Received(Channel::kData, received.data() + f1.size() + garbage.size(),
                      received.size() - f1.size() - garbage.size(), 1'700'000'000'000'006);
    recorder.Close();
    EXPECT_TRUE(recorder.Ok());
  }
  const Recording r = ReadRecording(path);
  EXPECT_EQ(r.format, "pcapng");
  EXPECT_EQ(r.header.at("finger-test"), "1");
  EXPECT_EQ(r.header.at("bs-list"), "stations.csv");
  EXPECT_TRUE(r.warnings.empty());
  struct Unit {
    Direction direction;
    Channel channel;
    Bytes bytes;
    int64_t timeUs;
  };
  // A frame is written when the read that completes it arrives.
  const std::vector<Unit> want = {
      {Direction::kToScanner, Channel::kData, command, 1'700'000'000'000'002},
      {Direction::kFromScanner, Channel::kAlarm, garbage, 1'700'000'000'000'003},
      {Direction::kFromScanner, Channel::kData, f1, 1'700'000'000'000'004},
      {Direction::kFromScanner, Channel::kData, garbage, 1'700'000'000'000'006},
      {Direction::kFromScanner, Channel::kData, f2, 1'700'000'000'000'006},
      {Direction::kFromScanner, Channel::kData, tail, 1'700'000'000'000'006}};
  ASSERT_EQ(r.packets.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(r.packets[i].direction, want[i].direction) << i;
    EXPECT_EQ(r.packets[i].channel, want[i].channel) << i;
    EXPECT_EQ(r.packets[i].bytes, want[i].bytes) << i;
    EXPECT_EQ(r.packets[i].timeUs, want[i].timeUs) << i;
  }
  EXPECT_EQ(ScannerStream(r), received);

  // Cut anywhere inside the last block: what came before is kept, the cut is reported.
  const Bytes whole = ReadFile(path);
  const Recording cut = ReadRecording(Write("cut.pcapng", Bytes(whole.begin(), whole.end() - 9)));
  EXPECT_EQ(cut.packets.size(), want.size() - 1);
  ASSERT_EQ(cut.warnings.size(), 1u);
  EXPECT_NE(cut.warnings[0].find("ends inside a block"), std::string::npos) << cut.warnings[0];
  std::remove(path.c_str());
}

// A connection that ends inside a frame: the half frame stays with it, and the next connection's
// bytes are a stream of their own (no frame made of both).
TEST(Recorder, EachConnectionIsAStreamOfItsOwn) {
  const Bytes f1 = Frame(1, 0xF025, 0xFFFF, Bytes(75, 1)),
              f2 = Frame(1, 0xF025, 0xFFFF, Bytes(75, 2));
  const Bytes half(f1.begin(), f1.begin() + 40);
  const std::string path = TempPath("reconnect.pcapng");
  {
    Recorder recorder(path, {});
    recorder.Note(Event::kConnectionBegins, Channel::kData, "10.0.0.1:5000", 1);
    recorder.Received(Channel::kData, f1.data(), f1.size(), 2);
    recorder.Received(Channel::kData, half.data(), half.size(), 3);
    recorder.Note(Event::kConnectionEnds, Channel::kData, "10.0.0.1:5000", 4);
    recorder.Note(Event::kLinkLost, Channel::kData, "", 5);
    recorder.Note(Event::kConnectionBegins, Channel::kData, "10.0.0.1:5000", 6);
    recorder.Received(Channel::kData, f2.data(), f2.size(), 7);
    recorder.Note(Event::kLinkRestored, Channel::kData, "", 8);
    recorder.Close();
    EXPECT_TRUE(recorder.Ok());
  }
  const Recording r = ReadRecording(path);
  EXPECT_TRUE(r.warnings.empty());
  EXPECT_EQ(ScannerStreams(r), (std::vector<Bytes>{Cat({f1, half}), f2}));
  std::vector<std::pair<Event, uint32_t>> events;
  for (const Packet& p : r.packets)
    if (p.direction == Direction::kEvent) events.emplace_back(p.event, p.connection);
  EXPECT_EQ(events, (std::vector<std::pair<Event, uint32_t>>{{Event::kConnectionBegins, 1},
                                                             {Event::kConnectionEnds, 1},
                                                             {Event::kLinkLost, 1},
                                                             {Event::kConnectionBegins, 2},
                                                             {Event::kLinkRestored, 2}}));
  EXPECT_EQ(std::string(r.packets[0].bytes.begin(), r.packets[0].bytes.end()), "10.0.0.1:5000");
  std::remove(path.c_str());
}

// Long drives: numbered files, each readable on its own, together the whole stream; a write that
// fails (a full disk) leaves every file readable to its last whole unit.
TEST(Recorder, SplitsLongDrivesAndKeepsWhatReachedTheDisk) {
  const Bytes frame = Frame(1, 0x0025, 0xFFFF, Bytes(200, 5));
  const std::string path = TempPath("long.pcapng");
  std::vector<std::string> files;
  {
    Recorder recorder(path, {{"scanner", "10.0.0.1"}}, Recorder::Split{1000, 0});
    for (int i = 0; i < 12; ++i) recorder.Received(Channel::kData, frame.data(), frame.size(), i);
    recorder.Close();
    files = recorder.Files();
  }
  ASSERT_GE(files.size(), 3u);
  EXPECT_EQ(std::filesystem::path(files[1]).filename().string(),
            std::filesystem::path(TempPath("long-0002.pcapng")).filename().string());
  Bytes all;
  for (const std::string& f : files) {
    const Recording part = ReadRecording(f);
    EXPECT_TRUE(part.warnings.empty()) << f;
    EXPECT_EQ(part.header.at("scanner"), "10.0.0.1");
    EXPECT_LT(std::filesystem::file_size(f), 1000u + 300u);  // one unit past the size at most
    const Bytes s = ScannerStream(part);
    all.insert(all.end(), s.begin(), s.end());
    std::remove(f.c_str());
  }
  EXPECT_EQ(all.size(), 12 * frame.size());

#ifndef _WIN32
  // A file size limit stands in for a full disk, in a child so the limit stays there.
  const std::string full = TempPath("full.pcapng");
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{3000, 3000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    Recorder recorder(full, {});
    for (int i = 0; i < 30; ++i) recorder.Received(Channel::kData, frame.data(), frame.size(), i);
    recorder.Close();
    ::_exit(!recorder.Ok() && recorder.Error().find(full) != std::string::npos ? 0 : 1);
  }
  int status = -1;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the failure was not reported";
  const Recording kept = ReadRecording(full);
  EXPECT_TRUE(kept.warnings.empty()) << kept.warnings[0];
  EXPECT_GE(kept.packets.size(), 10u);
  std::remove(full.c_str());
#endif
}

// A tcpdump capture built segment by segment.
struct Segment {
  bool fromScanner;
  uint32_t seq;  // relative to the initial sequence number
  Bytes payload;
  uint8_t flags = 0x18;  // PSH ACK
};

constexpr uint32_t kScanner = 0xC0A80001, kClient = 0xC0A80002;
constexpr uint32_t kIsnScanner = 0xFFFFFFE0, kIsnClient = 1000;  // the scanner's wraps

Bytes Le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

Bytes Ipv4Tcp(const Segment& s, uint16_t scannerPort, uint16_t clientPort) {
  using transport::test::U16;
  using transport::test::U32;
  const uint32_t seq = s.seq + (s.fromScanner ? kIsnScanner : kIsnClient);
  const Bytes tcp = Cat({U16(s.fromScanner ? scannerPort : clientPort),
                         U16(s.fromScanner ? clientPort : scannerPort),
                         U32(seq),
                         U32(0),
                         {0x50, s.flags},
                         U16(65535),
                         U16(0),
                         U16(0),
                         s.payload});
  return Cat({{0x45, 0},
              U16(static_cast<uint16_t>(20 + tcp.size())),
              U16(0),
              U16(0x4000),
              {64, 6},
              U16(0),
              U32(s.fromScanner ? kScanner : kClient),
              U32(s.fromScanner ? kClient : kScanner),
              tcp});
}

enum class Link { kEthernet = 1, kCooked = 113, kCooked2 = 276, kRaw = 101, kLoopback = 0 };

Bytes LinkHeader(Link link) {
  switch (link) {
    case Link::kEthernet:
      return Cat({Bytes(12, 0xAA), {0x81, 0, 0, 5}, {0x08, 0}});  // VLAN
    case Link::kCooked:
      return Cat({Bytes(14, 0), {0x08, 0}});
    case Link::kCooked2:
      return Cat({{0x08, 0}, Bytes(18, 0)});
    case Link::kRaw:
      return {};
    case Link::kLoopback:
      return {2, 0, 0, 0};
  }
  return {};
}

// Classic pcap, little-endian, microseconds; one packet per segment, 1 ms apart.
Bytes Pcap(Link link, const std::vector<Bytes>& frames) {
  Bytes file = Cat({Le32(0xA1B2C3D4),
                    {2, 0, 4, 0},
                    Le32(0),
                    Le32(0),
                    Le32(65535),
                    Le32(static_cast<uint32_t>(link))});
  uint32_t ms = 0;
  for (const Bytes& f : frames) {
    file = Cat({file, Le32(1'700'000'000), Le32(1000 * ms++), Le32(static_cast<uint32_t>(f.size())),
                Le32(static_cast<uint32_t>(f.size())), f});
  }
  return file;
}

// The same as pcapng, as dumpcap writes it, with nanosecond timestamps.
Bytes Pcapng(Link link, const std::vector<Bytes>& frames) {
  pcapng::BlockWriter shb(pcapng::kSectionHeader);
  shb.U32(pcapng::kByteOrderMagic).U16(1).U16(0).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
  Bytes file = shb.EndOfOptions().Finish();
  const uint8_t nanoseconds = 9;
  pcapng::BlockWriter idb(pcapng::kInterfaceDescription);
  idb.U16(static_cast<uint16_t>(link)).U16(0).U32(0);
  file = Cat({file, idb.Option(pcapng::kIfTsresol, &nanoseconds, 1).EndOfOptions().Finish()});
  uint64_t ns = 1'700'000'000'000'000'000;
  for (const Bytes& f : frames) {
    pcapng::BlockWriter epb(pcapng::kEnhancedPacket);
    epb.U32(0).U32(static_cast<uint32_t>(ns >> 32)).U32(static_cast<uint32_t>(ns));
    epb.U32(static_cast<uint32_t>(f.size())).U32(static_cast<uint32_t>(f.size()));
    file = Cat({file, epb.Bytes(f.data(), f.size()).EndOfOptions().Finish()});
    ns += 1'000'000;
  }
  return file;
}

TEST(TcpdumpCapture, ReassemblesTheDataConnectionHoweverTheSegmentsCame) {
  const Bytes a = Frame(1, 0x0025, 0xFFFF, Bytes(40, 1)),
              b = Frame(1, 0x0028, 0xFFFF, Bytes(60, 2));
  const Bytes command = Frame(1, 0x0004, 1, Bytes(4, 3));
  const Bytes stream = Cat({a, b});
  auto part = [&](size_t from, size_t to) {
    return Bytes(stream.begin() + static_cast<ptrdiff_t>(from),
                 stream.begin() + static_cast<ptrdiff_t>(to));
  };
  const Segment syn{false, 0xFFFFFFFF, {}, 0x02};  // the client's SYN: seq = ISN
  const Segment synAck{true, 0xFFFFFFFF, {}, 0x12};
  const Segment cmd{false, 0, command};
  struct Case {
    const char* name;
    Link link;
    std::vector<Segment> segments;
    int dataPort;
    size_t warnings;
  };
  const Case cases[] = {
      {"in order", Link::kEthernet, {syn, synAck, cmd, {true, 0, a}, {true, 48, b}}, 0, 0},
      {"out of order", Link::kCooked, {syn, synAck, cmd, {true, 48, b}, {true, 0, a}}, 0, 0},
      {"retransmitted and overlapping",
       Link::kCooked2,
       {syn,
        synAck,
        cmd,
        {true, 0, part(0, 30)},
        {true, 0, part(0, 30)},
        {true, 20, part(20, 90)},
        {true, 90, part(90, stream.size())},
        {true, 90, part(90, stream.size())}},
       0,
       0},
      {"split, no start seen",
       Link::kRaw,
       {{true, 0, part(0, 1)}, {true, 1, part(1, 9)}, {true, 9, part(9, stream.size())}},
       0,
       1},
      {"a segment lost",
       Link::kLoopback,
       {syn, synAck, cmd, {true, 0, a}, {true, 48 + 10, part(58, stream.size())}},
       5000,
       1},
  };
  for (const Case& c : cases) {
    std::vector<Bytes> frames;
    const Bytes alarm = {'A', 'L'};
    // The alarm connection, and an unrelated connection passed over when the port is given.
    frames.push_back(Cat({LinkHeader(c.link), Ipv4Tcp({true, 0, alarm}, kAlarmPort, 40001)}));
    if (c.dataPort != 0)
      frames.push_back(Cat({LinkHeader(c.link), Ipv4Tcp({true, 0, {9, 9}}, 22, 40002)}));
    for (const Segment& s : c.segments)
      frames.push_back(Cat({LinkHeader(c.link), Ipv4Tcp(s, 5000, 40000)}));
    for (const bool ng : {false, true}) {
      const Recording r = ReadRecording(
          Write("tcp", ng ? Pcapng(c.link, frames) : Pcap(c.link, frames)), c.dataPort);
      EXPECT_EQ(r.format, ng ? "pcapng" : "pcap");
      EXPECT_EQ(r.warnings.size(), c.warnings)
          << c.name << ": " << (r.warnings.empty() ? "" : r.warnings[0]);
      const bool lost = std::string(c.name) == "a segment lost";
      EXPECT_EQ(ScannerStream(r), lost ? Cat({a, part(58, stream.size())}) : stream) << c.name;
      Bytes toScanner, alarmIn;
      for (const Packet& p : r.packets) {
        if (p.direction == Direction::kEvent) continue;
        EXPECT_GE(p.timeUs, 1'700'000'000'000'000) << c.name;
        EXPECT_LT(p.timeUs, 1'700'000'001'000'000) << c.name;  // within a second
        Bytes& to = p.channel == Channel::kAlarm ? alarmIn : toScanner;
        if (p.channel == Channel::kAlarm || p.direction == Direction::kToScanner)
          to.insert(to.end(), p.bytes.begin(), p.bytes.end());
      }
      EXPECT_EQ(alarmIn, alarm) << c.name;
      EXPECT_EQ(toScanner, c.segments[0].flags == 0x02 ? command : Bytes()) << c.name;
    }
  }
}

TEST(RecordingFiles, OldStreamsKeepTheirHeaderAndDamagedFilesSayWhy) {
  const std::string bytes("U\x00\x00\x2c\x00\x01\x00\x04\x00\x00\x00\x15#\n", 14);
  const std::string text = "# source: bench\r\n# finger-test:  1 \n#no colon\n" + bytes;
  const Recording old = ReadRecording(Write("c1.scl", Bytes(text.begin(), text.end())));
  EXPECT_EQ(old.format, "stream");
  EXPECT_EQ(old.header.at("source"), "bench");
  EXPECT_EQ(old.header.at("finger-test"), "1");
  ASSERT_EQ(old.packets.size(), 1u);
  EXPECT_EQ(old.packets[0].timeUs, -1);
  EXPECT_EQ(ScannerStream(old), Bytes(bytes.begin(), bytes.end()));
  EXPECT_TRUE(ReadRecording(Write("c2.scl", Bytes(bytes.begin(), bytes.end()))).header.empty());

  // Truncated pcap: the whole packets before the cut are kept.
  const Bytes one = Cat({LinkHeader(Link::kRaw), Ipv4Tcp({true, 0, {0x55}}, 5000, 40000)});
  const Bytes pcap = Pcap(Link::kRaw, {one, one});
  const Recording cut = ReadRecording(Write("cut.pcap", Bytes(pcap.begin(), pcap.end() - 3)));
  EXPECT_EQ(ScannerStream(cut), Bytes{0x55});
  EXPECT_TRUE(std::any_of(cut.warnings.begin(), cut.warnings.end(), [](const std::string& w) {
    return w.find("ends inside a packet") != std::string::npos;
  }));

  for (const Bytes& unreadable : {Bytes{0xD4, 0xC3, 0xB2, 0xA1, 0, 0},  // pcap, cut in its header
                                  Cat({Le32(0x0A0D0D0A), Le32(28), Le32(0x12345678)})}) {
    EXPECT_THROW(ReadRecording(Write("bad", unreadable)), std::runtime_error);
  }
  EXPECT_THROW(ReadRecording(TempPath("missing")), std::runtime_error);
}

}  // namespace
}  // namespace scanlink::capture
