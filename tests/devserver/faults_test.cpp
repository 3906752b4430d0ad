// Fault injection is reproducible with a seed. That failed requests and dropped answers
// keep the connection and the data sound is shown by the drive's own run under faults
// (tests/drive).

#include <gtest/gtest.h>

#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::Devserver;

std::vector<int> statuses(const std::vector<std::string>& args, int count = 120) {
  Devserver server(args);
  httplib::Client http = httpOf(server);
  std::vector<int> out;
  for (int i = 0; i < count; ++i) out.push_back(http.Get("/api/v1/documents/workspaces")->status);
  return out;
}

TEST(FaultInjection, SameSeedFailsTheSameRequests) {
  const std::vector<std::string> args = {"--fail-rate", "0.3", "--seed", "7", "--latency", "1"};
  const auto a = statuses(args);
  EXPECT_EQ(statuses(args), a);
  const long failures = std::count(a.begin(), a.end(), 500);
  EXPECT_EQ(failures + std::count(a.begin(), a.end(), 200), 120) << "only 200 and 500 expected";
  EXPECT_GT(failures, 15);
  EXPECT_LT(failures, 60);
  EXPECT_NE(statuses({"--fail-rate", "0.3", "--seed", "8"}), a);
  EXPECT_EQ(statuses({"--fail-rate", "0"}, 20), std::vector<int>(20, 200));
}

}  // namespace
}  // namespace folium::devserver::testing
