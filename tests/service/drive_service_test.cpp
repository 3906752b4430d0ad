// The drive service as its users meet it: foliumctl and the manager client against a real
// supervisor, real worker processes and real mounts, in a temporary HOME.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <boost/json.hpp>
#include <future>
#include <set>
#include <thread>

#include "platform/fileprovider/service/service_manager.hpp"
#include "platform/fileprovider/service/service_paths.hpp"
#include "tests/service/service_sandbox.hpp"
#include "tests/support/devserver.hpp"
#include "tests/support/process.hpp"

namespace folium::testing {
namespace {
namespace fs = std::filesystem;
namespace json = boost::json;
using platform::service::driveMountPoints;

// "identifier=path" for each registered drive, in order; path empty while not mounted.
std::vector<std::string> listed(const ServiceSandbox& sandbox) {
  const auto result = sandbox.foliumctl({"domains", "list"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  const json::value list = json::parse(result.out);
  std::vector<std::string> entries;
  for (const auto& entry : list.as_array()) {
    const auto& object = entry.as_object();
    const auto& path = object.at("path");
    entries.push_back(std::string(object.at("identifier").as_string()) + "=" +
                      (path.is_string() ? std::string(path.as_string()) : ""));
  }
  return entries;
}

bool mountLive(const fs::path& path) {
  struct stat info {};
  struct stat parent {};
  return ::stat(path.c_str(), &info) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0 &&
         info.st_dev != parent.st_dev;
}

// Names are escaped and cut as the drive shows names (tests/drive); here, made unique.
TEST(DriveNames, MadeUniqueInRegistrationOrder) {
  const std::string longName(300, 'e');
  const auto mounts = driveMountPoints({{"a", "Démo"},
                                        {"b", "Démo"},
                                        {"c", "Démo (2)"},
                                        {"d", "Démo"},
                                        {"e", longName},
                                        {"f", longName},
                                        {"g", ".."}},
                                       "/d");
  const std::vector<fs::path> expected{"/d/Démo",
                                       "/d/Démo (2)",
                                       "/d/Démo (2) (2)",
                                       "/d/Démo (3)",
                                       "/d/" + longName.substr(0, 255),
                                       "/d/" + longName.substr(0, 251) + " (2)",
                                       "/d/_.."};
  EXPECT_EQ(mounts, expected);
}

// One user's session: drives registered, browsed, followed, renamed, refused, asked after
// and removed. The first drive is the sample server's; the others have no profile.
TEST(DriveService, RegistersMountsAndRemovesDrives) {
  FOLIUM_SKIP_WITHOUT_FUSE();
  Devserver server({"--demo"});
  ServiceSandbox sandbox;
  const fs::path drives = sandbox.drives();
  const std::string a = "folium-127-0-0-1";
  const auto saved = sandbox.foliumctl({"store", "save", server.profilePath().string()});
  ASSERT_EQ(saved.out, a + "\n") << saved.err;
  for (const auto& [id, name] :
       {std::pair{a, "Bureau"}, {"folium-b", "Bureau"}, {"folium-c", "x/y"}}) {
    const auto added = sandbox.foliumctl({"domains", "add", id, name});
    ASSERT_EQ(added.exitCode, 0) << added.err;
  }
  const std::vector<std::string> mounted{a + "=" + (drives / "Bureau").string(),
                                         "folium-b=" + (drives / "Bureau (2)").string(),
                                         "folium-c=" + (drives / "x\u2215y").string()};
  ASSERT_TRUE(eventually([&] { return listed(sandbox) == mounted; })) << listed(sandbox).size();
  EXPECT_TRUE(mountLive(drives / "Bureau (2)"));
  EXPECT_EQ(sandbox.workers().size(), 3u);
  EXPECT_EQ(readFile(drives / "Bureau/Direction/Feuille de route.md").substr(0, 24),
            "# Feuille de route 2026\n");

  // A change on the server shows once the drive is asked to look.
  const auto renamedOnServer = sandbox.foliumctl(
      {"--profile", server.profilePath().string(), "api", "rename-document", "8", "Plan 2026.md"});
  ASSERT_EQ(renamedOnServer.exitCode, 0) << renamedOnServer.err;
  ASSERT_EQ(sandbox.foliumctl({"domains", "signal", a}).exitCode, 0);
  EXPECT_TRUE(eventually([&] { return fs::exists(drives / "Bureau/Direction/Plan 2026.md"); }));

  // Adding again keeps the place and takes the new name; the namesake moves into the name
  // freed.
  ASSERT_EQ(sandbox.foliumctl({"domains", "add", a, "Archives"}).exitCode, 0);
  const std::vector<std::string> renamed{a + "=" + (drives / "Archives").string(),
                                         "folium-b=" + (drives / "Bureau").string(),
                                         "folium-c=" + (drives / "x\u2215y").string()};
  ASSERT_TRUE(eventually([&] { return listed(sandbox) == renamed; }));
  const auto registry = json::parse(readFile(sandbox.home() / ".local/share/folium/domains.json"));
  EXPECT_EQ(json::serialize(registry), R"([{"identifier":")" + a +
                                           R"(","displayName":"Archives"},)"
                                           R"({"identifier":"folium-b","displayName":"Bureau"},)"
                                           R"({"identifier":"folium-c","displayName":"x/y"}])");
  EXPECT_FALSE(fs::exists(drives / "Bureau (2)"));

  struct Refusal {
    std::vector<std::string> args;
    std::string message;
  } refusals[] = {
      {{"domains", "remove", "folium-zz"}, "no drive is registered as \"folium-zz\""},
      {{"domains", "add", "a/b", "X"}, "invalid domain identifier \"a/b\""},
      {{"domains", "signal", "folium-zz"}, "no drive is registered as \"folium-zz\""},
      {{"domains", "url", a, "do:999"}, "no local location for do:999"},
      {{"pin", sandbox.home().string()}, sandbox.home().string() + " is not in a Folium drive"},
  };
  for (const auto& refusal : refusals) {
    const auto result = sandbox.foliumctl(refusal.args);
    EXPECT_EQ(result.exitCode, 1) << refusal.args[1];
    EXPECT_NE(result.err.find("foliumctl: " + refusal.message), std::string::npos) << result.err;
  }
  EXPECT_EQ(listed(sandbox), renamed) << "a refused call changed nothing";

  const auto root = sandbox.foliumctl({"domains", "url", "folium-c", "@root"});
  EXPECT_EQ(root.out, (drives / "x\u2215y").string() + "\n") << root.err;

  // The sample server's drive is online; the others reach no server.
  const auto status = sandbox.foliumctl({"status"});
  EXPECT_EQ(status.out.substr(0, status.out.find('\n')),
            "Archives  " + (drives / "Archives").string() + "  online")
      << status.err;
  EXPECT_NE(status.out.find("\nBureau  " + (drives / "Bureau").string() + "  "), std::string::npos);
  const auto statusJson = sandbox.foliumctl({"status", "--json"});
  ASSERT_EQ(statusJson.exitCode, 0) << statusJson.err;
  auto first = json::parse(statusJson.out).as_array().at(0).as_object();
  EXPECT_TRUE(first.at("anchor").is_string() && first.at("anchor").as_string().starts_with("v4:"));
  first.erase("anchor");
  EXPECT_EQ(json::serialize(first),
            R"({"identifier":")" + a + R"(","displayName":"Archives","path":")" +
                (drives / "Archives").string() +
                R"(","state":"online","pendingUploads":0,"refusedUploads":0,"conflicts":0,)"
                R"("lastError":null})");

  // Removal unmounts and takes the empty folder away.
  ASSERT_EQ(sandbox.foliumctl({"domains", "remove", "folium-b"}).exitCode, 0);
  EXPECT_EQ(listed(sandbox), (std::vector<std::string>{renamed[0], renamed[2]}));
  EXPECT_FALSE(fs::exists(drives / "Bureau"));
  EXPECT_TRUE(sandbox.workers("folium-b").empty());
  const fs::path states = sandbox.home() / ".local/state/folium/domains";
  EXPECT_FALSE(fs::exists(states / "folium-b")) << "nothing waited to be sent: its state went";
  EXPECT_TRUE(fs::exists(states / a));
  ASSERT_EQ(sandbox.foliumctl({"domains", "remove-all"}).exitCode, 0);
  EXPECT_TRUE(sandbox.mounts().empty());
  // Nothing registered and nobody connected: the supervisor goes away by itself.
  EXPECT_TRUE(eventually([&] { return sandbox.supervisors().empty(); }));
}

TEST(DriveService, RacingClientsShareOneSupervisorOrSayWhyNoneStarts) {
  ServiceSandbox sandbox;
  std::vector<std::future<ProcessResult>> clients;
  for (int i = 0; i < 6; ++i) {
    clients.push_back(std::async(std::launch::async, [&] {
      return sandbox.foliumctl({"domains", "list"});
    }));
  }
  const auto log = sandbox.home() / ".local/state/folium/fileproviderd.log";
  for (auto& client : clients) {
    const auto result = client.get();
    EXPECT_EQ(result.exitCode, 0) << result.err << "the supervisors' log:\n"
                                  << (fs::exists(log) ? readFile(log) : "(none)");
    EXPECT_EQ(result.out, "[]\n");
  }
  // Every client found the same one: a second would have been refused by the first's lock
  // and left at once, but while it lives it shows here.
  EXPECT_LE(sandbox.supervisors().size(), 1u);
  EXPECT_TRUE(eventually([&] { return sandbox.supervisors().empty(); }));
  EXPECT_EQ(fs::exists(log) ? readFile(log).find("already running") : std::string::npos,
            std::string::npos);

  // A client whose service program is nowhere to be found says so at once.
  const fs::path alone = sandbox.home() / "bin";
  fs::create_directories(alone);
  fs::copy_file(programPath("foliumctl"), alone / "foliumctl");
  auto env = sandbox.env();
  env["PATH"] = "/usr/bin:/bin";
  const auto missing = runProcess({(alone / "foliumctl").string(), "domains", "list"}, env);
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("cannot run the drive service (folium-fileproviderd): No such file"),
            std::string::npos)
      << missing.err;
}

// A worker killed outright leaves its mount dead (ENOTCONN); the supervisor starts it again
// on the same folder, and a SIGTERM to the supervisor unmounts everything.
TEST(DriveService, KilledWorkerComesBackAndStopUnmounts) {
  FOLIUM_SKIP_WITHOUT_FUSE();
  ServiceSandbox sandbox;
  ASSERT_EQ(sandbox.foliumctl({"domains", "add", "folium-k", "Démo"}).exitCode, 0);
  const fs::path mount = sandbox.drives() / "Démo";
  ASSERT_TRUE(eventually([&] { return mountLive(mount); }));
  const auto before = sandbox.workers("folium-k");
  ASSERT_EQ(before.size(), 1u);
  ::kill(before[0], SIGKILL);
  ASSERT_TRUE(eventually([&] {
    const auto now = sandbox.workers("folium-k");
    return now.size() == 1 && now[0] != before[0] && mountLive(mount);
  }));
  EXPECT_EQ(sandbox.mounts(), std::vector<fs::path>{mount});
  EXPECT_EQ(sandbox.foliumctl({"domains", "url", "folium-k", "@root"}).out, mount.string() + "\n");

  const auto supervisors = sandbox.supervisors();
  ASSERT_EQ(supervisors.size(), 1u);
  ::kill(supervisors[0], SIGTERM);
  EXPECT_TRUE(eventually([&] { return sandbox.supervisors().empty(); }));
  EXPECT_TRUE(sandbox.workers().empty());
  EXPECT_TRUE(sandbox.mounts().empty());
  // The registry outlives the supervisor: the next client brings the drive back.
  EXPECT_EQ(sandbox.foliumctl({"domains", "list"}).exitCode, 0);
  EXPECT_TRUE(eventually([&] { return mountLive(mount); }));
}

// The application's view: completions once each, never on the calling thread.
TEST(ServiceManager, CompletesOnceOffTheCallingThread) {
  FOLIUM_SKIP_WITHOUT_FUSE();
  ServiceSandbox sandbox;
  sandbox.enterInProcess();
  auto manager = platform::makeServiceManager();
  const auto caller = std::this_thread::get_id();
  std::atomic<int> offThread{0};
  auto wait = [&](auto call) {
    std::promise<platform::ErrorPtr> done;
    std::atomic<int> calls{0};
    call([&](platform::ErrorPtr error) {
      if (std::this_thread::get_id() != caller) ++offThread;
      if (++calls == 1) done.set_value(std::move(error));
    });
    auto error = done.get_future().get();
    EXPECT_EQ(calls, 1);
    return error;
  };

  EXPECT_FALSE(wait([&](auto done) { manager->addDomain({"folium-m", "Maison"}, done); }));
  EXPECT_FALSE(wait([&](auto done) { manager->addDomain({"folium-n", "Nuage"}, done); }));
  EXPECT_FALSE(wait([&](auto done) { manager->addDomain({"folium-m", "Maison 2"}, done); }));
  const auto unknown = wait([&](auto done) { manager->removeDomain({"folium-zz", "Zz"}, done); });
  ASSERT_TRUE(unknown);
  EXPECT_NE(unknown->description().find("folium-zz"), std::string::npos);
  EXPECT_EQ(std::get<std::string>(unknown->userInfo().at("identifier")), "folium-zz");

  std::promise<std::vector<platform::FileProviderDomain>> listed;
  manager->getDomains([&](auto domains, platform::ErrorPtr error) {
    EXPECT_FALSE(error);
    EXPECT_NE(std::this_thread::get_id(), caller);
    listed.set_value(std::move(domains));
  });
  EXPECT_EQ(listed.get_future().get(), (std::vector<platform::FileProviderDomain>{
                                           {"folium-m", "Maison 2"}, {"folium-n", "Nuage"}}));

  EXPECT_FALSE(manager->managerForDomain({"folium-zz", "Zz"}));
  auto domain = manager->managerForDomain({"folium-n", "Nuage"});
  ASSERT_TRUE(domain);
  std::promise<std::optional<fs::path>> url;
  domain->getUserVisibleURL(std::string(platform::NSFileProviderRootContainerItemIdentifier),
                            [&](auto path, platform::ErrorPtr) { url.set_value(path); });
  EXPECT_EQ(url.get_future().get(), sandbox.drives() / "Nuage");
  // Without a profile the drive cannot look; what matters is the one completion.
  wait([&](auto done) {
    domain->signalEnumerator(std::string(platform::NSFileProviderWorkingSetContainerItemIdentifier),
                             done);
  });
  EXPECT_FALSE(wait([&](auto done) { manager->removeAllDomains(done); }));
  EXPECT_EQ(offThread, 6);
  // Connected, the application keeps the supervisor; gone, the supervisor leaves.
  EXPECT_EQ(sandbox.supervisors().size(), 1u);
  domain.reset();
  manager.reset();
  EXPECT_TRUE(eventually([&] { return sandbox.supervisors().empty(); }));
  EXPECT_TRUE(sandbox.mounts().empty());
}

}  // namespace
}  // namespace folium::testing
