// The program as scripts and people start it: arguments, exit statuses, the announced
// address, the profile it writes, the sample tree, a clean stop.

#include <gtest/gtest.h>
#include <signal.h>

#include "core/folium_provisioning.hpp"
#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"

namespace folium::devserver::testing {
namespace {

using folium::testing::BackgroundProcess;
using folium::testing::Devserver;
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
      {"--token", "t"},
      {"--data", data},
      {"--data", data, "--token", ""},
      {"--data", data, "--token", "t", "--fail-rate", "1.5"},
      {"--data", data, "--token", "t", "--port", "70000"},
      {"--data", data, "--token", "t", "--no-such-option"},
      {"--data", data, "--token-file", (dir / "missing").string()},
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

TEST(CommandLine, UnusableDataFolderExitsWithFailure) {
  TempDir dir;
  folium::testing::writeFile(dir / "file", "not a folder");
  for (auto data : {dir / "file", dir / "file" / "below"}) {
    auto result =
        runProcess({program(), "--data", data.string(), "--token", "t"}, dir.isolatedEnv());
    EXPECT_EQ(result.exitCode, 1) << data << "\n" << result.err;
    EXPECT_NE(result.err.find(data.string()), std::string::npos) << result.err;
  }
}

TEST(CommandLine, AnnouncesItselfWritesAProfileAndStopsCleanly) {
  TempDir dir;
  auto data = dir / "new" / "data";
  std::filesystem::create_directory(dir / "new");
  auto profile = dir / "local.foliumprofile";
  folium::testing::writeFile(dir / "tokens", "# test tokens\n\n  first-token  \r\nsecond-token\n");
  // The second start names itself, and is stopped by another signal.
  for (int signal : {SIGTERM, SIGINT}) {
    std::vector<std::string> args = {program(),
                                     "--data",
                                     data.string(),
                                     "--token-file",
                                     (dir / "tokens").string(),
                                     "--write-profile",
                                     profile.string()};
    if (signal == SIGINT) args.insert(args.end(), {"--name", "Mon serveur"});
    // The second start finds the folder opened up by hand, and closes it again.
    if (signal == SIGINT) std::filesystem::permissions(data, std::filesystem::perms::all);
    BackgroundProcess process(args, dir.isolatedEnv());
    std::string url = process.readLine();
    EXPECT_TRUE(url.starts_with("http://127.0.0.1:") && url.ends_with("/")) << url;
    EXPECT_EQ(fileMode(data), 0700u);
    EXPECT_EQ(fileMode(profile), 0600u);

    auto provisioning = FoliumProvisioning::decode(folium::testing::readFile(profile));
    EXPECT_EQ(provisioning.displayName, signal == SIGINT ? "Mon serveur" : "Démo Folium");
    EXPECT_EQ(provisioning.token, "first-token");
    auto raw = json::parse(folium::testing::readFile(profile)).as_object();
    EXPECT_EQ(str(raw.at("instance_url")), url);

    httplib::Client client(url.substr(0, url.size() - 1));
    for (const std::string& token : std::vector<std::string>{"first-token", "second-token"}) {
      auto reply =
          client.Get("/api/v1/documents/workspaces", {{"Authorization", "Bearer " + token}});
      ASSERT_TRUE(reply) << token;
      EXPECT_EQ(reply->status, 200) << token;
    }
    auto comment =
        client.Get("/api/v1/documents/workspaces", {{"Authorization", "Bearer # test tokens"}});
    ASSERT_TRUE(comment);
    EXPECT_EQ(comment->status, 401);
    EXPECT_EQ(process.stop(signal), 0) << "signal " << signal;
  }
}

// The sample tree itself is what the plug-in's tests browse (tests/fileprovider).
TEST(DemoTree, IsSeededOnce) {
  TempDir dir;
  auto data = dir / "data";
  std::size_t documents = 0;
  {
    Devserver server({"--data", data.string(), "--demo"});
    documents = ApiClient(server).get("documents/documents").json().as_array().size();
    EXPECT_GT(documents, 3u);
  }
  Devserver again({"--data", data.string(), "--demo"});
  EXPECT_EQ(ApiClient(again).get("documents/documents").json().as_array().size(), documents)
      << "a second start seeded again";
}

}  // namespace
}  // namespace folium::devserver::testing
