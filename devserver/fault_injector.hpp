#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>

namespace folium::devserver {

struct FaultSettings {
  double failRate = 0;                   // share of requests answered 500
  double dropRate = 0;                   // share of responses cut off in the middle of their body
  std::chrono::milliseconds latency{0};  // added before every answer
  std::optional<std::uint64_t> seed;     // reproducible draws; random when absent
};

// What happens to one request.
struct FaultDecision {
  bool fail = false;
  bool drop = false;
};

// Draws the faults of each request from one seeded generator, in the order requests arrive:
// a client that sends its requests one after another sees the same faults on every run with
// the same seed. Every request draws the same number of values whatever the outcome, so the
// sequence does not depend on which requests failed. Thread-safe.
class FaultInjector {
 public:
  explicit FaultInjector(FaultSettings settings);

  bool active() const;
  std::chrono::milliseconds latency() const { return settings_.latency; }
  FaultDecision next();

 private:
  FaultSettings settings_;
  std::mutex mutex_;  // guards generator_
  std::mt19937_64 generator_;
};

}  // namespace folium::devserver
