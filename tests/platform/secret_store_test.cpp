#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>

#include "platform/secrets/file_secret_store.hpp"
#include "platform/secrets/secret_service_store.hpp"
#include "tests/support/process.hpp"

namespace folium::platform {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

const SecretItemKey kKey{"fr.quenor.folium.provisionings", "all",
                         "K8W3TQZ2NP.fr.quenor.folium.shared"};

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

std::set<std::string> entriesOf(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// Sets an environment variable for the life of the object (tests run on one thread).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class ScopedUmask {
 public:
  explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
  ~ScopedUmask() { ::umask(old_); }

 private:
  mode_t old_;
};

// The Secret Service tests need the private keyring session that ctest starts for them
// (tests/support/run_in_keyring.sh); elsewhere they are skipped.
bool inKeyringSession() { return std::getenv("FOLIUM_TEST_KEYRING") != nullptr; }

// What every backend must do alike, run against each of them.
struct Backend {
  std::string name;
  std::function<std::unique_ptr<SecretStore>(const fs::path& folder)> make;
};

void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

class SecretStoreContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam().name == "SecretService" && !inKeyringSession()) {
      GTEST_SKIP() << "needs the private keyring session of tests/support/run_in_keyring.sh";
    }
    store_ = GetParam().make(dir_ / "secrets");
    // A key of its own per test, so that tests sharing one keyring don't see each other.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    key_ = {"folium.test", info->name(), "group.test"};
    for (char& c : key_.account) {
      if (c == '/') c = '.';
    }
  }
  void TearDown() override {
    if (store_) store_->remove(key_);
  }

  TempDir dir_;
  std::unique_ptr<SecretStore> store_;
  SecretItemKey key_;
};

TEST_P(SecretStoreContract, ReadUpdateAddAndRemoveOneItem) {
  // Data is bytes, not text: a NUL and bytes that are not UTF-8 come back unchanged.
  const std::string first("{\"a\":1}\0\xff", 9);
  const std::string second(70000, 'x');

  EXPECT_EQ(store_->read(key_).status, SecretStatus::itemNotFound);
  EXPECT_EQ(store_->update(key_, first).status, SecretStatus::itemNotFound);
  EXPECT_EQ(store_->remove(key_).status, SecretStatus::itemNotFound);
  EXPECT_EQ(store_->read(key_).status, SecretStatus::itemNotFound) << "update must not create";

  ASSERT_TRUE(store_->add(key_, first).ok());
  auto read = store_->read(key_);
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(read.data, first);

  auto again = store_->add(key_, "other");
  EXPECT_EQ(again.status, SecretStatus::failure) << "add must not replace an existing item";
  EXPECT_FALSE(again.message.empty());
  EXPECT_EQ(store_->read(key_).data, first);

  ASSERT_TRUE(store_->update(key_, second).ok());
  EXPECT_EQ(store_->read(key_).data, second);
  ASSERT_TRUE(store_->update(key_, "").ok());
  read = store_->read(key_);
  EXPECT_TRUE(read.ok());
  EXPECT_EQ(read.data, "");

  EXPECT_TRUE(store_->remove(key_).ok());
  EXPECT_EQ(store_->read(key_).status, SecretStatus::itemNotFound);
}

TEST_P(SecretStoreContract, EveryAttributeAddressesTheItem) {
  ASSERT_TRUE(store_->add(key_, "mine").ok());
  for (auto other : {SecretItemKey{key_.service + "x", key_.account, key_.accessGroup},
                     SecretItemKey{key_.service, key_.account + "x", key_.accessGroup},
                     SecretItemKey{key_.service, key_.account, key_.accessGroup + "x"}}) {
    EXPECT_EQ(store_->read(other).status, SecretStatus::itemNotFound)
        << other.service << " / " << other.account << " / " << other.accessGroup;
  }
}

TEST_P(SecretStoreContract, KeptAsideDataIsAnItemOfItsOwnAndNeverOverwritten) {
  ASSERT_TRUE(store_->add(key_, "current").ok());
  ASSERT_TRUE(store_->keepAside(key_, ".corrupt-20250106T203000Z", "broken 1").ok());
  ASSERT_TRUE(store_->keepAside(key_, ".corrupt-20250106T203000Z", "broken 2").ok());
  EXPECT_EQ(store_->read(key_).data, "current");
  EXPECT_EQ(store_->keepAside(key_, "/../escape", "x").status, SecretStatus::failure);

  if (GetParam().name == "SecretService") {
    SecretItemKey aside = key_;
    aside.account += ".corrupt-20250106T203000Z";
    EXPECT_EQ(store_->read(aside).data, "broken 1");
    SecretItemKey second = aside;
    second.account += "-1";
    EXPECT_EQ(store_->read(second).data, "broken 2");
    store_->remove(aside);
    store_->remove(second);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, SecretStoreContract,
                         ::testing::Values(Backend{"File",
                                                   [](const fs::path& folder) {
                                                     return std::make_unique<FileSecretStore>(
                                                         folder);
                                                   }},
                                           Backend{"SecretService",
                                                   [](const fs::path&) {
                                                     return std::make_unique<SecretServiceStore>();
                                                   }}),
                         [](const auto& info) { return info.param.name; });

TEST(FileSecretStore, NamesAreStableReadableAndStayInTheFolder) {
  // Stored items are found by this name; changing it would lose every stored profile.
  EXPECT_EQ(FileSecretStore::fileName(kKey),
            "fr.quenor.folium.provisionings+all+K8W3TQZ2NP.fr.quenor.folium.shared.secret");

  const std::vector<SecretItemKey> hostile = {{"..", "", ""},
                                              {".", ".", "."},
                                              {"../../etc", "passwd", ""},
                                              {"/", "/", "/"},
                                              {"a+b", "c", "d"},
                                              {"a", "b+c", "d"},
                                              {"a%2Bb", "c", "d"},
                                              {"", "", ""},
                                              {"é", "\n", std::string("\0x", 2)},
                                              {".hidden", "x", "y"},
                                              {"a", "b", "c.secret.corrupt-1"}};
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  std::set<std::string> names;
  for (const auto& key : hostile) {
    const std::string name = FileSecretStore::fileName(key);
    SCOPED_TRACE(name);
    EXPECT_EQ(name.find('/'), std::string::npos);
    EXPECT_NE(name.front(), '.');
    EXPECT_TRUE(names.insert(name).second) << "two keys share a name";
    ASSERT_TRUE(store.add(key, "data").ok());
    EXPECT_EQ(store.read(key).data, "data");
  }
  EXPECT_EQ(entriesOf(dir / "secrets"), names) << "every item is a file directly in the folder";
  EXPECT_EQ(entriesOf(dir.path()), std::set<std::string>{"secrets"});
}

TEST(FileSecretStore, OverlongKeyIsRefusedWithAMessage) {
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  const SecretItemKey key{std::string(300, 's'), "all", "group"};
  for (const SecretOutcome& outcome : {SecretOutcome(store.read(key)), store.add(key, "x"),
                                       store.update(key, "x"), store.remove(key)}) {
    EXPECT_EQ(outcome.status, SecretStatus::failure);
    EXPECT_NE(outcome.message.find("too long"), std::string::npos) << outcome.message;
  }
}

class FileSecretStoreModes : public ::testing::TestWithParam<mode_t> {};

TEST_P(FileSecretStoreModes, FolderIsPrivateAndFilesAreOwnerOnlyWhateverTheUmask) {
  TempDir dir;
  const fs::path folder = dir / "data/folium/secrets";
  FileSecretStore store(folder);
  {
    ScopedUmask mask(GetParam());
    ASSERT_TRUE(store.add(kKey, "one").ok());
    ASSERT_TRUE(store.update(kKey, "two").ok());
    ASSERT_TRUE(store.keepAside(kKey, ".corrupt-x", "old").ok());
  }
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(dir / "data/folium"), 0700u);
  for (const auto& name : entriesOf(folder)) {
    EXPECT_EQ(modeOf(folder / name), 0600u) << name;
  }
  EXPECT_EQ(entriesOf(folder).size(), 2u) << "no temporary file is left behind";
}

INSTANTIATE_TEST_SUITE_P(Umasks, FileSecretStoreModes, ::testing::Values(0, 022, 077, 0277));

TEST(FileSecretStore, LooserExistingFolderIsTightenedOnWrite) {
  TempDir dir;
  const fs::path folder = dir / "secrets";
  fs::create_directory(folder);
  ::chmod(folder.c_str(), 0755);
  FileSecretStore store(folder);
  ASSERT_TRUE(store.add(kKey, "x").ok());
  EXPECT_EQ(modeOf(folder), 0700u);
}

// As root, permission bits do not stop a read; an item path that is a folder does.
TEST(FileSecretStore, AnItemThatCannotBeReadIsAFailureNotAnAbsence) {
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  const fs::path path = store.itemPath(kKey);
  fs::create_directories(path);

  const auto read = store.read(kKey);
  EXPECT_EQ(read.status, SecretStatus::failure);
  EXPECT_NE(read.message.find(path.string()), std::string::npos) << read.message;
  EXPECT_EQ(store.update(kKey, "x").status, SecretStatus::failure);
  EXPECT_EQ(store.add(kKey, "x").status, SecretStatus::failure);
  EXPECT_EQ(store.remove(kKey).status, SecretStatus::failure);
  EXPECT_TRUE(fs::is_directory(path));
}

TEST(FileSecretStore, FailedWriteKeepsTheOldDataAndLeavesNoTemporaryFile) {
  TempDir dir;
  const fs::path folder = dir / "secrets";
  FileSecretStore store(folder);
  ASSERT_TRUE(store.add(kKey, "old data").ok());

  // A file size limit makes the write fail part way, as a full disk would.
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tiny = old;
  tiny.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tiny), 0);
  const SecretOutcome outcome = store.update(kKey, "new data, longer than the limit");
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(outcome.status, SecretStatus::failure);
  EXPECT_NE(outcome.message.find("cannot write"), std::string::npos) << outcome.message;
  EXPECT_EQ(store.read(kKey).data, "old data");
  EXPECT_EQ(entriesOf(folder).size(), 1u);
}

TEST(FileSecretStore, DefaultFolderFollowsTheDataHome) {
  struct Case {
    const char* xdgDataHome;
    const char* home;
    fs::path expected;
  };
  const std::vector<Case> cases = {
      {"/data/home", "/home/u", "/data/home/folium/secrets"},
      {nullptr, "/home/u", "/home/u/.local/share/folium/secrets"},
      {"", "/home/u", "/home/u/.local/share/folium/secrets"},
      // Relative values are invalid for XDG variables and are ignored.
      {"relative/data", "/home/u", "/home/u/.local/share/folium/secrets"},
  };
  for (const auto& c : cases) {
    ScopedEnv data("XDG_DATA_HOME", c.xdgDataHome);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(FileSecretStore::defaultFolder(), c.expected)
        << (c.xdgDataHome ? c.xdgDataHome : "(unset)");
  }
}

TEST(SecretStoreChoice, EnvironmentPicksTheBackendAndRejectsUnknownNames) {
  {
    ScopedEnv choice("FOLIUM_SECRET_STORE", nullptr);
    EXPECT_NE(dynamic_cast<FileSecretStore*>(makeSecretStoreFromEnvironment().get()), nullptr);
  }
  {
    ScopedEnv choice("FOLIUM_SECRET_STORE", "secret-service");
    EXPECT_NE(dynamic_cast<SecretServiceStore*>(makeSecretStoreFromEnvironment().get()), nullptr);
  }
  EXPECT_NE(dynamic_cast<FileSecretStore*>(makeSecretStore("file").get()), nullptr);
  try {
    makeSecretStore("keychain");
    ADD_FAILURE() << "an unknown backend was accepted";
  } catch (const SecretStoreConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("\"keychain\""), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("FOLIUM_SECRET_STORE"), std::string::npos);
  }
}

// Locking cannot be undone without a prompt, so this suite runs in a keyring session of its
// own (see tests/CMakeLists.txt).
TEST(SecretServiceLocked, ALockedKeyringIsAFailureNeverAnEmptyStoreNorAPrompt) {
  if (!inKeyringSession()) GTEST_SKIP() << "needs the private keyring session";
  SecretServiceStore store;
  const SecretItemKey key{"folium.test", "locked", "group.test"};
  ASSERT_TRUE(store.add(key, "kept").ok());
  const auto lock = testing::runProcess(
      {"gdbus", "call", "--session", "--dest", "org.freedesktop.secrets", "--object-path",
       "/org/freedesktop/secrets", "--method", "org.freedesktop.Secret.Service.Lock",
       "['/org/freedesktop/secrets/collection/login']"});
  ASSERT_EQ(lock.exitCode, 0) << lock.err;

  const auto read = store.read(key);
  EXPECT_EQ(read.status, SecretStatus::failure);
  EXPECT_NE(read.message.find("locked"), std::string::npos) << read.message;
  EXPECT_EQ(store.update(key, "new").status, SecretStatus::failure);
  EXPECT_EQ(store.add(key, "new").status, SecretStatus::failure);
  EXPECT_EQ(store.remove(key).status, SecretStatus::failure);
  EXPECT_EQ(store.keepAside(key, ".corrupt-x", "x").status, SecretStatus::failure);
  const SecretItemKey fresh{"folium.test", "never-stored", "group.test"};
  EXPECT_EQ(store.add(fresh, "x").status, SecretStatus::failure) << "the default keyring is locked";
}

TEST(SecretServiceUnreachable, NoSessionBusIsAFailure) {
  if (inKeyringSession()) GTEST_SKIP() << "this process is attached to a session bus already";
  ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/folium-test-bus");
  ScopedEnv display("DISPLAY", nullptr);
  SecretServiceStore store;
  const auto read = store.read(kKey);
  EXPECT_EQ(read.status, SecretStatus::failure);
  EXPECT_NE(read.message.find("Secret Service"), std::string::npos) << read.message;
  EXPECT_EQ(store.add(kKey, "x").status, SecretStatus::failure);
}

}  // namespace
}  // namespace folium::platform
