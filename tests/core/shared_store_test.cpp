#include "core/shared_store.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "platform/secrets/file_secret_store.hpp"
#include "tests/support/process.hpp"

namespace folium {
namespace {

namespace fs = std::filesystem;
using platform::FileSecretStore;
using platform::SecretItemKey;
using platform::SecretOutcome;
using platform::SecretRead;
using testing::folderEntries;
using testing::TempDir;

FoliumProvisioning profile(const std::string& url, const std::string& displayName,
                           const std::string& token = "tok") {
  return FoliumProvisioning{Url::parse(url), token, displayName};
}

std::vector<std::string> displayNames(const std::vector<FoliumProvisioning>& profiles) {
  std::vector<std::string> names;
  for (const auto& p : profiles) names.push_back(p.displayName);
  return names;
}

// A real file-backed store in a private folder.
class SharedStoreTest : public ::testing::Test {
 protected:
  fs::path itemPath() const { return secrets_->itemPath(SharedStore::itemKey()); }

  TempDir dir_;
  std::shared_ptr<FileSecretStore> secrets_ = std::make_shared<FileSecretStore>(dir_ / "secrets");
  SharedStore store_{SharedStore::appGroupID, secrets_};
};

TEST_F(SharedStoreTest, ProfilesAreKeyedByDomainIdentifierAndTheLastSaveWins) {
  EXPECT_TRUE(store_.all().empty());
  EXPECT_FALSE(store_.provisioning("folium-docs-example-org"));
  ASSERT_TRUE(store_.remove("folium-anything").ok);
  EXPECT_EQ(testing::readFile(itemPath()), "{}") << "remove writes the map even when empty";

  const auto first = profile("https://docs.example.org/", "Docs", "t1");
  const auto sameHost = profile("http://docs.example.org:8080/prefix", "Docs bis", "t2");
  const auto other = profile("https://a.example.org", "A");
  for (const auto& p : {first, first, other, sameHost}) ASSERT_TRUE(store_.save(p).ok);
  EXPECT_EQ(store_.provisioning("folium-docs-example-org"), sameHost);
  EXPECT_EQ(store_.provisioning("folium-a-example-org"), other);
  EXPECT_FALSE(store_.provisioning("folium-Docs-example-org")) << "identifiers match exactly";
  EXPECT_EQ(store_.all().size(), 2u);
  // The item holds the map in the profile file format, so other readers can decode it.
  const auto map = boost::json::parse(testing::readFile(itemPath())).as_object();
  EXPECT_EQ(FoliumProvisioning::fromJson(map.at("folium-docs-example-org")), sameHost);

  ASSERT_TRUE(store_.clearAll().ok);
  EXPECT_FALSE(fs::exists(itemPath()));
  EXPECT_TRUE(store_.clearAll().ok) << "clearing an empty store is not a failure";
  ASSERT_TRUE(store_.save(other).ok);
  EXPECT_EQ(store_.all(), std::vector<FoliumProvisioning>{other});
}

TEST_F(SharedStoreTest, AllSortsByDisplayNameExactlyAfterCanonicalComposition) {
  const std::string composedE = "\xC3\xA9";     // é as one code point
  const std::string decomposedE = "e\xCC\x81";  // e + combining acute accent
  struct Case {
    std::vector<std::string> names;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {{"b", "Zoé", "a", "B", "Émile"}, {"B", "Zoé", "a", "b", "Émile"}},
      // Unnormalised, the decomposed é would sort between "e" and "f".
      {{"f", decomposedE, "e"}, {"e", "f", decomposedE}},
      {{composedE + "2", "f", decomposedE + "1"}, {"f", decomposedE + "1", composedE + "2"}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(store_.clearAll().ok);
    int host = 0;
    for (const auto& name : c.names) {
      ASSERT_TRUE(store_.save(profile("https://h" + std::to_string(host++) + ".org", name)).ok);
    }
    EXPECT_EQ(displayNames(store_.all()), c.expected);
  }
}

// A hand edit gone wrong must not cost the user the tokens it held.
TEST(SharedStoreUndecodable, ReadsEmptyAndIsKeptAsideBeforeTheNextWrite) {
  const std::vector<std::string> broken = {
      "not json",
      R"({"folium-x-org":{"instance_url":"https://x.org","display_name":"X"}})",
      R"({"folium-x-org":{"instance_url":"https://x.org","token":"t","display_name":"X"},)"
      R"("folium-y-org":{"instance_url":"","token":"t","display_name":"Y"}})",
  };
  int round = 0;
  for (const auto& data : broken) {
    SCOPED_TRACE(data);
    TempDir dir;
    auto secrets = std::make_shared<FileSecretStore>(dir / "secrets");
    SharedStore store(SharedStore::appGroupID, secrets);
    const std::string item = secrets->itemPath(SharedStore::itemKey()).filename();
    ASSERT_TRUE(secrets->add(SharedStore::itemKey(), data).ok());

    EXPECT_TRUE(store.all().empty());
    EXPECT_FALSE(store.provisioning("folium-x-org"));
    EXPECT_EQ(store.contents().state, StoreContents::State::undecodable);
    EXPECT_EQ(testing::readFile(dir / "secrets" / item), data) << "reading repairs nothing";

    const StoreResult result = round++ % 2 == 0 ? store.save(profile("https://new.org", "New"))
                                                : store.remove("folium-x-org");
    ASSERT_TRUE(result.ok) << result.message;
    const auto entries = folderEntries(dir / "secrets");
    ASSERT_EQ(entries.size(), 2u);
    const std::string copy = *entries.rbegin();
    EXPECT_EQ(copy.rfind(item + ".corrupt-", 0), 0u) << copy;
    EXPECT_EQ(testing::readFile(dir / "secrets" / copy), data);
    EXPECT_EQ(testing::fileMode(dir / "secrets" / copy), 0600u);
    EXPECT_LE(store.all().size(), 1u) << "only what the write left is stored";
  }
}

// Forwards to a real store; reads or keep-aside copies fail on demand, as an I/O error or
// a locked keyring would, and writes are counted.
class FailingSecretStore final : public platform::SecretStore {
 public:
  explicit FailingSecretStore(std::shared_ptr<SecretStore> real) : real_(std::move(real)) {}
  bool failReads = false;
  bool failKeepAside = false;
  int writes = 0;

  SecretRead read(const SecretItemKey& key) override {
    if (failReads) return {SecretOutcome::failed("cannot read: Input/output error"), {}};
    return real_->read(key);
  }
  SecretOutcome update(const SecretItemKey& key, std::string_view data) override {
    ++writes;
    return real_->update(key, data);
  }
  SecretOutcome add(const SecretItemKey& key, std::string_view data) override {
    ++writes;
    return real_->add(key, data);
  }
  SecretOutcome remove(const SecretItemKey& key) override {
    ++writes;
    return real_->remove(key);
  }
  SecretOutcome keepAside(const SecretItemKey& key, std::string_view suffix,
                          std::string_view data) override {
    if (failKeepAside) return SecretOutcome::failed("no space left for the copy");
    return real_->keepAside(key, suffix, data);
  }

 private:
  std::shared_ptr<SecretStore> real_;
};

TEST_F(SharedStoreTest, NothingIsWrittenWhenTheStoreCannotBeReadOrItsDataKeptAside) {
  ASSERT_TRUE(store_.save(profile("https://a.org", "A", "secret-a")).ok);
  ASSERT_TRUE(store_.save(profile("https://b.org", "B", "secret-b")).ok);
  const std::string before = testing::readFile(itemPath());
  auto failing = std::make_shared<FailingSecretStore>(secrets_);
  SharedStore store(SharedStore::appGroupID, failing);

  failing->failReads = true;
  const StoreResult saved = store.save(profile("https://c.org", "C"));
  EXPECT_FALSE(saved.ok);
  EXPECT_NE(saved.message.find("Input/output error"), std::string::npos) << saved.message;
  EXPECT_FALSE(store.remove("folium-a-org").ok);
  EXPECT_FALSE(store.remove("folium-unknown").ok);
  EXPECT_TRUE(store.all().empty()) << "a failed read still reads as an empty store";
  EXPECT_EQ(store.contents().state, StoreContents::State::unreadable);
  EXPECT_EQ(failing->writes, 0);
  EXPECT_EQ(testing::readFile(itemPath()), before);

  failing->failReads = false;
  failing->failKeepAside = true;
  ASSERT_TRUE(secrets_->update(SharedStore::itemKey(), "{\"hand edit\": ").ok());
  const StoreResult overwritten = store.save(profile("https://c.org", "C"));
  EXPECT_FALSE(overwritten.ok);
  EXPECT_NE(overwritten.message.find("no space left"), std::string::npos) << overwritten.message;
  EXPECT_EQ(failing->writes, 0);
  EXPECT_EQ(testing::readFile(itemPath()), "{\"hand edit\": ");
}

}  // namespace
}  // namespace folium
