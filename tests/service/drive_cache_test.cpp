// What a drive keeps on the disk, as its user meets it through foliumctl and the mount: the
// cache's bound, pinned folders, and the edits a removed drive keeps aside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <fstream>
#include <set>

#include "platform/fileprovider/service/service_settings.hpp"
#include "tests/service/service_sandbox.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"

namespace folium::testing {
namespace {
namespace fs = std::filesystem;
namespace json = boost::json;

constexpr std::size_t kFileBytes = 40 << 10;

std::string workspaceId(const ServiceSandbox& sandbox, const fs::path& profile,
                        const std::string& name) {
  const auto listed = sandbox.foliumctl({"--profile", profile.string(), "api", "workspaces"});
  const json::value workspaces = json::parse(listed.out);
  for (const auto& workspace : workspaces.as_array()) {
    if (workspace.at("label").as_string() == name) {
      return std::string(workspace.at("id").as_string());
    }
  }
  ADD_FAILURE() << "no workspace " << name << ": " << listed.err;
  return {};
}

// The cached documents of the drive, each told by its first byte.
std::multiset<char> cached(const fs::path& state) {
  std::multiset<char> letters;
  for (const auto& entry : fs::directory_iterator(state / "contents")) {
    // One evicted meanwhile is not there to read.
    std::ifstream file(entry.path(), std::ios::binary);
    char letter = 0;
    if (file.get(letter)) letters.insert(letter);
  }
  return letters;
}

// Four 40 KiB documents under a 100 KiB bound: the least recently used one goes, but not
// one that is open, nor what is pinned; an evicted one comes back on its next open.
TEST(DriveCache, EvictsLeastRecentlyUsedButNeverOpenOrPinned) {
  FOLIUM_SKIP_WITHOUT_FUSE();
  Devserver server({"--demo"});
  ServiceSandbox sandbox;
  sandbox.setEnv("FOLIUM_CACHE_LIMIT", "100K");
  const auto profile = server.profilePath();
  const std::string domain = "folium-127-0-0-1";
  ASSERT_EQ(sandbox.foliumctl({"store", "save", profile.string()}).exitCode, 0);
  const std::string workspace = workspaceId(sandbox, profile, "Direction");
  TempDir files;
  for (const char letter : {'a', 'b', 'c', 'd'}) {
    const fs::path file = files / (std::string(1, letter) + ".bin");
    writeFile(file, std::string(kFileBytes, letter));
    ASSERT_EQ(sandbox
                  .foliumctl({"--profile", profile.string(), "api", "create-document",
                              "--workspace", workspace, file.string()})
                  .exitCode,
              0);
  }
  ASSERT_EQ(sandbox.foliumctl({"domains", "add", domain, "Bureau"}).exitCode, 0);
  const fs::path folder = sandbox.drives() / "Bureau/Direction";
  const fs::path state = sandbox.home() / ".local/state/folium/domains" / domain;
  ASSERT_TRUE(eventually([&] { return fs::exists(folder / "a.bin"); }));
  auto read = [&](char letter) {
    EXPECT_EQ(readFile(folder / (std::string(1, letter) + ".bin")),
              std::string(kFileBytes, letter));
  };
  using Letters = std::multiset<char>;

  read('a');
  read('b');
  const int held = ::open((folder / "a.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  read('c');
  EXPECT_TRUE(eventually([&] {
    return cached(state) == Letters{'a', 'c'};
  })) << "b, not the open a, made room";
  ::close(held);

  const auto pinned = sandbox.foliumctl({"pin", (folder / "Comités").string()});
  ASSERT_EQ(pinned.exitCode, 0) << pinned.err;
  // Three documents, two of them in a folder never opened.
  ASSERT_TRUE(eventually([&] { return cached(state).size() == 5; }));
  read('d');
  EXPECT_TRUE(eventually([&] {
    const auto now = cached(state);
    return now.size() == 5 && !now.contains('a') && now.contains('c') && now.contains('d');
  })) << "the pinned ones stayed, though never opened";

  const auto inside = sandbox.foliumctl({"unpin", (folder / "Comités/2026").string()});
  EXPECT_EQ(inside.exitCode, 1);
  EXPECT_NE(
      inside.err.find("stays downloaded because " + (folder / "Comités").string() + " is pinned"),
      std::string::npos)
      << inside.err;
  const auto outside = sandbox.foliumctl({"pin", sandbox.home().string()});
  EXPECT_EQ(outside.exitCode, 1);
  ASSERT_EQ(sandbox.foliumctl({"unpin", (folder / "Comités").string()}).exitCode, 0);
  read('a');
  EXPECT_TRUE(eventually([&] {
    return cached(state) == Letters{'a', 'd'};
  })) << "unpinned, they went first, then c";
}

// A drive removed while the server is away keeps its edit aside, where the user finds it,
// and its state; added again, it sends the edit and the copy goes.
TEST(DriveRemoval, KeepsUnsentEditsAsideAndResumesWhenAddedAgain) {
  FOLIUM_SKIP_WITHOUT_FUSE();
  Devserver server({"--demo"});
  ServiceSandbox sandbox;
  sandbox.setEnv("FOLIUM_REMOVAL_SECONDS", "1");
  const auto profile = server.profilePath();
  const std::string domain = "folium-127-0-0-1";
  ASSERT_EQ(sandbox.foliumctl({"store", "save", profile.string()}).exitCode, 0);
  ASSERT_EQ(sandbox.foliumctl({"domains", "add", domain, "Bureau"}).exitCode, 0);
  const fs::path document = sandbox.drives() / "Bureau/Direction/Feuille de route.md";
  ASSERT_TRUE(eventually([&] { return fs::exists(document); }));
  ASSERT_EQ(readFile(document).substr(0, 24), "# Feuille de route 2026\n");

  server.stop();
  const std::string edit = "# Feuille de route 2027\n";
  writeFile(document, edit);
  ASSERT_TRUE(eventually([&] {
    return sandbox.foliumctl({"status"}).out.find("  1 pending") != std::string::npos;
  })) << sandbox.foliumctl({"status"}).out;
  const auto busy = sandbox.foliumctl({"status", "--wait-idle", "1"});
  EXPECT_EQ(busy.exitCode, 1);
  EXPECT_NE(busy.err.find("still busy after 1 s: Bureau (1 pending)"), std::string::npos)
      << busy.err;
  // Without a number, the default wait: still waiting when the test stops it.
  const auto waiting = runProcess({programPath("foliumctl").string(), "status", "--wait-idle"},
                                  sandbox.env(), {}, std::chrono::seconds(2));
  EXPECT_EQ(waiting.exitCode, -1) << waiting.err;

  ASSERT_EQ(sandbox.foliumctl({"domains", "remove", domain}).exitCode, 0);
  const fs::path aside =
      sandbox.home() / ".local/state/folium/unsynced/Bureau/Direction/Feuille de route.md";
  ASSERT_TRUE(fs::exists(aside));
  EXPECT_EQ(readFile(aside), edit);
  EXPECT_TRUE(sandbox.mounts().empty());

  server.start({"--demo"});
  ASSERT_EQ(sandbox.foliumctl({"domains", "add", domain, "Bureau"}).exitCode, 0);
  const auto idle = sandbox.foliumctl({"status", "--wait-idle", "60"});
  EXPECT_EQ(idle.exitCode, 0) << idle.err;
  EXPECT_EQ(sandbox.foliumctl({"--profile", profile.string(), "api", "download", "8"}).out, edit);
  EXPECT_TRUE(eventually([&] { return !fs::exists(aside); }));
  EXPECT_EQ(readFile(document), edit);
}

TEST(DriveCache, ReadsItsBoundAsASize) {
  using platform::service::parseByteSize;
  const std::pair<const char*, std::optional<std::int64_t>> cases[] = {
      {"512", 512},
      {"100K", 100 << 10},
      {"1.5G", std::int64_t{3} << 29},
      {"2GiB", std::int64_t{2} << 30},
      {"20mb", 20 << 20},
      {"", std::nullopt},
      {"12X", std::nullopt},
      {"-1", std::nullopt},
      {"K", std::nullopt},
      {"1e30", std::nullopt}};
  for (const auto& [text, bytes] : cases) EXPECT_EQ(parseByteSize(text), bytes) << text;
}

}  // namespace
}  // namespace folium::testing
