#include "report_mix.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bench_support.h"

namespace bench {
namespace {

// What each kind is sent with.
constexpr uint16_t kValueListCode = 36;
constexpr uint16_t kValues = 20;
constexpr uint16_t kCellRecordCode = 40;
constexpr uint8_t kCellRecords = 8;
constexpr uint8_t kEntriesPerRecord = 2;
constexpr uint16_t kTDCellCode = 0xF025;
constexpr uint8_t kTDCells = 10;
constexpr uint16_t kSweepCode = 73;
constexpr uint32_t kSweepPoints = 200;
constexpr uint16_t kProfileCode = 0xF100;
constexpr uint8_t kProfiles = 2;

// The payload lengths the decoder writes back into the record.
constexpr uint16_t kValueListLength = 136 + 2 * kValues;
constexpr uint16_t kCellRecordLength = 136 + 64 * kCellRecords;
constexpr uint16_t kTDCellLength = 132 + 120 * kTDCells;
constexpr uint16_t kSweepLength = 14 + 2 * kSweepPoints;
constexpr uint16_t kProfileLength = 143 + 595 * kProfiles;  // kept as sent

void MeasurementHeader(std::vector<uint8_t>& p) {
  p.push_back(1);
  char gps[119] = {};
  std::snprintf(gps, sizeof gps, "GPS,A,3958.9916,N,11623.8277,E,0.0,0.0,081224,043.2");
  p.insert(p.end(), gps, gps + sizeof gps);
}

std::vector<uint8_t> ValueList() {
  std::vector<uint8_t> p;
  MeasurementHeader(p);
  PutU32(p, 11);
  PutU32(p, 12);
  PutU32(p, 13);
  PutU16(p, kValues);
  for (uint16_t i = 0; i < kValues; ++i) PutU16(p, static_cast<uint16_t>(1000 + i));
  return p;
}

std::vector<uint8_t> CellRecords() {
  std::vector<uint8_t> p;
  MeasurementHeader(p);
  PutU32(p, 21);
  PutU32(p, 22);
  p.push_back(0);  // not read
  p.push_back(kCellRecords);
  PutU32(p, 23);
  for (uint8_t r = 0; r < kCellRecords; ++r) {
    PutU32(p, 10612u + r);
    for (uint16_t v = 2; v <= 6; ++v) PutU16(p, static_cast<uint16_t>(v * 10 + r));
    p.push_back(kEntriesPerRecord);
    for (uint8_t j = 0; j < kEntriesPerRecord; ++j) {
      PutU32(p, 500u + r);
      PutU16(p, static_cast<uint16_t>(100 * r + j));
    }
  }
  return p;
}

// GPS mode 0: the base-station check is not what this stream measures.
std::vector<uint8_t> TDCells() {
  std::vector<uint8_t> p;
  MeasurementHeader(p);
  PutU32(p, 0);
  PutU32(p, 0);  // not read
  p.push_back(5);
  p.push_back(kTDCells);
  for (uint8_t r = 0; r < kTDCells; ++r) {
    PutU32(p, 10000u + r);
    PutU16(p, static_cast<uint16_t>(r));
    for (uint16_t k = 0; k < 21; ++k) PutU16(p, static_cast<uint16_t>(k + r));
    PutU16(p, static_cast<uint16_t>(40 + r));
  }
  return p;
}

std::vector<uint8_t> Sweep() {
  std::vector<uint8_t> p;
  constexpr uint32_t start = 10000;
  constexpr uint32_t step = 5;
  PutU32(p, start);
  PutU32(p, start + step * (kSweepPoints - 1));
  PutU32(p, step);
  for (uint32_t i = 0; i < kSweepPoints; ++i) PutU16(p, static_cast<uint16_t>(2000 + i));
  return p;
}

std::vector<uint8_t> Profiles() {
  std::vector<uint8_t> p;
  MeasurementHeader(p);
  for (uint32_t v = 1; v <= 5; ++v) PutU32(p, 30 + v);
  p.push_back(1);
  p.push_back(2);
  p.push_back(kProfiles);
  for (uint8_t r = 0; r < kProfiles; ++r) {
    p.push_back(r);
    PutU32(p, 1);
    PutU32(p, 2);
    PutU32(p, 3);
    PutU16(p, 4);
    PutU32(p, 5);
    for (uint16_t k = 0; k < SCANLINK_PROFILE_POINTS; ++k) PutU16(p, static_cast<uint16_t>(k));
    for (uint16_t k = 0; k < SCANLINK_PROFILE_POINTS; ++k) {
      PutU16(p, static_cast<uint16_t>(3000 + 200 * r + k));
    }
  }
  return p;
}

bool CheckOne(uint16_t code, uint16_t length, const _CmdBody& b) {
  switch (code) {
    case kValueListCode:
      return length == kValueListLength && b.valueList.nCount == kValues &&
             b.valueList.aValues[kValues - 1] == 1000 + kValues - 1;
    case kCellRecordCode: {
      if (length != kCellRecordLength || b.cellRecords.nCount != kCellRecords) return false;
      const _CellRecord& last = b.cellRecords.aRecords[kCellRecords - 1];
      return last.nEntryCount == kEntriesPerRecord &&
             last.aEntries[kEntriesPerRecord - 1].nSecond ==
                 100 * (kCellRecords - 1) + kEntriesPerRecord - 1;
    }
    case kTDCellCode:
      return length == kTDCellLength && b.tdCells.nCount == kTDCells &&
             b.tdCells.aRecords[kTDCells - 1].nCellKey1 == 10000u + kTDCells - 1 &&
             b.tdCells.aRecords[kTDCells - 1].nMeasuredDelay == 40 + kTDCells - 1;
    case kSweepCode:
      return length == kSweepLength && b.sweep.nStep == 5 &&
             b.sweep.aPoints[kSweepPoints - 1] == 2000 + kSweepPoints - 1;
    case kProfileCode:
      return length == kProfileLength && b.tdProfile.nCount == kProfiles &&
             b.tdProfile.aRecords[kProfiles - 1].aSecondProfile[SCANLINK_PROFILE_POINTS - 1] ==
                 3000 + 200 * (kProfiles - 1) + SCANLINK_PROFILE_POINTS - 1;
    default:
      return false;
  }
}

}  // namespace

uint64_t ReportMix::BytesFor(uint64_t frames) const {
  const uint64_t cycles = frames / Frames();
  const uint64_t rest = frames % Frames();
  return cycles * bytes.size() + (rest > 0 ? frameEnds[rest - 1] : 0);
}

ReportMix BuildReportMix(size_t cycles) {
  const std::vector<uint8_t> payloads[kReportKinds] = {ValueList(), CellRecords(), TDCells(),
                                                       Sweep(), Profiles()};
  const uint16_t codes[kReportKinds] = {kValueListCode, kCellRecordCode, kTDCellCode, kSweepCode,
                                        kProfileCode};
  ReportMix mix;
  for (size_t c = 0; c < cycles; ++c) {
    for (size_t k = 0; k < kReportKinds; ++k) {
      AppendFrame(mix.bytes, 0, codes[k], kBroadcast, payloads[k]);
      mix.frameEnds.push_back(mix.bytes.size());
    }
  }
  return mix;
}

bool SendReports(int fd, const ReportMix& mix, uint64_t frames) {
  for (uint64_t c = frames / mix.Frames(); c > 0; --c) {
    if (!WriteAll(fd, mix.bytes.data(), mix.bytes.size())) return false;
  }
  const uint64_t rest = frames % mix.Frames();
  return rest == 0 || WriteAll(fd, mix.bytes.data(), mix.frameEnds[rest - 1]);
}

void ReportCheck::Check(uint16_t code, uint16_t trans, uint16_t length, const _CmdBody& body) {
  if (trans != kBroadcast) {
    other_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (code == SCANLINK_CODE_LINK_STATUS) {
    other_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (!CheckOne(code, length, body)) {
    bad_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  const uint64_t good = good_.fetch_add(1, std::memory_order_release) + 1;
  // Reading the clock for every report would cost the stream a measurable share.
  if (good == target_.load(std::memory_order_relaxed) || good % 4096 == 0) {
    lastNs_.store(NowNs(), std::memory_order_relaxed);
  }
}

bool ReportCheck::WaitFor(uint64_t frames, int stallMs) const {
  uint64_t seen = Good() + Bad();
  uint64_t lastChange = NowNs();
  for (;;) {
    if (Good() >= frames) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t now = Good() + Bad();
    if (now != seen) {
      seen = now;
      lastChange = NowNs();
    } else if (NowNs() - lastChange > static_cast<uint64_t>(stallMs) * 1000000u) {
      return Good() >= frames;
    }
  }
}

namespace {

// Cuts whole frames from buf[0..size); returns the bytes consumed. Codes and lengths feed a sum
// so that the loop cannot be optimised away.
size_t CutFrames(const uint8_t* buf, size_t size, uint64_t& frames, uint64_t limit, uint64_t& sum) {
  size_t off = 0;
  while (frames < limit && size - off >= kHeaderSize) {
    const FrameHeader header = read_header(buf + off);
    const size_t length = scanlink::codec::frame_length(header);
    if (header.sync != kSync || length > kMaxFrame || size - off < length) break;
    sum += header.code ^ length;
    off += length;
    ++frames;
  }
  return off;
}

void Keep(uint64_t value) { asm volatile("" : : "r"(value) : "memory"); }

}  // namespace

CutResult CutInMemory(const ReportMix& mix, uint64_t frames) {
  uint64_t cut = 0;
  uint64_t bytes = 0;
  uint64_t sum = 0;
  const uint64_t t0 = NowNs();
  while (cut < frames) {
    const size_t used = CutFrames(mix.bytes.data(), mix.bytes.size(), cut, frames, sum);
    if (used == 0) break;  // a malformed mix; never loop for ever
    bytes += used;
  }
  const uint64_t t1 = NowNs();
  Keep(sum);
  return {cut, bytes, t1 - t0};
}

CutResult CutFromSocket(const ReportMix& mix, uint64_t frames) {
  int reader = -1;
  int writer = -1;
  if (!LoopbackPair(reader, writer)) return {0, 0, 1};

  constexpr size_t kRead = 65536;
  std::vector<uint8_t> buf(kRead + kMaxFrame);
  size_t have = 0;
  uint64_t cut = 0;
  uint64_t bytes = 0;
  uint64_t sum = 0;
  const uint64_t t0 = NowNs();
  std::thread sender([&] { SendReports(writer, mix, frames); });
  while (cut < frames) {
    const ssize_t n = recv(reader, buf.data() + have, kRead, 0);
    if (n <= 0) break;
    have += static_cast<size_t>(n);
    const size_t used = CutFrames(buf.data(), have, cut, frames, sum);
    bytes += used;
    std::memmove(buf.data(), buf.data() + used, have - used);
    have -= used;
  }
  const uint64_t t1 = NowNs();
  shutdown(reader, SHUT_RDWR);  // a sender still writing after a failed read fails too
  sender.join();
  close(writer);
  close(reader);
  Keep(sum);
  return {cut, bytes, t1 - t0};
}

}  // namespace bench
