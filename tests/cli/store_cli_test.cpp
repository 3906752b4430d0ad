#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "tests/support/keyring.hpp"

namespace folium {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;

constexpr const char* kToken = "tok-Xy7-must-stay-hidden";
const std::map<std::string, std::string> kSecretService{{"FOLIUM_SECRET_STORE", "secret-service"}};

// foliumctl in a private HOME, on the file-backed store unless told otherwise.
class Ctl {
 public:
  explicit Ctl(const std::map<std::string, std::string>& extraEnv = {}) : env_(dir_.isolatedEnv()) {
    for (const auto& [name, value] : extraEnv) env_[name] = value;
  }

  // `shellPrefix`: shell commands run first, in the same process (umask, ulimit).
  ProcessResult run(std::vector<std::string> args, const std::string& shellPrefix = ":") const {
    args.insert(args.begin(), {"sh", "-c", shellPrefix + "; exec \"$0\" \"$@\"",
                               testing::programPath("foliumctl").string()});
    return testing::runProcess(args, env_);
  }
  fs::path profileFile(const std::string& url, const std::string& displayName) const {
    const fs::path path = dir_ / ("p" + std::to_string(files_++) + ".foliumprofile");
    testing::writeFile(
        path, boost::json::serialize(boost::json::object{
                  {"instance_url", url}, {"token", kToken}, {"display_name", displayName}}));
    return path;
  }
  std::string save(const std::string& url, const std::string& displayName) const {
    auto result = run({"store", "save", profileFile(url, displayName).string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
  }

  fs::path secretsDir() const { return fs::path(env_.at("XDG_DATA_HOME")) / "folium/secrets"; }
  fs::path item() const {
    return secretsDir() /
           "fr.quenor.folium.provisionings+all+K8W3TQZ2NP.fr.quenor.folium.shared.secret";
  }
  fs::path path(const std::string& name) const { return dir_ / name; }

 private:
  testing::TempDir dir_;
  std::map<std::string, std::string> env_;
  mutable int files_ = 0;
};

TEST(StoreCli, SaveListGetRemoveAndClear) {
  Ctl ctl;
  EXPECT_EQ(ctl.run({"store", "list"}).out, "[]\n");
  EXPECT_EQ(ctl.save("https://docs.example.org/", "b"), "folium-docs-example-org\n");
  EXPECT_EQ(ctl.save("https://a.example.org", "B"), "folium-a-example-org\n");
  EXPECT_EQ(ctl.save("http://z.example.org:8080/p", "a"), "folium-z-example-org\n");

  const std::string a =
      R"({"domainIdentifier":"folium-a-example-org","instance_url":"https://a.example.org","display_name":"B")";
  const auto list = ctl.run({"store", "list"});
  EXPECT_EQ(
      list.out,
      "[" + a +
          R"(},{"domainIdentifier":"folium-z-example-org","instance_url":"http://z.example.org:8080/p","display_name":"a"},)"
          R"({"domainIdentifier":"folium-docs-example-org","instance_url":"https://docs.example.org/","display_name":"b"}])"
          "\n");
  EXPECT_EQ(ctl.run({"store", "get", "folium-a-example-org"}).out, a + "}\n");
  // The token goes out only on request, wherever --show-token stands.
  EXPECT_EQ(ctl.run({"store", "get", "--show-token", "folium-a-example-org"}).out,
            a + ",\"token\":\"" + kToken + "\"}\n");
  const auto withTokens = boost::json::parse(ctl.run({"store", "list", "--show-token"}).out);
  EXPECT_EQ(withTokens.as_array().at(2).at("token"), kToken);

  const auto missing = ctl.run({"store", "get", "folium-nowhere"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "foliumctl: no profile stored for folium-nowhere\n");

  for (const auto& domain : {"folium-a-example-org", "folium-never-stored"}) {
    const auto removed = ctl.run({"store", "remove", domain});
    EXPECT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(removed.out, "");
  }
  EXPECT_EQ(boost::json::parse(ctl.run({"store", "list"}).out).as_array().size(), 2u);
  const auto cleared = ctl.run({"store", "clear"});
  EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
  EXPECT_EQ(cleared.out, "");
  EXPECT_EQ(ctl.run({"store", "list"}).out, "[]\n");
  EXPECT_FALSE(fs::exists(ctl.item()));
  EXPECT_EQ(list.out.find(kToken), std::string::npos);
}

TEST(StoreCli, SaveOfABadProfileFileNamesTheFileAndTheFault) {
  Ctl ctl;
  struct Case {
    std::string name;
    std::string contents;  // empty: no such file
    std::string fault;
  };
  const std::vector<Case> cases = {
      {"missing.foliumprofile", "", "No such file or directory"},
      {"garbage.foliumprofile", "instance_url=https://x", "not valid JSON"},
      {"no-token.foliumprofile", R"({"instance_url":"https://x.org","display_name":"X"})",
       "key \"token\" is missing"},
      {"camel.foliumprofile", R"({"instanceURL":"https://x.org","token":"t","display_name":"X"})",
       "key \"instance_url\" is missing"},
      {"empty-url.foliumprofile", R"({"instance_url":"","token":"t","display_name":"X"})",
       "instance_url"},
      {"", "", "Is a directory"},
  };
  for (const auto& c : cases) {
    const fs::path path = ctl.path(c.name);
    if (!c.contents.empty()) testing::writeFile(path, c.contents);
    auto result = ctl.run({"store", "save", path.string()});
    EXPECT_EQ(result.exitCode, 1) << c.name;
    EXPECT_EQ(result.err.rfind("foliumctl: cannot read profile file " + path.string() + ": ", 0),
              0u)
        << result.err;
    EXPECT_NE(result.err.find(c.fault), std::string::npos) << result.err;
  }
  EXPECT_FALSE(fs::exists(ctl.item())) << "nothing was stored";
}

// As root, permission bits do not stop reads: an item path that is a folder does.
TEST(StoreCli, NoCommandChangesAStoreThatCannotBeRead) {
  Ctl ctl;
  fs::create_directories(ctl.item());
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"store", "save", ctl.profileFile("https://docs.example.org", "Docs").string()},
           {"store", "remove", "folium-docs-example-org"},
           {"store", "list"},
           {"store", "get", "folium-docs-example-org"},
           {"store", "clear"}}) {
    const auto result = ctl.run(args);
    EXPECT_EQ(result.exitCode, 1) << args[1];
    EXPECT_EQ(result.out, "") << args[1];
    EXPECT_NE(result.err.find(ctl.item().string()), std::string::npos) << result.err;
  }
  EXPECT_TRUE(fs::is_empty(ctl.item()));
}

TEST(StoreCli, AWriteThatFailsIsReportedAndLeavesTheStoredProfiles) {
  Ctl ctl;
  ctl.save("https://a.example.org", "A");
  const std::string before = testing::readFile(ctl.item());
  // A file size limit makes every write fail, as a full disk would.
  const std::string noRoom = "trap '' XFSZ; ulimit -f 0";
  const auto saved =
      ctl.run({"store", "save", ctl.profileFile("https://b.example.org", "B").string()}, noRoom);
  EXPECT_EQ(saved.exitCode, 1);
  EXPECT_EQ(saved.out, "");
  EXPECT_EQ(saved.err.rfind("foliumctl: cannot write the profile store: ", 0), 0u) << saved.err;
  EXPECT_EQ(ctl.run({"store", "remove", "folium-a-example-org"}, noRoom).exitCode, 1);
  EXPECT_EQ(testing::readFile(ctl.item()), before);
  EXPECT_EQ(testing::folderEntries(ctl.secretsDir()).size(), 1u) << "a temporary file was left";
}

TEST(StoreCli, BackendChoiceErrorsAreClear) {
  struct Case {
    std::map<std::string, std::string> env;
    std::string expected;
  };
  using Env = std::map<std::string, std::string>;
  const std::vector<Case> cases = {
      Case{Env{{"FOLIUM_SECRET_STORE", "keychain"}},
           "unknown secret store \"keychain\" in FOLIUM_SECRET_STORE"},
      Case{Env{{"FOLIUM_SECRET_STORE", "secret-service"},
               {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/folium-test-bus"},
               {"DISPLAY", ""}},
           "foliumctl: cannot read the profile store: Secret Service: "},
  };
  for (const auto& c : cases) {
    Ctl ctl(c.env);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"store", "list"},
             {"store", "save", ctl.profileFile("https://a.org", "A").string()}}) {
      auto result = ctl.run(args);
      EXPECT_EQ(result.exitCode, 1) << args[1];
      EXPECT_NE(result.err.find(c.expected), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(ctl.secretsDir()));
  }
}

TEST(StoreCli, CommandsWithoutProfileUseTheOnlyStoredOneOrSayHowToChoose) {
  Ctl ctl;
  auto none = ctl.run({"api", "workspaces"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.err, "foliumctl: no profile stored: pass --profile FILE or --domain ID\n");

  // Nothing listens on the discard port: a transport error shows that a profile was used.
  ctl.save("http://127.0.0.1:9/", "Local");
  auto one = ctl.run({"api", "workspaces"});
  EXPECT_EQ(one.err.rfind("foliumctl: transport error: ", 0), 0u) << one.err;
  // An empty file name or domain is still a choice, never a fall-back on that profile.
  for (const auto& argv :
       std::vector<std::vector<std::string>>{{"--profile", "", "api", "workspaces"},
                                             {"--domain", "", "api", "workspaces"},
                                             {"store", "save", ""}}) {
    auto empty = ctl.run(argv);
    EXPECT_EQ(empty.exitCode, 1) << argv[1];
    EXPECT_EQ(empty.err.find("transport error"), std::string::npos) << empty.err;
    EXPECT_EQ(empty.out, "") << argv[1];
  }

  ctl.save("http://localhost:9/", "Other");
  auto several = ctl.run({"api", "workspaces"});
  EXPECT_EQ(several.exitCode, 1);
  EXPECT_NE(several.err.find("(folium-127-0-0-1, folium-localhost)"), std::string::npos)
      << several.err;
  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"--domain", "folium-localhost", "api", "workspaces"},
           {"api", "workspaces", "--domain", "folium-localhost"}}) {
    auto chosen = ctl.run(argv);
    EXPECT_NE(chosen.err.find("http://localhost:9/"), std::string::npos) << chosen.err;
  }
  auto unknown = ctl.run({"api", "--domain", "folium-elsewhere", "workspaces"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.err, "foliumctl: no profile stored for folium-elsewhere\n");
  EXPECT_EQ(one.err.find(kToken), std::string::npos);
}

TEST(SecretServiceStoreCli, ProfilesLiveInTheKeyringNotInFiles) {
  FOLIUM_SKIP_UNLESS_IN_KEYRING();
  Ctl ctl(kSecretService);
  ASSERT_EQ(ctl.run({"store", "clear"}).exitCode, 0);
  ctl.save("https://docs.example.org", "b");
  ctl.save("https://a.example.org", "B");
  const auto a =
      boost::json::parse(ctl.run({"store", "get", "--show-token", "folium-a-example-org"}).out);
  EXPECT_EQ(a.at("token"), kToken);
  ASSERT_EQ(ctl.run({"store", "remove", "folium-docs-example-org"}).exitCode, 0);
  EXPECT_FALSE(fs::exists(ctl.secretsDir()));

  // Another HOME, the same keyring: the same profiles.
  Ctl other(kSecretService);
  EXPECT_EQ(boost::json::parse(other.run({"store", "list"}).out).as_array().size(), 1u);
  ASSERT_EQ(ctl.run({"store", "clear"}).exitCode, 0);
  EXPECT_EQ(other.run({"store", "list"}).out, "[]\n");
}

TEST(SecretServiceLockedStoreCli, ALockedKeyringFailsEveryCommand) {
  FOLIUM_SKIP_UNLESS_IN_KEYRING();
  Ctl ctl(kSecretService);
  ctl.save("https://a.example.org", "A");
  testing::lockKeyring();
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"store", "list"},
           {"store", "get", "folium-a-example-org"},
           {"store", "save", ctl.profileFile("https://b.example.org", "B").string()},
           {"store", "remove", "folium-a-example-org"},
           {"store", "clear"}}) {
    auto result = ctl.run(args);
    EXPECT_EQ(result.exitCode, 1) << args[1];
    EXPECT_NE(result.err.find("locked"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace folium
