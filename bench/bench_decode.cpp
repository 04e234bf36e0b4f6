// What one report of each kind of the streaming mix costs to decode, through the public
// CCmdManage::DecodeMessage, beside building the two records without decoding (the fixed cost
// every received frame pays). Explains where bench_throughput's time per report goes.
//
//   bench_decode [Google Benchmark flags, e.g. --benchmark_min_time=0.2]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "report_mix.h"

namespace {

struct Report {
  uint16_t code;
  std::vector<uint8_t> payload;
};

std::vector<Report> MixReports() {
  const bench::ReportMix mix = bench::BuildReportMix(1);
  std::vector<Report> out;
  size_t begin = 0;
  for (size_t end : mix.frameEnds) {
    const uint8_t* frame = mix.bytes.data() + begin;
    out.push_back({bench::read_header(frame).code,
                   std::vector<uint8_t>(frame + bench::kHeaderSize, mix.bytes.data() + end)});
    begin = end;
  }
  return out;
}

const std::vector<Report>& Reports() {
  static const std::vector<Report> reports = MixReports();
  return reports;
}

void RecordsOnly(benchmark::State& state) {
  const Report& r = Reports()[static_cast<size_t>(state.range(0))];
  for (auto _ : state) {
    CMyPcCommMessage message(r.code, static_cast<uint16_t>(r.payload.size()), bench::kBroadcast,
                             r.payload.data());
    CCmdManage record;
    benchmark::DoNotOptimize(&message);
    benchmark::DoNotOptimize(&record);
    benchmark::ClobberMemory();
  }
}

void Decode(benchmark::State& state) {
  const Report& r = Reports()[static_cast<size_t>(state.range(0))];
  for (auto _ : state) {
    CMyPcCommMessage message(r.code, static_cast<uint16_t>(r.payload.size()), bench::kBroadcast,
                             r.payload.data());
    CCmdManage record;
    record.DecodeMessage(message);
    benchmark::DoNotOptimize(&record);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * r.payload.size()));
}

// The console report, then one figure line per report kind for scripts/figures.sh.
class FigureReporter : public benchmark::ConsoleReporter {
 public:
  // Colour only on a terminal: the figure lines must start their line when captured.
  FigureReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      // CPU time: steadier than wall time on a shared machine; the unit is ns.
      const double ns = run.GetAdjustedCPUTime();
      const std::string name = run.benchmark_name();
      (name.rfind("Decode/", 0) == 0 ? decode_ : records_)[name.substr(name.find('/') + 1)] = ns;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [arg, ns] : decode_) {
      const Report& r = Reports()[std::stoul(arg)];
      const std::string figure = bench::Format("decode 0x%04X (%zu B)", r.code, r.payload.size());
      const auto base = records_.find(arg);
      bench::PrintFigure(
          "decode", figure.c_str(), bench::Format("%.0f ns CPU", ns),
          base != records_.end() ? bench::Format("%.0f ns (records only)", base->second) : "-", "-",
          "info");
    }
  }

 private:
  std::map<std::string, double> decode_;
  std::map<std::string, double> records_;
};

}  // namespace

BENCHMARK(RecordsOnly)->DenseRange(0, bench::kReportKinds - 1);
BENCHMARK(Decode)->DenseRange(0, bench::kReportKinds - 1);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
