#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
#include <functional>
#include <random>
#include <thread>

#include "platform/secrets/file_secret_store.hpp"
#include "platform/secrets/secret_service_store.hpp"
#include "tests/support/keyring.hpp"

namespace folium::platform {
namespace {

namespace fs = std::filesystem;
using testing::fileMode;
using testing::folderEntries;
using testing::TempDir;

const SecretItemKey kKey{"fr.quenor.folium.provisionings", "all",
                         "K8W3TQZ2NP.fr.quenor.folium.shared"};

// What every backend must do alike, run against each of them.
struct Backend {
  std::string name;
  std::function<std::unique_ptr<SecretStore>(const fs::path& folder)> make;
};
void PrintTo(const Backend& backend, std::ostream* out) { *out << backend.name; }

class SecretStoreContract : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam().name == "SecretService") FOLIUM_SKIP_UNLESS_IN_KEYRING();
    store_ = GetParam().make(dir_ / "secrets");
  }
  void TearDown() override {
    if (store_) (void)store_->remove(key_);
  }

  TempDir dir_;
  std::unique_ptr<SecretStore> store_;
  // Tests sharing one keyring must not see each other's items.
  SecretItemKey key_{"folium.test", ::testing::UnitTest::GetInstance()->current_test_info()->name(),
                     "group.test"};
};

TEST_P(SecretStoreContract, ReadUpdateAddAndRemoveOneItem) {
  // Data is bytes, not text: a NUL and bytes that are not UTF-8 come back unchanged.
  const std::string first("{\"a\":1}\0\xff", 9);
  EXPECT_EQ(store_->read(key_).status, SecretStatus::itemNotFound);
  EXPECT_EQ(store_->update(key_, first).status, SecretStatus::itemNotFound);
  EXPECT_EQ(store_->remove(key_).status, SecretStatus::itemNotFound);
  EXPECT_EQ(store_->read(key_).status, SecretStatus::itemNotFound) << "update must not create";

  ASSERT_TRUE(store_->add(key_, first).ok());
  EXPECT_EQ(store_->read(key_).data, first);
  auto again = store_->add(key_, "other");
  EXPECT_EQ(again.status, SecretStatus::failure) << "add must not replace an existing item";
  EXPECT_FALSE(again.message.empty());
  for (auto other : {SecretItemKey{key_.service + "x", key_.account, key_.accessGroup},
                     SecretItemKey{key_.service, key_.account + "x", key_.accessGroup},
                     SecretItemKey{key_.service, key_.account, key_.accessGroup + "x"}}) {
    EXPECT_EQ(store_->read(other).status, SecretStatus::itemNotFound) << "every attribute counts";
  }

  ASSERT_TRUE(store_->update(key_, std::string(70000, 'x')).ok());
  EXPECT_EQ(store_->read(key_).data, std::string(70000, 'x'));
  EXPECT_TRUE(store_->remove(key_).ok());
  EXPECT_EQ(store_->read(key_).status, SecretStatus::itemNotFound);
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
    (void)store_->remove(aside);
    aside.account += "-1";
    EXPECT_EQ(store_->read(aside).data, "broken 2");
    (void)store_->remove(aside);
  } else {
    const std::string item = FileSecretStore::fileName(key_);
    EXPECT_EQ(folderEntries(dir_ / "secrets"),
              (std::set<std::string>{item, item + ".corrupt-20250106T203000Z",
                                     item + ".corrupt-20250106T203000Z-1"}));
  }
}

std::unique_ptr<SecretStore> fileStore(const fs::path& folder) {
  return std::make_unique<FileSecretStore>(folder);
}
std::unique_ptr<SecretStore> keyringStore(const fs::path&) {
  return std::make_unique<SecretServiceStore>();
}
INSTANTIATE_TEST_SUITE_P(Backends, SecretStoreContract,
                         ::testing::Values(Backend{"File", fileStore},
                                           Backend{"SecretService", keyringStore}),
                         [](const auto& info) { return info.param.name; });

TEST(FileSecretStore, NamesAreStableAndNoValueEscapesTheFolder) {
  // Stored items are found by this name; changing it would lose every stored profile.
  EXPECT_EQ(FileSecretStore::fileName(kKey),
            "fr.quenor.folium.provisionings+all+K8W3TQZ2NP.fr.quenor.folium.shared.secret");

  const std::vector<SecretItemKey> hostile = {
      {"..", "", ""},      {".", ".", "."},   {"../../etc", "passwd", ""},
      {"/", "/", "/"},     {"a+b", "c", "d"}, {"a", "b+c", "d"},
      {"a%2Bb", "c", "d"}, {"", "", ""},      {"é", "\n", std::string("\0x", 2)}};
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  std::set<std::string> names;
  for (const auto& key : hostile) {
    const std::string name = FileSecretStore::fileName(key);
    EXPECT_NE(name.front(), '.') << name;
    EXPECT_TRUE(names.insert(name).second) << "two keys share the name " << name;
    ASSERT_TRUE(store.add(key, name).ok());
    EXPECT_EQ(store.read(key).data, name);
  }
  EXPECT_EQ(folderEntries(dir / "secrets"), names) << "every item is a file in the folder";
  EXPECT_EQ(folderEntries(dir.path()), std::set<std::string>{"secrets"});
}

TEST(FileSecretStore, FoldersArePrivateAndFilesOwnerOnlyWhateverTheUmask) {
  for (mode_t mask : {0, 077, 0277}) {
    SCOPED_TRACE(mask);
    TempDir dir;
    const fs::path folder = dir / "data/folium/secrets";
    fs::create_directories(dir / "data/folium");
    ::chmod((dir / "data/folium").c_str(), 0755);  // an existing looser folder is left alone
    FileSecretStore store(folder);
    const mode_t old = ::umask(mask);
    ASSERT_TRUE(store.add(kKey, "one").ok());
    ASSERT_TRUE(store.update(kKey, "two").ok());
    ASSERT_TRUE(store.keepAside(kKey, ".corrupt-x", "old").ok());
    ::umask(old);

    EXPECT_EQ(fileMode(folder), 0700u);
    EXPECT_EQ(folderEntries(folder).size(), 2u) << "no temporary file is left behind";
    for (const auto& name : folderEntries(folder)) EXPECT_EQ(fileMode(folder / name), 0600u);
    ::chmod(folder.c_str(), 0755);
    ASSERT_TRUE(store.update(kKey, "three").ok());
    EXPECT_EQ(fileMode(folder), 0700u) << "a loosened secret folder is tightened again";
  }
}

// A writer killed at any moment leaves the data it replaced or the data it wrote, never a
// mix (the profile store relies on it): the child writes "a…a", "b…b"… in turn, each large
// enough for kills to land inside a write.
TEST(FileSecretStore, AWriterKilledMidWriteLeavesWholeData) {
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  constexpr std::size_t kSize = 64 << 10;
  ASSERT_TRUE(store.add(kKey, std::string(kSize, 'a')).ok());
  std::mt19937 random(42);
  for (int round = 0; round < 12; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (char c = 'a';; c = c == 'z' ? 'a' : static_cast<char>(c + 1)) {
        if (!store.update(kKey, std::string(kSize, c)).ok()) ::_exit(3);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(2000 + random() % 20000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own: status " << status;
    const std::string data = store.read(kKey).data;
    ASSERT_EQ(data.size(), kSize);
    EXPECT_EQ(data.find_first_not_of(data[0]), std::string::npos);
  }
}

TEST(FileSecretStore, AWriterKilledMidWriteLeavesNoTokensBehindForLong) {
  TempDir dir;
  FileSecretStore store(dir / "secrets");
  ASSERT_TRUE(store.add(kKey, "old").ok());
  const std::string prefix = "." + FileSecretStore::fileName(kKey) + ".tmp-";
  const fs::path abandoned = dir / "secrets" / (prefix + "AbCdEf");
  const fs::path inProgress = dir / "secrets" / (prefix + "GhIjKl");
  testing::writeFile(abandoned, "token of a killed writer");
  testing::writeFile(inProgress, "token of a running writer");
  const struct timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, abandoned.c_str(), times, 0), 0);

  ASSERT_TRUE(store.update(kKey, "new").ok());
  EXPECT_FALSE(fs::exists(abandoned));
  EXPECT_TRUE(fs::exists(inProgress));
  EXPECT_EQ(store.read(kKey).data, "new");
}

TEST(FileSecretStore, DefaultFolderFollowsTheDataHome) {
  // Relative values are invalid for XDG variables and are ignored.
  for (const auto& [dataHome, expected] : std::vector<std::pair<std::string, fs::path>>{
           {"/data", "/data/folium/secrets"},
           {"rel/data", "/home/u/.local/share/folium/secrets"}}) {
    const testing::ScopedEnv env({{"HOME", "/home/u"}, {"XDG_DATA_HOME", dataHome}});
    EXPECT_EQ(FileSecretStore::defaultFolder(), expected);
  }
}

// A locked keyring must neither read as "no item" (the caller would then overwrite it) nor
// open an unlock prompt, which would wait forever without a display.
TEST(SecretServiceLocked, ALockedKeyringIsAFailureNeverAnAbsence) {
  FOLIUM_SKIP_UNLESS_IN_KEYRING();
  SecretServiceStore store;
  const SecretItemKey key{"folium.test", "locked", "group.test"};
  ASSERT_TRUE(store.add(key, "kept").ok());
  testing::lockKeyring();

  const auto read = store.read(key);
  EXPECT_EQ(read.status, SecretStatus::failure);
  EXPECT_NE(read.message.find("locked"), std::string::npos) << read.message;
  EXPECT_EQ(store.update(key, "new").status, SecretStatus::failure);
  EXPECT_EQ(store.remove(key).status, SecretStatus::failure);
  EXPECT_EQ(store.add({"folium.test", "fresh", "group.test"}, "x").status, SecretStatus::failure);
}

}  // namespace
}  // namespace folium::platform
