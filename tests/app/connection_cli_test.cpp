// foliumctl's connection commands against the real drive service and a devserver.

#include <gtest/gtest.h>

#include "tests/service/service_sandbox.hpp"
#include "tests/support/devserver.hpp"

namespace folium::app::testing {
namespace {

using folium::testing::ProcessResult;

std::string lines(const ProcessResult& result) { return result.out + result.err; }

TEST(ConnectionCommands, ImportSearchRepairAndDisconnectThroughTheService) {
  FOLIUM_SKIP_WITHOUT_FUSE();
  folium::testing::Devserver server;
  folium::testing::ServiceSandbox sandbox;
  const auto profile = server.profilePath();  // display name "Test"

  struct Step {
    std::vector<std::string> args;
    int exitCode;
    std::string output;  // stdout, then stderr
  };
  const std::vector<Step> steps = {
      {{"import", profile.string()}, 0, "Connecté à Test — disponible dans le Finder.\n"},
      {{"search", "introuvable", "--drive", "Test"}, 0, "Aucun résultat pour « introuvable ».\n"},
      {{"repair"}, 0, "Disque réparé — ouvre le Finder.\n"},
      {{"open", "Nope"}, 1, "foliumctl: no connection is named Nope; foliumctl list shows them\n"},
      {{"search", ""}, 2, ""},
      {{"disconnect", "Test"}, 0, "Test déconnectée.\n"},
      {{"list"}, 0, "[]\n"},
      {{"search", "x"}, 1, "foliumctl: Aucune instance Folium correspondante n'est connectée.\n"},
      {{"import", (sandbox.home() / "none.foliumprofile").string()}, 1, ""},
  };
  for (const auto& step : steps) {
    const ProcessResult result = sandbox.foliumctl(step.args);
    SCOPED_TRACE(step.args.front());
    EXPECT_EQ(result.exitCode, step.exitCode) << lines(result);
    if (!step.output.empty()) {
      EXPECT_EQ(lines(result), step.output);
    }
    EXPECT_EQ(lines(result).find(server.token()), std::string::npos);
  }
  // The drive came and went with its profile.
  EXPECT_TRUE(folium::testing::eventually([&] { return sandbox.mounts().empty(); }));
}

}  // namespace
}  // namespace folium::app::testing
