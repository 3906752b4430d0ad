#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>
#include <filesystem>
#include <set>
#include <thread>

#include "tests/cli/cli_home.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium {
namespace {

using testing::ProcessResult;
using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;

constexpr const char* kToken = "tok-Zq8-never-shown";

// foliumctl with one profile file.
class Ctl : public testing::CliHome {
 public:
  explicit Ctl(const std::string& instanceURL, const std::string& token = kToken)
      : profile_(profileFile(instanceURL, "Test", token)) {}
  ProcessResult api(std::vector<std::string> args, const std::string& shellPrefix = ":") const {
    args.insert(args.begin(), {"--profile", profile_.string(), "api"});
    return run(args, shellPrefix);
  }
  const std::filesystem::path& profile() const { return profile_; }

 private:
  std::filesystem::path profile_;
};

TEST(CliOptions, WrongUsageExitsTwo) {
  Ctl ctl("http://127.0.0.1:1/");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"folder"},
           {"workspaces", "--bogus"},
           {"workspaces", "--domain", "folium-h"},
           {"create-folder", "n"},
           // Integers are decimal only, and never clamped to fit.
           {"changes", "--since", "0x10", "--limit", "1"},
           {"changes", "--since", "99999999999999999999", "--limit", "1"},
           {"search", "q", "--limit", "1e3"}}) {
    EXPECT_EQ(ctl.api(args).exitCode, 2) << args[0] << " " << args.back();
  }
}

// What each layer below reports reaches the user as one line (the kinds are told apart
// where they arise: tests/core, tests/platform).
TEST(CliFailures, OneLinePerKindOfFailureAndNothingSent) {
  const struct {
    ScriptedResponse response;
    std::vector<std::string> args;
    std::string err;           // the start of the message
    std::string address = "";  // else the scripted server
    std::string profile = "";  // a path in place of the profile file
  } cases[] = {
      {ScriptedResponse::status(404), {"folder", "f"}, "foliumctl: http status 404\n"},
      {ScriptedResponse::json(R"({"id":5,"name":"x"})"),
       {"folder", "f"},
       "foliumctl: cannot decode response: Folder.id: "},
      {{}, {"workspaces"}, "foliumctl: transport error: ", "http://127.0.0.1:1/"},
      {{}, {"workspaces"}, "foliumctl: the instance address \"localhost:8080\"", "localhost:8080"},
      {{},
       {"workspaces"},
       "foliumctl: cannot read profile file /dev/zero: not a regular file\n",
       "",
       "/dev/zero"},
      // An upload that cannot be read is named, and nothing is sent.
      {{},
       {"create-document", "--workspace", "w", "/etc"},
       "foliumctl: cannot read /etc: Is a directory\n"},
      {{},
       {"update-document", "d", "/nonexistent/missing.md"},
       "foliumctl: cannot read /nonexistent/missing.md: No such file or directory\n"},
      {{},
       {"create-document", "--workspace", "w", "/dev/zero"},
       "foliumctl: cannot upload /dev/zero: not a regular file: Invalid argument\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    ScriptedServer server([&](const RecordedRequest&) { return c.response; });
    Ctl ctl(c.address.empty() ? server.baseURL() : c.address);
    const std::string profile = c.profile.empty() ? ctl.profile().string() : c.profile;
    std::vector<std::string> argv{"--profile", profile, "api"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto result = ctl.run(argv);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.find(kToken), std::string::npos);
    if (c.response.statusCode == 200 && c.response.body.empty()) {
      EXPECT_EQ(server.requestCount(), 0u);
    }
  }
}

TEST(CliDownload, ReplacesOnlyWhatFileNamesAndWritesThroughToDevicesAndPipesOrFails) {
  ScriptedServer server([](const RecordedRequest& request) {
    if (request.path.find("/gone/") != std::string::npos) return ScriptedResponse::status(404);
    return ScriptedResponse::bytes("contenu");
  });
  Ctl ctl(server.baseURL());
  namespace fs = std::filesystem;
  const fs::path folder = ctl.path("out");
  fs::create_directory(folder);
  const fs::path victim = ctl.path("victim"), target = folder / "target", file = folder / "file";
  testing::writeFile(victim, "keep me");
  testing::writeFile(target, "old");
  // A link planted where a fixed temporary name would be, and FILE as a link to a file.
  fs::create_symlink(victim, folder / "file.part");
  fs::create_symlink(target, folder / "link");
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  std::string fromFifo;
  std::thread reader([&] { fromFifo = testing::readFile(folder / "fifo"); });

  for (const char* name : {"file", "link", "fifo"}) {
    auto result = ctl.api({"download", "d", "-o", (folder / name).string()});
    EXPECT_EQ(result.exitCode, 0) << name << ": " << result.err;
  }
  reader.join();
  EXPECT_EQ(ctl.api({"download", "d", "-o", "/dev/null"}).exitCode, 0);
  // Output that cannot be written is a failure.
  const auto full = ctl.api({"download", "d"}, "exec >/dev/full");
  EXPECT_EQ(full.exitCode, 1);
  EXPECT_EQ(full.err, "foliumctl: cannot write to standard output\n");
  // A failed download leaves the file as it was.
  auto failed = ctl.api({"download", "gone", "-o", target.string()});
  EXPECT_EQ(failed.exitCode, 1);

  EXPECT_EQ(testing::readFile(file), "contenu");
  EXPECT_EQ(testing::fileMode(file), 0600u);
  EXPECT_EQ(testing::readFile(victim), "keep me");
  EXPECT_TRUE(fs::is_symlink(folder / "link"));
  EXPECT_EQ(testing::readFile(target), "contenu");
  EXPECT_EQ(fromFifo, "contenu");
  EXPECT_TRUE(fs::is_fifo(folder / "fifo"));
  EXPECT_EQ(testing::folderEntries(folder),
            (std::set<std::string>{"fifo", "file", "file.part", "link", "target"}));
}

TEST(CliOutput, RecordsUseFieldNamesAndChangePagesTheirShape) {
  ScriptedServer server([](const RecordedRequest& r) {
    if (r.path.ends_with("changes")) {
      return ScriptedResponse::json(
          R"({"changes":[{"id":3,"entity_type":"Document","entity_id":"9","action":"deleted",
              "occurred_at":"t"}],"cursor":3,"has_more":false})");
    }
    return ScriptedResponse::json(
        R"({"id":"f","name":"Sous-dossier","documents_folder_id":null,"workspace_id":"w",
            "updated_at":"2026-01-01T00:00:00Z","extra":[1,2]})");
  });
  Ctl ctl(server.baseURL());
  // --profile is taken wherever it stands.
  const std::string p = ctl.profile().string();
  for (const auto& argv :
       std::vector<std::vector<std::string>>{{"--profile", p, "api", "folder", "f"},
                                             {"api", "--profile", p, "folder", "f"},
                                             {"api", "folder", "f", "--profile", p}}) {
    EXPECT_EQ(
        ctl.run(argv).out,
        R"({"id":"f","name":"Sous-dossier","workspaceId":"w","updatedAt":"2026-01-01T00:00:00Z"})"
        "\n");
  }
  auto changes = ctl.api({"changes", "--since", "0", "--limit", "500"});
  EXPECT_EQ(
      changes.out,
      R"({"changes":[{"id":3,"entityType":"Document","entityId":"9","action":"deleted","occurredAt":"t"}],"cursor":3,"hasMore":false})"
      "\n");
  EXPECT_EQ(server.requests().back().query, "cursor=0&limit=500");
  // A leading zero is decimal, not octal.
  EXPECT_EQ(ctl.api({"changes", "--since", "010", "--limit", "-0"}).exitCode, 0);
  EXPECT_EQ(server.requests().back().query, "cursor=10&limit=0");
}

std::string field(const std::string& json, const char* key) {
  return std::string(boost::json::parse(json).as_object().at(key).as_string());
}

// The api group end to end: nested folders, moves, contents replaced, search, and files
// written by `download`.
TEST(CliAgainstDevserver, FoldersMovesContentsAndSearchEndToEnd) {
  testing::Devserver server({"--demo"});
  Ctl ctl(server.baseURL(), server.token());
  const std::string ws(
      boost::json::parse(ctl.api({"workspaces"}).out).as_array().at(0).at("id").as_string());
  auto folder = ctl.api({"create-folder", "--workspace", ws, "Comptes rendus"});
  ASSERT_EQ(folder.exitCode, 0) << folder.err;
  const std::string folderId = field(folder.out, "id");
  auto sub = ctl.api({"create-folder", "--workspace", ws, "--parent", folderId, "2026"});
  EXPECT_EQ(field(sub.out, "documentsFolderId"), folderId);

  std::string contents = "# Réunion du lundi\n" + std::string("\0\xff", 2);
  testing::writeFile(ctl.path("réunion \"lundi\".md"), contents);
  auto doc = ctl.api({"create-document", "--workspace", ws, "--folder", folderId,
                      ctl.path("réunion \"lundi\".md").string()});
  ASSERT_EQ(doc.exitCode, 0) << doc.err;
  const std::string docId = field(doc.out, "id");
  EXPECT_EQ(field(doc.out, "name"), "réunion %22lundi%22.md");
  ASSERT_EQ(ctl.api({"download", docId, "-o", ctl.path("copie.md").string()}).exitCode, 0);
  EXPECT_EQ(testing::readFile(ctl.path("copie.md")), contents);

  testing::writeFile(ctl.path("v2.md"), "version deux");
  ASSERT_EQ(ctl.api({"update-document", docId, ctl.path("v2.md").string()}).exitCode, 0);
  EXPECT_EQ(ctl.api({"download", docId}).out, "version deux");
  EXPECT_NE(ctl.api({"search", "deux"}).out.find(docId), std::string::npos);
  auto moved = ctl.api({"move-document", docId});
  EXPECT_EQ(boost::json::parse(moved.out).as_object().count("documentsFolderId"), 0u);
  EXPECT_EQ(ctl.api({"delete-folder", folderId}).out, "");
  EXPECT_EQ(ctl.api({"folder", field(sub.out, "id")}).err, "foliumctl: http status 404\n");
  EXPECT_EQ(ctl.api({"document", docId}).exitCode, 0) << "the document had moved out";
}

}  // namespace
}  // namespace folium
