// Request → reply round trips through the whole library (send path, listening thread, decode,
// dispatch, callback) against a peer that answers at once, beside a plain TCP ping-pong
// with the same frame sizes over the same loopback, measured in alternating blocks.
//
//   bench_latency [--round-trips N] [--warmup N]
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

constexpr uint16_t kRequestCode = 10;  // GetScanMode, empty payload
constexpr uint16_t kReplyCode = 12;    // its reply, one 16-bit value

// Answers every request frame on fd with a 2-byte code-12 reply until the connection closes.
void AnswerRequests(int fd) {
  uint8_t header[bench::kHeaderSize];
  uint8_t payload[bench::kMaxPayload];
  for (;;) {
    if (!bench::ReadExact(fd, header, sizeof header)) return;
    const bench::FrameHeader request = bench::read_header(header);
    if (request.length > sizeof payload || !bench::ReadExact(fd, payload, request.length)) return;
    uint8_t reply[bench::kHeaderSize + 2] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 7};
    bench::write_header(reply, {bench::kSync, request.module, kReplyCode, request.transId, 2});
    if (!bench::WriteAll(fd, reply, sizeof reply)) return;
  }
}

class ReplyModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage& m) override {
    if (m.nCode != kReplyCode || m.body.reply.nReplyValue != 7) {
      unexpected.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    const uint64_t now = bench::NowNs();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      done_ = true;
      trans_ = m.nTransID;
      callbackNs_ = now;
    }
    ready_.notify_one();
  }

  void Reset() {
    std::lock_guard<std::mutex> guard(mutex_);
    done_ = false;
  }
  // Waits for the reply the way an application thread would; false after timeoutMs.
  bool Await(int timeoutMs, uint16_t& trans, uint64_t& callbackNs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; })) {
      return false;
    }
    trans = trans_;
    callbackNs = callbackNs_;
    return true;
  }

  std::atomic<uint64_t> unexpected{0};

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  bool done_ = false;
  uint16_t trans_ = 0;
  uint64_t callbackNs_ = 0;
};

// A client and a server thread on a loopback connection, both TCP_NODELAY.
class RawPair {
 public:
  RawPair() {
    if (!bench::LoopbackPair(client_, server_)) std::exit(1);
    bench::SetNoDelay(client_);
    bench::SetNoDelay(server_);
    thread_ = std::thread([this] { AnswerRequests(server_); });
  }
  ~RawPair() {
    shutdown(client_, SHUT_RDWR);
    thread_.join();
    close(client_);
    close(server_);
  }

  bool RoundTrip(uint16_t trans) {
    uint8_t request[bench::kHeaderSize];
    bench::write_header(request, {bench::kSync, 20, kRequestCode, trans, 0});
    uint8_t reply[bench::kHeaderSize + 2];
    return bench::WriteAll(client_, request, sizeof request) &&
           bench::ReadExact(client_, reply, sizeof reply) &&
           bench::read_header(reply).transId == trans;
  }

 private:
  int client_ = -1;
  int server_ = -1;
  std::thread thread_;
};

struct Stats {
  double p50, p99, mean, max;
};

Stats Summarise(std::vector<uint64_t>& samples) {
  std::sort(samples.begin(), samples.end());
  double sum = 0;
  for (uint64_t s : samples) sum += static_cast<double>(s);
  return {bench::Percentile(samples, 0.50), bench::Percentile(samples, 0.99),
          sum / static_cast<double>(samples.size()), static_cast<double>(samples.back())};
}

}  // namespace

int main(int argc, char** argv) {
  const long roundTrips = std::max(4L, bench::FlagValue(argc, argv, "--round-trips", 20000));
  const long warmup = bench::FlagValue(argc, argv, "--warmup", 1000);
  constexpr int kBlocks = 4;  // alternate the two sides so that drift hits both alike

  bench::Peer peer;
  RawPair raw;
  ReplyModule module;
  CMyPcCommSocketClient client;
  int dataFd = -1;
  if (!bench::BringUp(client, module, peer, dataFd)) return 1;
  std::thread server([dataFd] { AnswerRequests(dataFd); });

  std::vector<uint64_t> libSamples;
  std::vector<uint64_t> rawSamples;
  libSamples.reserve(static_cast<size_t>(roundTrips));
  rawSamples.reserve(static_cast<size_t>(roundTrips));
  uint64_t failures = 0;

  // The application thread blocks until its module's callback has run, as a caller waiting for
  // an answer would.
  std::vector<uint64_t> toCallback;  // request until the callback starts: no wake-up of ours
  toCallback.reserve(static_cast<size_t>(roundTrips));
  auto libRoundTrip = [&](std::vector<uint64_t>* out) {
    module.Reset();
    const uint64_t t0 = bench::NowNs();
    const int id = client.GetScanMode();
    uint16_t trans = 0;
    uint64_t callbackNs = 0;
    if (id == 0 || !module.Await(5000, trans, callbackNs)) {
      ++failures;
      return;
    }
    const uint64_t t1 = bench::NowNs();
    if (trans != id) ++failures;
    if (out != nullptr) {
      out->push_back(t1 - t0);
      toCallback.push_back(callbackNs - t0);
    }
  };
  auto rawRoundTrip = [&](uint16_t trans, std::vector<uint64_t>* out) {
    const uint64_t t0 = bench::NowNs();
    if (!raw.RoundTrip(trans)) {
      ++failures;
      return;
    }
    if (out != nullptr) out->push_back(bench::NowNs() - t0);
  };

  const ScanlinkCounters before = bench::CountersNow();
  for (long i = 0; i < warmup; ++i) {
    libRoundTrip(nullptr);
    rawRoundTrip(static_cast<uint16_t>(i % 1023 + 1), nullptr);
  }
  uint16_t trans = 1;
  for (int block = 0; block < kBlocks; ++block) {
    const long n = roundTrips / kBlocks + (block < roundTrips % kBlocks ? 1 : 0);
    for (long i = 0; i < n; ++i) {
      rawRoundTrip(trans, &rawSamples);
      trans = static_cast<uint16_t>(trans % 1023 + 1);
    }
    for (long i = 0; i < n; ++i) libRoundTrip(&libSamples);
  }
  client.ExitConnection();  // its threads are joined: every counter is final
  server.join();
  close(dataFd);
  client.ClientRegisterModule(&module, 0);
  const ScanlinkCounters delta = bench::CountersSince(before);

  if (libSamples.empty() || rawSamples.empty()) {
    std::fprintf(stderr, "no round trip completed (%llu failures)\n",
                 static_cast<unsigned long long>(failures));
    return 1;
  }
  const Stats lib = Summarise(libSamples);
  const Stats base = Summarise(rawSamples);
  const Stats cb = Summarise(toCallback);

  std::printf(
      "bench_latency: %zu round trips each side after %ld warm-up, request 8 B, reply 10 B\n",
      libSamples.size(), warmup);
  std::printf("  %-28s %10s %10s %10s %10s\n", "", "p50", "p99", "mean", "max");
  std::printf("  %-28s %10s %10s %10s %10s\n", "library (GetScanMode)",
              bench::Micros(lib.p50).c_str(), bench::Micros(lib.p99).c_str(),
              bench::Micros(lib.mean).c_str(), bench::Micros(lib.max).c_str());
  std::printf("  %-28s %10s %10s %10s %10s\n", "raw TCP ping-pong (baseline)",
              bench::Micros(base.p50).c_str(), bench::Micros(base.p99).c_str(),
              bench::Micros(base.mean).c_str(), bench::Micros(base.max).c_str());
  std::printf("  %-28s %10s %10s %10s %10s\n", "library, until the callback",
              bench::Micros(cb.p50).c_str(), bench::Micros(cb.p99).c_str(),
              bench::Micros(cb.mean).c_str(), bench::Micros(cb.max).c_str());
  std::printf(
      "  p50 ratio %.2fx; failures %llu, unexpected callbacks %llu, sends %llu, "
      "delivered %llu, dropped replies %llu\n",
      lib.p50 / base.p50, static_cast<unsigned long long>(failures),
      static_cast<unsigned long long>(module.unexpected.load()),
      static_cast<unsigned long long>(delta.sends),
      static_cast<unsigned long long>(delta.framesDelivered),
      static_cast<unsigned long long>(delta.droppedTransaction));

  const bool clean = failures == 0 && module.unexpected.load() == 0;
  bench::PrintFigure("latency", "p50 round trip", bench::Micros(lib.p50), bench::Micros(base.p50),
                     "<= 1.5x baseline", clean && lib.p50 <= 1.5 * base.p50 ? "yes" : "no");
  bench::PrintFigure("latency", "p99 round trip", bench::Micros(lib.p99), bench::Micros(base.p99),
                     "< 1 ms", clean && lib.p99 < 1e6 ? "yes" : "no");
  bench::PrintFigure("latency", "p50 request to callback", bench::Micros(cb.p50),
                     bench::Micros(base.p50), "-", "info");
  bench::PrintFigure("latency", "mean round trip", bench::Micros(lib.mean),
                     bench::Micros(base.mean), "-", "info");
  return clean ? 0 : 1;
}
