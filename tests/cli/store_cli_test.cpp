#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/json.hpp>
#include <filesystem>
#include <set>

#include "tests/support/process.hpp"

namespace folium {
namespace {

namespace fs = std::filesystem;
using testing::ProcessResult;

constexpr const char* kToken = "tok-Xy7-must-stay-hidden";
const std::string kItemName =
    "fr.quenor.folium.provisionings+all+K8W3TQZ2NP.fr.quenor.folium.shared.secret";

// foliumctl in a private HOME, on the file-backed store unless told otherwise.
class Store {
 public:
  explicit Store(std::map<std::string, std::string> extraEnv = {}) : env_(dir_.isolatedEnv()) {
    for (auto& [name, value] : extraEnv) env_[name] = value;
  }

  ProcessResult run(std::vector<std::string> args) const {
    args.insert(args.begin(), testing::programPath("foliumctl").string());
    return testing::runProcess(args, env_);
  }
  ProcessResult store(std::vector<std::string> args) const {
    args.insert(args.begin(), "store");
    return run(std::move(args));
  }
  // Runs foliumctl under a shell prefix (umask, ulimit) given as shell commands.
  ProcessResult storeUnder(const std::string& prefix, const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"sh", "-c", prefix + "; exec \"$0\" store \"$@\"",
                                  testing::programPath("foliumctl").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return testing::runProcess(argv, env_);
  }

  fs::path profileFile(const std::string& url, const std::string& displayName,
                       const std::string& token = kToken) const {
    const fs::path path = dir_ / ("p" + std::to_string(files_++) + ".foliumprofile");
    boost::json::object object{
        {"instance_url", url}, {"token", token}, {"display_name", displayName}};
    testing::writeFile(path, boost::json::serialize(object));
    return path;
  }
  std::string save(const std::string& url, const std::string& displayName) const {
    auto result = store({"save", profileFile(url, displayName).string()});
    EXPECT_EQ(result.exitCode, 0) << result.err;
    return result.out;
  }

  fs::path secretsDir() const { return fs::path(env_.at("XDG_DATA_HOME")) / "folium/secrets"; }
  fs::path item() const { return secretsDir() / kItemName; }
  fs::path path(const std::string& name) const { return dir_ / name; }

 private:
  testing::TempDir dir_;
  std::map<std::string, std::string> env_;
  mutable int files_ = 0;
};

boost::json::value parseOut(const ProcessResult& result) {
  EXPECT_FALSE(result.out.empty());
  EXPECT_EQ(result.out.back(), '\n');
  return boost::json::parse(result.out);
}

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

TEST(StoreCli, SaveListGetRemoveAndClear) {
  Store s;
  EXPECT_EQ(s.store({"list"}).out, "[]\n");
  EXPECT_EQ(s.save("https://docs.example.org/", "b"), "folium-docs-example-org\n");
  EXPECT_EQ(s.save("https://a.example.org", "B"), "folium-a-example-org\n");
  EXPECT_EQ(s.save("http://z.example.org:8080/p", "a"), "folium-z-example-org\n");

  auto list = s.store({"list"});
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_EQ(
      parseOut(list),
      boost::json::parse(
          R"([{"domainIdentifier":"folium-a-example-org","instance_url":"https://a.example.org","display_name":"B"},)"
          R"({"domainIdentifier":"folium-z-example-org","instance_url":"http://z.example.org:8080/p","display_name":"a"},)"
          R"({"domainIdentifier":"folium-docs-example-org","instance_url":"https://docs.example.org/","display_name":"b"}])"));
  EXPECT_EQ(list.out.find(kToken), std::string::npos);

  auto get = s.store({"get", "folium-a-example-org"});
  ASSERT_EQ(get.exitCode, 0) << get.err;
  EXPECT_EQ(
      get.out,
      R"({"domainIdentifier":"folium-a-example-org","instance_url":"https://a.example.org","display_name":"B"})"
      "\n");

  ASSERT_EQ(s.store({"remove", "folium-a-example-org"}).exitCode, 0);
  auto removed = s.store({"remove", "folium-never-stored"});
  EXPECT_EQ(removed.exitCode, 0) << removed.err;
  EXPECT_EQ(removed.out, "");
  EXPECT_EQ(parseOut(s.store({"list"})).as_array().size(), 2u);

  auto cleared = s.store({"clear"});
  EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
  EXPECT_EQ(cleared.out, "");
  EXPECT_EQ(s.store({"list"}).out, "[]\n");
  EXPECT_FALSE(fs::exists(s.item()));
}

TEST(StoreCli, TokensAppearOnlyWithShowToken) {
  Store s;
  s.save("https://docs.example.org", "Docs");
  auto list = s.store({"list", "--show-token"});
  EXPECT_EQ(parseOut(list).as_array().at(0).as_object().at("token"), kToken);
  auto get = s.store({"get", "--show-token", "folium-docs-example-org"});
  EXPECT_EQ(parseOut(get).as_object().at("token"), kToken);
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"list"}, {"get", "folium-docs-example-org"}, {"get", "folium-other"}}) {
    auto result = s.store(args);
    EXPECT_EQ(result.out.find(kToken), std::string::npos) << args.back();
    EXPECT_EQ(result.err.find(kToken), std::string::npos) << args.back();
  }
}

TEST(StoreCli, GetOfAMissingProfileFails) {
  Store s;
  auto result = s.store({"get", "folium-nowhere"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "foliumctl: no profile stored for folium-nowhere\n");
}

TEST(StoreCli, RemoveOnAnEmptyStoreLeavesAnEmptyMap) {
  Store s;
  ASSERT_EQ(s.store({"remove", "folium-x"}).exitCode, 0);
  EXPECT_EQ(testing::readFile(s.item()), "{}");
}

TEST(StoreCli, SaveOfABadProfileFileNamesTheFileAndTheFault) {
  Store s;
  struct Case {
    std::string name;
    std::string contents;  // empty: the file is not created
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
  };
  for (const auto& c : cases) {
    const fs::path path = s.path(c.name);
    if (!c.contents.empty()) testing::writeFile(path, c.contents);
    auto result = s.store({"save", path.string()});
    EXPECT_EQ(result.exitCode, 1) << c.name;
    EXPECT_EQ(result.err.rfind("foliumctl: cannot read profile file " + path.string() + ": ", 0),
              0u)
        << result.err;
    EXPECT_NE(result.err.find(c.fault), std::string::npos) << result.err;
  }
  auto folder = s.store({"save", s.path("").string()});
  EXPECT_EQ(folder.exitCode, 1);
  EXPECT_NE(folder.err.find("Is a directory"), std::string::npos) << folder.err;
  EXPECT_FALSE(fs::exists(s.item())) << "nothing was stored";
}

TEST(StoreCli, SecretFilesArePrivateWhateverTheUmask) {
  for (const std::string umask : {"0", "077"}) {
    Store s;
    const auto profile = s.profileFile("https://docs.example.org", "Docs");
    auto result = s.storeUnder("umask " + umask, {"save", profile.string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(modeOf(s.secretsDir()), 0700u) << "umask " << umask;
    EXPECT_EQ(modeOf(s.item()), 0600u) << "umask " << umask;
    EXPECT_EQ(testing::readFile(s.item()).find("\"token\":\"" + std::string(kToken) + "\""),
              testing::readFile(s.item()).find("\"token\""));
  }
}

// As root, permission bits do not stop reads: an item path that is a folder does.
TEST(StoreCli, SaveAndRemoveChangeNothingWhenTheStoreCannotBeRead) {
  Store s;
  fs::create_directories(s.item());
  const auto profile = s.profileFile("https://docs.example.org", "Docs");
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"save", profile.string()},
                                             {"remove", "folium-docs-example-org"},
                                             {"list"},
                                             {"get", "folium-docs-example-org"},
                                             {"clear"}}) {
    auto result = s.store(args);
    EXPECT_EQ(result.exitCode, 1) << args.front();
    EXPECT_EQ(result.out, "") << args.front();
    EXPECT_NE(result.err.find(s.item().string()), std::string::npos) << result.err;
  }
  EXPECT_TRUE(fs::is_directory(s.item()));
  EXPECT_TRUE(fs::is_empty(s.item()));
}

TEST(StoreCli, AWriteThatFailsIsReportedAndLeavesTheStoredProfiles) {
  Store s;
  s.save("https://a.example.org", "A");
  const std::string before = testing::readFile(s.item());
  // A file size limit makes the write fail, as a full disk would.
  const std::string noRoom = "trap '' XFSZ; ulimit -f 0";
  auto saved = s.storeUnder(noRoom, {"save", s.profileFile("https://b.example.org", "B").string()});
  EXPECT_EQ(saved.exitCode, 1);
  EXPECT_EQ(saved.out, "");
  EXPECT_NE(saved.err.find("foliumctl: cannot write the profile store: "), std::string::npos)
      << saved.err;
  auto removed = s.storeUnder(noRoom, {"remove", "folium-a-example-org"});
  EXPECT_EQ(removed.exitCode, 1);
  EXPECT_EQ(testing::readFile(s.item()), before);
  EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(s.secretsDir()), {}),
            std::set<fs::path>{s.item()})
      << "no temporary file is left behind";
}

TEST(StoreCli, UndecodableDataListsEmptyAndIsKeptAsideAtTheNextSave) {
  Store s;
  s.save("https://a.example.org", "A");
  const std::string handEdited = R"({"folium-a-example-org": {"token": "precious"}, oops})";
  testing::writeFile(s.item(), handEdited);
  EXPECT_EQ(s.store({"list"}).out, "[]\n");
  EXPECT_EQ(s.store({"get", "folium-a-example-org"}).exitCode, 1);

  EXPECT_EQ(s.save("https://b.example.org", "B"), "folium-b-example-org\n");
  auto list = parseOut(s.store({"list"}));
  ASSERT_EQ(list.as_array().size(), 1u);
  EXPECT_EQ(list.as_array().at(0).as_object().at("display_name"), "B");
  std::vector<fs::path> copies;
  for (const auto& entry : fs::directory_iterator(s.secretsDir())) {
    if (entry.path().filename().string().rfind(kItemName + ".corrupt-", 0) == 0) {
      copies.push_back(entry.path());
    }
  }
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_EQ(testing::readFile(copies.front()), handEdited);
  EXPECT_EQ(modeOf(copies.front()), 0600u);
}

TEST(StoreCli, BackendChoiceErrorsAreClear) {
  struct Case {
    std::map<std::string, std::string> env;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"FOLIUM_SECRET_STORE", "keychain"}}, "unknown secret store \"keychain\""},
      {{{"FOLIUM_SECRET_STORE", "secret-service"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/folium-test-bus"},
        {"DISPLAY", ""}},
       "Secret Service"},
  };
  for (const auto& c : cases) {
    Store s(c.env);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"list"}, {"save", s.profileFile("https://a.org", "A").string()}}) {
      auto result = s.store(args);
      EXPECT_EQ(result.exitCode, 1) << args.front();
      EXPECT_NE(result.err.find(c.expected), std::string::npos) << result.err;
    }
    EXPECT_FALSE(fs::exists(s.secretsDir()));
  }
}

TEST(StoreCli, CommandsWithoutProfileUseTheOnlyStoredOneOrSayHowToChoose) {
  Store s;
  // Nothing listens on the discard port: a transport error shows which profile was used.
  auto none = s.run({"api", "workspaces"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.err.find("--profile"), std::string::npos) << none.err;
  EXPECT_NE(none.err.find("--domain"), std::string::npos) << none.err;

  s.save("http://127.0.0.1:9/", "Local");
  auto one = s.run({"api", "workspaces"});
  EXPECT_EQ(one.exitCode, 1);
  EXPECT_EQ(one.err.rfind("foliumctl: transport error: ", 0), 0u) << one.err;

  s.save("http://localhost:9/", "Other");
  auto several = s.run({"api", "workspaces"});
  EXPECT_EQ(several.exitCode, 1);
  EXPECT_NE(several.err.find("folium-127-0-0-1, folium-localhost"), std::string::npos)
      << several.err;
  EXPECT_NE(several.err.find("--domain"), std::string::npos) << several.err;

  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"--domain", "folium-localhost", "api", "workspaces"},
           {"api", "--domain", "folium-localhost", "workspaces"},
           {"api", "workspaces", "--domain", "folium-localhost"}}) {
    auto chosen = s.run(argv);
    EXPECT_EQ(chosen.err.rfind("foliumctl: transport error: ", 0), 0u) << chosen.err;
  }
  auto unknown = s.run({"api", "workspaces", "--domain", "folium-elsewhere"});
  EXPECT_EQ(unknown.exitCode, 1);
  EXPECT_EQ(unknown.err, "foliumctl: no profile stored for folium-elsewhere\n");
  for (const auto& result : {none, one, several, unknown}) {
    EXPECT_EQ(result.err.find(kToken), std::string::npos);
  }
}

const std::map<std::string, std::string> kSecretService{{"FOLIUM_SECRET_STORE", "secret-service"}};

// Against the desktop keyring, in the private session that ctest starts for these tests.
class SecretServiceStoreCli : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("FOLIUM_TEST_KEYRING") == nullptr) {
      GTEST_SKIP() << "needs the private keyring session of tests/support/run_in_keyring.sh";
    }
  }
};

TEST_F(SecretServiceStoreCli, ProfilesLiveInTheKeyringNotInFiles) {
  Store s(kSecretService);
  ASSERT_EQ(s.store({"clear"}).exitCode, 0);
  EXPECT_EQ(s.store({"list"}).out, "[]\n");
  EXPECT_EQ(s.save("https://docs.example.org", "b"), "folium-docs-example-org\n");
  EXPECT_EQ(s.save("https://a.example.org", "B"), "folium-a-example-org\n");
  auto list = parseOut(s.store({"list"}));
  ASSERT_EQ(list.as_array().size(), 2u);
  EXPECT_EQ(list.as_array().at(0).as_object().at("display_name"), "B");
  EXPECT_EQ(
      parseOut(s.store({"get", "--show-token", "folium-a-example-org"})).as_object().at("token"),
      kToken);
  ASSERT_EQ(s.store({"remove", "folium-a-example-org"}).exitCode, 0);
  EXPECT_EQ(parseOut(s.store({"list"})).as_array().size(), 1u);
  EXPECT_FALSE(fs::exists(s.secretsDir()));

  // Another run, another HOME: the same keyring, so the same profiles.
  Store other(kSecretService);
  EXPECT_EQ(parseOut(other.store({"list"})).as_array().size(), 1u);
  ASSERT_EQ(s.store({"clear"}).exitCode, 0);
  EXPECT_EQ(other.store({"list"}).out, "[]\n");
}

// Locking cannot be undone without a prompt: this suite has a keyring session of its own.
class SecretServiceLockedStoreCli : public SecretServiceStoreCli {};

TEST_F(SecretServiceLockedStoreCli, ALockedKeyringFailsEveryCommand) {
  Store s(kSecretService);
  s.save("https://a.example.org", "A");
  const auto lock = testing::runProcess(
      {"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
       "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
       "['/org/freedesktop/secrets/collection/login']"});
  ASSERT_EQ(lock.exitCode, 0) << lock.err;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"list"},
           {"get", "folium-a-example-org"},
           {"save", s.profileFile("https://b.example.org", "B").string()},
           {"remove", "folium-a-example-org"},
           {"clear"}}) {
    auto result = s.store(args);
    EXPECT_EQ(result.exitCode, 1) << args.front();
    EXPECT_NE(result.err.find("locked"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace folium
