// hopwarbler_bench: every benchmark of the library beside FFTW3f, Rubber Band and
// SoundTouch in one run, then a summary of the ratios: ours against each peer, our
// FFT against FFTW, our frame against the floor, each beside its target.
//
// The console shows Google Benchmark's usual table; the usual flags work
// (--benchmark_filter, --benchmark_out=file.json --benchmark_out_format=json, ...).
// Times are CPU time (of the thread for the kernels, of the process for the whole
// streams), so that other work on a shared machine is not counted; the stream
// results are the medians of three repetitions.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

void register_kernel_benchmarks();
void register_stream_benchmarks();
void register_stage_benchmarks();

namespace {

struct Result {
  bool present = false;
  std::string error;
  double seconds = 0;  // CPU time per iteration
  std::map<std::string, double> counters;
};

// The console reporter, keeping each benchmark's result (the median for repeated
// ones) to print the summary when the run is over.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  SummaryReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      if (run.run_type == Run::RT_Iteration && run.repetitions > 1 && !run.error_occurred) {
        continue;  // the median follows
      }
      Result& r = results_[run.run_name.function_name];
      r.present = true;
      if (run.error_occurred) {
        r.error = run.error_message;
        continue;
      }
      r.seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      for (const auto& [name, counter] : run.counters) r.counters[name] = counter.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    printSummary();
  }

 private:
  std::map<std::string, Result> results_;

  const Result* find(const std::string& name) const {
    const auto it = results_.find(name);
    return it == results_.end() || !it->second.present || !it->second.error.empty() ? nullptr
                                                                                    : &it->second;
  }

  // Why a result is missing, for the n/a cells.
  std::string why(const std::string& name) const {
    const auto it = results_.find(name);
    if (it != results_.end()) return it->second.error;
#if !HOPWARBLER_BENCH_SPECTRUM
    if (name.find("analyser:on") != std::string::npos || name.rfind("spectrum/", 0) == 0) {
      return "no spectrum analyser in this build";
    }
#endif
    return "not run";
  }

  double counter(const std::string& name, const char* key) const {
    const Result* r = find(name);
    if (r == nullptr) return NAN;
    const auto it = r->counters.find(key);
    return it == r->counters.end() ? NAN : it->second;
  }

  double seconds(const std::string& name) const {
    const Result* r = find(name);
    return r == nullptr ? NAN : r->seconds;
  }

  static std::string fmt(double v, const char* format) {
    if (std::isnan(v)) return "n/a";
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
  }

  // "yes" / "NO" against a target; higher is better when atLeast.
  static std::string verdict(double v, double target, bool atLeast) {
    if (std::isnan(v)) return "n/a";
    return (atLeast ? v >= target : v <= target) ? "yes" : "NO";
  }

  void printSummary() const {
    std::printf("\n==== Summary ====\n");
    std::printf(
        "Ratio = output duration / input duration. Times are CPU time; xRT = seconds of"
        " audio per CPU second.\n");

    std::printf(
        "\nWhole stream, 60 s stereo 44.1 kHz, blocks of 1024 frames (medians; us/frame"
        " per channel frame):\n");
    std::printf("  %-26s %6s %10s %10s\n", "engine", "ratio", "xRT", "us/frame");
    static const char* ratios[] = {"1.25", "0.8"};
    static const char* engines[] = {"ours/%s/analyser:off", "ours/%s/analyser:on",
                                    "rubberband-faster/%s", "rubberband-finer/%s", "soundtouch/%s"};
    for (const char* ratio : ratios) {
      for (const char* engine : engines) {
        char name[96];
        std::snprintf(name, sizeof name, engine, ratio);
        const std::string full = std::string("stream/") + name;
        const bool ours = std::string(name).rfind("ours/", 0) == 0;
        const double xrt = counter(full, "xRT");
        std::printf("  %-26s %6s %10s %10s%s\n", name, ratio, fmt(xrt, "%.1f").c_str(),
                    ours ? fmt(counter(full, "per_frame") * 1e6, "%.2f").c_str() : "-",
                    std::isnan(xrt) ? ("   (" + why(full) + ")").c_str() : "");
      }
    }

    std::printf("\nOurs against each peer (our xRT / theirs; target):\n");
    std::printf("  %-6s %-30s %8s %10s %6s\n", "ratio", "comparison", "x", "target", "met");
    for (const char* ratio : ratios) {
      const std::string r = ratio;
      const double off = counter("stream/ours/" + r + "/analyser:off", "xRT");
      const double on = counter("stream/ours/" + r + "/analyser:on", "xRT");
      struct Row {
        const char* label;
        double value;
        double target;
      };
      const Row rows[] = {
          {"analyser off / SoundTouch", off / counter("stream/soundtouch/" + r, "xRT"), 1.0},
          {"analyser off / RB faster", off / counter("stream/rubberband-faster/" + r, "xRT"), 10.0},
          {"analyser off / RB finer", off / counter("stream/rubberband-finer/" + r, "xRT"), NAN},
          {"analyser on / SoundTouch", on / counter("stream/soundtouch/" + r, "xRT"), NAN},
          {"analyser on / RB faster", on / counter("stream/rubberband-faster/" + r, "xRT"), NAN},
      };
      for (const Row& row : rows) {
        std::printf("  %-6s %-30s %8s %10s %6s\n", ratio, row.label, fmt(row.value, "%.2f").c_str(),
                    std::isnan(row.target) ? "" : fmt(row.target, ">= %.0f").c_str(),
                    std::isnan(row.target) ? "" : verdict(row.value, row.target, true).c_str());
      }
      std::printf("  %-6s %-30s %8s %10s %6s\n", ratio, "analyser on, xRT", fmt(on, "%.1f").c_str(),
                  ">= 250", verdict(on, 250, true).c_str());
    }

    std::printf("\nFFT, ours / FFTW3f (FFTW_MEASURE, in place), time per transform:\n");
    std::printf("  %-6s %-8s %10s %10s %8s %10s %6s\n", "N", "dir", "ours us", "fftw us", "x",
                "target", "met");
    for (const char* n : {"256", "1024", "2048", "4096"}) {
      for (const char* dir : {"forward", "inverse"}) {
        const double ours = seconds(std::string("fft/ours/") + dir + "/" + n);
        const double fftw = seconds(std::string("fft/fftw/") + dir + "/" + n);
        const bool targeted = std::string(n) == "2048";
        std::printf("  %-6s %-8s %10s %10s %8s %10s %6s\n", n, dir, fmt(ours * 1e6, "%.2f").c_str(),
                    fmt(fftw * 1e6, "%.2f").c_str(), fmt(ours / fftw, "%.2f").c_str(),
                    targeted ? "<= 1.5" : "",
                    targeted ? verdict(ours / fftw, 1.5, false).c_str() : "");
      }
    }

    const double conversions = seconds("fft/conversion-floor/2048");
    std::printf(
        "  conversion floor at 2048 (float/double conversions of 10 rounding stages, "
        "nothing else): %s us; ours forward / it: %s\n",
        fmt(conversions * 1e6, "%.2f").c_str(),
        fmt(seconds("fft/ours/forward/2048") / conversions, "%.2f").c_str());

    const double frame = seconds("frame/ours/2048");
    const double floor = seconds("floor/2048");
    std::printf("\nOne vocoder frame at 2048 / 4, one channel (us):\n");
    std::printf("  ours, Vocoder::processFrame        %8s\n", fmt(frame * 1e6, "%.2f").c_str());
    static const char* steps[] = {"applyWindow", "applyWindow+analyze", "findPeaks", "phaseLock"};
    for (const char* step : steps) {
      std::printf("    step %-29s %8s\n", step,
                  fmt(seconds(std::string("frame/step/") + step) * 1e6, "%.2f").c_str());
    }
    std::printf("  floor: FFTW pair + libmvec bin pass %7s\n", fmt(floor * 1e6, "%.2f").c_str());
    std::printf("    FFTW forward + inverse            %8s\n",
                fmt(seconds("floor/fftw-forward+inverse/2048") * 1e6, "%.2f").c_str());
    std::printf("    bin pass, libmvec AVX2            %8s\n",
                fmt(seconds("floor/binpass-libmvec/1024") * 1e6, "%.2f").c_str());
    std::printf("    bin pass, scalar libm             %8s\n",
                fmt(seconds("floor/binpass-scalar/1024") * 1e6, "%.2f").c_str());
    std::printf("  ours / floor                       %8s   target <= 1.5  met: %s\n",
                fmt(frame / floor, "%.2f").c_str(), verdict(frame / floor, 1.5, false).c_str());

    std::printf(
        "\nCode paths, the same work on each (us; stream in xRT, ratio 1.25, analyser off):\n");
    std::printf("  %-34s %10s %10s %10s %8s\n", "", "reference", "baseline", "default", "speed-up");
    struct PathRow {
      const char* label;
      const char* suffix;
      const char* fallback;
    };
    const PathRow pathRows[] = {
        {"FFT forward, 2048", "fft/forward/2048", "fft/ours/forward/2048"},
        {"vocoder frame, 2048 / 4", "frame/2048", "frame/ours/2048"},
        {"spectrum analysis", "spectrum/analysis", "spectrum/analysis"},
    };
    for (const PathRow& row : pathRows) {
      const double ref = seconds(std::string("path/reference/") + row.suffix) * 1e6;
      const double base = seconds(std::string("path/baseline/") + row.suffix) * 1e6;
      const double def = seconds(row.fallback) * 1e6;
      std::printf("  %-34s %10s %10s %10s %8s\n", row.label, fmt(ref, "%.2f").c_str(),
                  fmt(base, "%.2f").c_str(), fmt(def, "%.2f").c_str(),
                  fmt(ref / def, "%.2f").c_str());
    }
    const double refStream = counter("path/reference/stream/1.25/analyser:off", "xRT");
    const double baseStream = counter("path/baseline/stream/1.25/analyser:off", "xRT");
    const double defStream = counter("stream/ours/1.25/analyser:off", "xRT");
    std::printf("  %-34s %10s %10s %10s %8s\n", "whole stream, xRT", fmt(refStream, "%.1f").c_str(),
                fmt(baseStream, "%.1f").c_str(), fmt(defStream, "%.1f").c_str(),
                fmt(defStream / refStream, "%.2f").c_str());

    std::printf("\nSpectrum analyser, one analysis (us): %s\n",
                find("spectrum/analysis") != nullptr
                    ? fmt(seconds("spectrum/analysis") * 1e6, "%.1f").c_str()
                    : ("n/a (" + why("spectrum/analysis") + ")").c_str());
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  register_kernel_benchmarks();
  register_stream_benchmarks();
  register_stage_benchmarks();
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
