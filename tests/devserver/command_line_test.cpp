// The program as scripts and people start it: arguments, exit statuses, the announced
// address, the profile it writes, the sample tree, a clean stop.

#include <gtest/gtest.h>
#include <signal.h>

#include "core/folium_provisioning.hpp"
#include "core/json_decoding.hpp"
#include "core/records.hpp"
#include "tests/devserver/api_client.hpp"
#include "tests/support/keyring.hpp"

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
      {"--data", data, "--token", "t", "--drop-rate", "-0.1"},
      {"--data", data, "--token", "t", "--port", "70000"},
      {"--data", data, "--token", "t", "--latency", "soon"},
      {"--data", data, "--token", "t", "--no-such-option"},
      {"--data", data, "--token-file", (dir / "missing").string()},
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

TEST(DemoTree, SeedsAFrenchSampleTreeOnce) {
  TempDir dir;
  auto data = dir / "data";
  std::vector<std::string> names;
  {
    Devserver server({"--data", data.string(), "--demo"});
    ApiClient api(server);
    auto workspaces = decodeArray<Workspace>(api.get("documents/workspaces").body);
    std::vector<std::string> labels;
    for (const auto& w : workspaces) labels.push_back(w.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"Direction", "Projets", "Ressources humaines"}));

    auto documents = decodeArray<FoliumDocument>(api.get("documents/documents").body);
    auto folders = decodeArray<Folder>(api.get("documents/folders").body);
    bool nested = std::any_of(folders.begin(), folders.end(),
                              [](const Folder& f) { return f.documentsFolderId; });
    EXPECT_TRUE(nested) << "the sample has folders inside folders";
    for (const auto& d : documents) names.push_back(d.name);
    for (const std::string& expected : std::vector<std::string>{
             "Compte rendu réunion.md", "Rapport annuel 2025.pdf", "Livret d'accueil.md"}) {
      EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
    }
    for (const auto& d : documents) {
      std::string bytes = api.get("documents/documents/" + d.id + "/blob").body;
      if (d.name.ends_with(".pdf")) {
        EXPECT_TRUE(bytes.starts_with("%PDF-1.4\n")) << d.name;
        EXPECT_TRUE(bytes.ends_with("%%EOF\n")) << d.name;
      } else {
        EXPECT_FALSE(bytes.empty()) << d.name;
      }
    }
    auto hits = api.get("search?q=rapport%20annuel").json().at("results").as_array();
    ASSERT_FALSE(hits.empty());
    EXPECT_EQ(str(hits[0].at("name")), "Rapport annuel 2025.pdf");
  }
  Devserver again({"--data", data.string(), "--demo"});
  ApiClient api(again);
  EXPECT_EQ(decodeArray<FoliumDocument>(api.get("documents/documents").body).size(), names.size())
      << "a second start seeded again";
}

}  // namespace
}  // namespace folium::devserver::testing
