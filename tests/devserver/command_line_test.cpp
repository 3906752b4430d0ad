// The program as scripts and people start it: arguments, exit statuses, the announced
// address, the profile it writes, a clean stop.

#include <gtest/gtest.h>
#include <signal.h>

#include "core/folium_provisioning.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::BackgroundProcess;
using folium::testing::fileMode;
using folium::testing::programPath;
using folium::testing::runProcess;
using folium::testing::TempDir;

std::string program() { return programPath("folium-devserver").string(); }

TEST(CommandLine, BadArgumentsExitWithUsageStatus) {
  TempDir dir;
  std::string data = (dir / "data").string();
  std::vector<std::vector<std::string>> cases = {
      {},
      {"--data", data, "--token", ""},
      {"--data", data, "--token", "t", "--fail-rate", "1.5"},
      {"--data", data, "--token", "t", "--no-such-option"},
      {"--data", data, "--token-file", "/dev/zero"},  // must not fill the memory
  };
  for (auto args : cases) {
    std::string text;
    for (const auto& a : args) text += a + " ";
    args.insert(args.begin(), program());
    auto result = runProcess(args, dir.isolatedEnv());
    EXPECT_EQ(result.exitCode, 2) << text << "\n" << result.err;
    EXPECT_FALSE(result.err.empty()) << text;
    EXPECT_TRUE(result.out.empty()) << text << ": printed " << result.out;
  }
  EXPECT_FALSE(std::filesystem::exists(data)) << "a refused start created the data folder";
}

// A data folder left open is closed again; the tokens file has comments and blank lines.
TEST(CommandLine, AnnouncesItselfWritesAProfileAndStopsCleanly) {
  TempDir dir;
  const auto data = dir / "data", profile = dir / "local.foliumprofile";
  std::filesystem::create_directory(data);
  std::filesystem::permissions(data, std::filesystem::perms::all);
  folium::testing::writeFile(dir / "tokens", "# test tokens\n\n  first-token  \r\nsecond-token\n");
  BackgroundProcess process(
      {program(), "--data", data.string(), "--token-file", (dir / "tokens").string(),
       "--write-profile", profile.string(), "--name", "Mon serveur"},
      dir.isolatedEnv());
  const std::string url = process.readLine();
  EXPECT_TRUE(url.starts_with("http://127.0.0.1:") && url.ends_with("/")) << url;
  EXPECT_EQ(fileMode(data), 0700u);
  EXPECT_EQ(fileMode(profile), 0600u);
  const auto provisioning = FoliumProvisioning::decode(folium::testing::readFile(profile));
  EXPECT_EQ(provisioning.displayName, "Mon serveur");
  EXPECT_EQ(provisioning.token, "first-token");
  EXPECT_EQ(provisioning.instanceURL.absoluteString(), url);

  httplib::Client client(url.substr(0, url.size() - 1));
  for (const auto& [token, status] :
       {std::pair{"first-token", 200}, {"second-token", 200}, {"# test tokens", 401}}) {
    auto reply = client.Get("/api/v1/documents/workspaces",
                            {{"Authorization", std::string("Bearer ") + token}});
    ASSERT_TRUE(reply) << token;
    EXPECT_EQ(reply->status, status) << token;
  }
  EXPECT_EQ(process.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace folium::devserver::testing
