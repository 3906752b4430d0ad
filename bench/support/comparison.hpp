#pragma once

#include <string>
#include <vector>

namespace folium::bench {

// Two benchmarks of one program set against each other: `subject` (the code under test)
// and `baseline` (the same work done the simplest way), both by their function names.
struct Comparison {
  enum class Goal {
    atLeastThroughput,  // baseline time / subject time must reach `goal`
    atMostTime,         // subject time / baseline time must stay within `goal`
  };

  std::string label;     // "decode", "listing", ...
  std::string subject;   // "BM_Decode"
  std::string baseline;  // "BM_Parse"
  Goal kind = Goal::atMostTime;
  double goal = 1.0;        // none when `reference`
  std::string description;  // "decode throughput / parse throughput"
  bool reference = false;   // shown for comparison only, with no goal
};

// Runs the program's benchmarks as Google Benchmark does (its flags are accepted), with the
// runs of all benchmarks interleaved at random unless the command line says otherwise, then
// prints one line per comparison from the median times of the repetitions:
//   RESULT decode: decode throughput / parse throughput = 0.71 (goal >= 0.50: met; ...)
// Returns the program's exit status: 0 when every benchmark ran, whether or not goals were
// met (a missed goal is a finding, not a crash).
int runComparisons(int argc, char** argv, const std::vector<Comparison>& comparisons);

}  // namespace folium::bench
