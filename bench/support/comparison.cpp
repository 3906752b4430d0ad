#include "bench/support/comparison.hpp"

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

namespace folium::bench {
namespace {

// Keeps the seconds per iteration of every repetition, by function name, while the
// console shows the usual table.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  explicit CollectingReporter(bool color) : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      if (run.error_occurred) {
        failed_.push_back(run.run_name.function_name + ": " + run.error_message);
        continue;
      }
      if (run.iterations == 0) continue;
      const double iterations = static_cast<double>(run.iterations);
      seconds_[run.run_name.function_name].push_back(run.real_accumulated_time / iterations);
      cpuSeconds_[run.run_name.function_name].push_back(run.cpu_accumulated_time / iterations);
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Median seconds per iteration, of wall-clock time or of this thread's CPU time; negative
  // when the benchmark did not run.
  double median(const std::string& name) const { return medianOf(seconds_, name); }
  double cpuMedian(const std::string& name) const { return medianOf(cpuSeconds_, name); }

  const std::vector<std::string>& failed() const { return failed_; }

 private:
  using Samples = std::map<std::string, std::vector<double>>;

  static double medianOf(const Samples& samples, const std::string& name) {
    const auto found = samples.find(name);
    if (found == samples.end() || found->second.empty()) return -1;
    std::vector<double> values = found->second;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  }

  Samples seconds_;
  Samples cpuSeconds_;
  std::vector<std::string> failed_;
};

bool hasFlag(int argc, char** argv, const char* prefix) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0) return true;
  }
  return false;
}

}  // namespace

int runComparisons(int argc, char** argv, const std::vector<Comparison>& comparisons) {
  // What the program printed so far comes before the library's own output on stderr.
  std::fflush(stdout);
  // Interleaving the repetitions of subject and baseline spreads any drift of the machine
  // (another process, the page cache, the server warming up) over both alike.
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  if (!hasFlag(argc, argv, "--benchmark_enable_random_interleaving")) {
    args.push_back(interleave.data());
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

  // Colours only on a terminal, and never when the command line turns them off.
  const bool color = ::isatty(STDOUT_FILENO) == 1 &&
                     !hasFlag(argc, argv, "--benchmark_color=false") &&
                     !hasFlag(argc, argv, "--benchmark_color=no");
  CollectingReporter reporter(color);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  int status = 0;
  for (const std::string& failure : reporter.failed()) {
    std::printf("FAILED %s\n", failure.c_str());
    status = 1;
  }
  for (const Comparison& c : comparisons) {
    const double subject = reporter.median(c.subject);
    const double baseline = reporter.median(c.baseline);
    if (subject <= 0 || baseline <= 0) {
      std::printf("RESULT %s: %s not measured (%s or %s did not run)\n", c.label.c_str(),
                  c.description.c_str(), c.subject.c_str(), c.baseline.c_str());
      continue;
    }
    const bool throughput = c.kind == Comparison::Goal::atLeastThroughput;
    const double ratio = throughput ? baseline / subject : subject / baseline;
    const bool met = throughput ? ratio >= c.goal : ratio <= c.goal;
    char verdict[64];
    if (c.reference) {
      std::snprintf(verdict, sizeof verdict, "for reference");
    } else {
      std::snprintf(verdict, sizeof verdict, "goal %s %.2f: %s", throughput ? ">=" : "<=", c.goal,
                    met ? "met" : "MISSED");
    }
    // The CPU time of the benchmark's own thread: what the client itself costs, whatever
    // the server and the machine's load add to the wall-clock time.
    const double subjectCpu = reporter.cpuMedian(c.subject);
    const double baselineCpu = reporter.cpuMedian(c.baseline);
    std::printf(
        "RESULT %s: %s = %.2f (%s; median wall %.4g ms vs %.4g ms, own CPU %.4g ms vs %.4g "
        "ms)\n",
        c.label.c_str(), c.description.c_str(), ratio, verdict, subject * 1e3, baseline * 1e3,
        subjectCpu * 1e3, baselineCpu * 1e3);
  }
  std::fflush(stdout);
  return status;
}

}  // namespace folium::bench
