// Recorder: our pcapng, one packet per frame the library's frame cutter would deliver, so a
// recording shows in Wireshark exactly the units the library saw.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "capture.h"
#include "codec/framer.h"
#include "pcapng.h"

namespace scanlink::capture {

// The from-scanner data bytes not yet written, and the cutter that says where frames are. The
// cutter reports frames and skipped bytes in stream order, so each report takes the next bytes.
struct Recorder::Cutter {
  codec::Framer framer;
  std::vector<uint8_t> pending;
  size_t start = 0;    // first byte of `pending` not yet written
  size_t skipRun = 0;  // skipped bytes after `start`, written as one packet before the next frame
  int64_t timeUs = -1;
  Recorder* recorder = nullptr;

  void FlushSkipped() {
    if (skipRun == 0) return;
    recorder->WritePacket(Direction::kFromScanner, Channel::kData, pending.data() + start, skipRun,
                          timeUs);
    start += skipRun;
    skipRun = 0;
  }
  void OnFrame(const uint8_t* frame, size_t length) {
    FlushSkipped();
    recorder->WritePacket(Direction::kFromScanner, Channel::kData, frame, length, timeUs);
    start += length;
  }
  void OnDiscard(size_t n) { skipRun += n; }
  void OnTrace(const char*) {}
  void OnOversized(size_t) {}
};

namespace {

// "drive.pcapng", 2 -> "drive-0002.pcapng"
std::string PartPath(const std::string& path, size_t part) {
  const std::filesystem::path p(path);
  std::string number = std::to_string(part);
  number.insert(0, number.size() < 4 ? 4 - number.size() : 0, '0');
  return (p.parent_path() / (p.stem().string() + "-" + number + p.extension().string())).string();
}

}  // namespace

Recorder::Recorder(const std::string& path, const std::map<std::string, std::string>& header)
    : Recorder(path, header, Split{}) {}

Recorder::Recorder(const std::string& path, const std::map<std::string, std::string>& header,
                   Split split)
    : path_(path), header_(header), split_(split), cutter_(std::make_unique<Cutter>()) {
  cutter_->recorder = this;
  Open(-1);
  if (!ok_) throw std::runtime_error(error_);
}

Recorder::~Recorder() { Close(); }

void Recorder::Open(int64_t timeUs) {
  const bool splitting = split_.bytes > 0 || split_.us > 0;
  const std::string path = splitting ? PartPath(path_, files_.size() + 1) : path_;
  std::map<std::string, std::string> header = header_;
  if (!files_.empty())
    header["continues"] = std::filesystem::path(files_.back()).filename().string();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) return Fail("cannot create " + path + ": " + std::strerror(errno));
  files_.push_back(path);
  fileBytes_ = 0;
  fileStartUs_ = timeUs;
  std::string comment;
  for (const auto& [key, value] : header) comment += key + ": " + value + "\n";
  pcapng::BlockWriter shb(pcapng::kSectionHeader);
  shb.U32(pcapng::kByteOrderMagic).U16(1).U16(0).U32(0xFFFFFFFF).U32(0xFFFFFFFF);
  shb.Option(pcapng::kShbUserAppl, "scanlink " SCANLINK_CAPTURE_VERSION);
  if (!comment.empty()) shb.Option(pcapng::kOptComment, comment);
  const auto s = shb.EndOfOptions().Finish();
  const uint8_t microseconds = 6;
  pcapng::BlockWriter idb(pcapng::kInterfaceDescription);
  idb.U16(kLinkTypeUser0).U16(0).U32(0);
  const auto& i = idb.Option(pcapng::kIfTsresol, &microseconds, 1).EndOfOptions().Finish();
  if (std::fwrite(s.data(), 1, s.size(), file_) != s.size() ||
      std::fwrite(i.data(), 1, i.size(), file_) != i.size() || std::fflush(file_) != 0)
    return Fail("cannot write " + path + ": " + std::strerror(errno));
  fileBytes_ = s.size() + i.size();
}

// A full disk or a removed medium: the file is cut back to the last whole block that reached it,
// so each file stays readable to its end.
void Recorder::Fail(const std::string& what) {
  if (!ok_) return;
  ok_ = false;
  error_ = what;
  if (file_ == nullptr) return;
  std::fclose(file_);
  file_ = nullptr;
  std::error_code ignored;
  std::filesystem::resize_file(files_.back(), fileBytes_, ignored);
}

void Recorder::WritePacket(Direction direction, Channel channel, const uint8_t* data, size_t size,
                           int64_t timeUs, uint8_t event) {
  if (file_ == nullptr || !ok_) return;
  if ((split_.bytes > 0 && fileBytes_ >= split_.bytes) ||
      (split_.us > 0 && timeUs >= 0 && fileStartUs_ >= 0 && timeUs - fileStartUs_ >= split_.us)) {
    if (std::fclose(file_) != 0) {
      file_ = nullptr;
      return Fail("cannot write " + files_.back() + ": " + std::strerror(errno));
    }
    file_ = nullptr;
    Open(timeUs);
    if (!ok_) return;
  }
  if (fileStartUs_ < 0) fileStartUs_ = timeUs;
  const uint64_t t = timeUs < 0 ? 0 : static_cast<uint64_t>(timeUs);
  const uint8_t pseudo[kPseudoHeaderSize] = {kPseudoHeaderVersion, static_cast<uint8_t>(direction),
                                             static_cast<uint8_t>(channel),
                                             static_cast<uint8_t>(connection_)};
  std::vector<uint8_t> body(pseudo, pseudo + kPseudoHeaderSize);
  if (direction == Direction::kEvent) body.push_back(event);
  body.insert(body.end(), data, data + size);
  const uint32_t flags =
      direction == Direction::kToScanner ? pcapng::kFlagOutbound : pcapng::kFlagInbound;
  pcapng::BlockWriter epb(pcapng::kEnhancedPacket);
  epb.U32(0).U32(static_cast<uint32_t>(t >> 32)).U32(static_cast<uint32_t>(t));
  epb.U32(static_cast<uint32_t>(body.size())).U32(static_cast<uint32_t>(body.size()));
  epb.Bytes(body.data(), body.size()).Option(pcapng::kEpbFlags, &flags, 4);
  const auto& block = epb.EndOfOptions().Finish();
  if (std::fwrite(block.data(), 1, block.size(), file_) != block.size() || std::fflush(file_) != 0)
    return Fail("cannot write " + files_.back() + ": " + std::strerror(errno));
  // Each unit reaches the disk: a recording cut short by a crash keeps what came before.
  fileBytes_ += block.size();
}

void Recorder::Received(Channel channel, const uint8_t* data, size_t size, int64_t timeUs) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr || size == 0) return;
  if (channel == Channel::kAlarm) {
    WritePacket(Direction::kFromScanner, channel, data, size, timeUs);
  } else {
    Cutter& c = *cutter_;
    if (c.start > 0 && c.start * 2 >= c.pending.size()) {
      c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<ptrdiff_t>(c.start));
      c.start = 0;
    }
    c.pending.insert(c.pending.end(), data, data + size);
    c.timeUs = timeUs;
    c.framer.Feed(data, size, c);
  }
}

void Recorder::Sent(Channel channel, const uint8_t* data, size_t size, int64_t timeUs) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr || size == 0) return;
  if (channel == Channel::kData) {
    // The library writes one frame per send; several would be cut here so each shows on its own.
    size_t at = 0;
    while (at + codec::Framer::kHeader <= size) {
      const size_t length = codec::Framer::FrameLength(data + at);
      if (data[at] != codec::Framer::kSync || length > size - at) break;
      WritePacket(Direction::kToScanner, channel, data + at, length, timeUs);
      at += length;
    }
    if (at < size) WritePacket(Direction::kToScanner, channel, data + at, size - at, timeUs);
  } else {
    WritePacket(Direction::kToScanner, channel, data, size, timeUs);
  }
}

// What the cutter holds of a stream that ends: a frame never finished, written as it came.
void Recorder::FlushPending() {
  Cutter& c = *cutter_;
  c.skipRun = c.pending.size() - c.start;
  c.FlushSkipped();
  c.pending.clear();
  c.start = 0;
  c.framer.Reset();
}

void Recorder::Note(Event event, Channel channel, const std::string& text, int64_t timeUs) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr) return;
  const bool dataStream = channel == Channel::kData;
  if (dataStream && (event == Event::kConnectionBegins || event == Event::kConnectionEnds))
    FlushPending();
  if (dataStream && event == Event::kConnectionBegins) ++connection_;
  WritePacket(Direction::kEvent, channel, reinterpret_cast<const uint8_t*>(text.data()),
              text.size(), timeUs, static_cast<uint8_t>(event));
}

void Recorder::SetHeader(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> guard(mutex_);
  header_[key] = value;
}

void Recorder::Close() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (file_ == nullptr) return;
  FlushPending();
  if (file_ != nullptr && std::fclose(file_) != 0 && ok_) {
    ok_ = false;
    error_ = "cannot write " + files_.back() + ": " + std::strerror(errno);
  }
  file_ = nullptr;
}

bool Recorder::Ok() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return ok_;
}

std::string Recorder::Error() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return error_;
}

std::vector<std::string> Recorder::Files() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return files_;
}

}  // namespace scanlink::capture
