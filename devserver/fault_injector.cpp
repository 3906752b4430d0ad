#include "devserver/fault_injector.hpp"

namespace folium::devserver {

namespace {

std::uint64_t seedFrom(const FaultSettings& settings) {
  if (settings.seed) return *settings.seed;
  std::random_device device;
  return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace

FaultInjector::FaultInjector(FaultSettings settings)
    : settings_(settings), generator_(seedFrom(settings)) {}

bool FaultInjector::active() const {
  return settings_.failRate > 0 || settings_.dropRate > 0 || settings_.latency.count() > 0;
}

FaultDecision FaultInjector::next() {
  if (settings_.failRate <= 0 && settings_.dropRate <= 0) return {};
  std::lock_guard lock(mutex_);
  // Uniform in [0, 1) from the top 53 bits: the same on every platform, unlike
  // std::uniform_real_distribution whose algorithm the standard leaves open.
  auto draw = [this] { return static_cast<double>(generator_() >> 11) * 0x1.0p-53; };
  double failDraw = draw();
  double dropDraw = draw();
  return FaultDecision{failDraw < settings_.failRate, dropDraw < settings_.dropRate};
}

}  // namespace folium::devserver
