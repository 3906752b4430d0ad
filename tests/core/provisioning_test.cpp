#include <gtest/gtest.h>

#include "core/folium_provisioning.hpp"

namespace folium {
namespace {

std::string profileJson(const std::string& url, const std::string& extra = "") {
  return R"({"instance_url":")" + url + R"(","token":"t","display_name":"D")" + extra + "}";
}

TEST(ProfileDecoding, ReadsTheThreeKeysVerbatim) {
  auto profile = FoliumProvisioning::decode(
      R"({"instance_url":"https://Docs.Example.org:8443/base/","token":" tok ",
          "display_name":"","version":3})");
  EXPECT_EQ(profile.instanceURL.absoluteString(), "https://Docs.Example.org:8443/base/");
  EXPECT_EQ(profile.token, " tok ");
  EXPECT_EQ(profile.displayName, "");

  // An extra key is ignored however deeply it nests.
  const std::string deep = std::string(100, '[') + std::string(100, ']');
  EXPECT_EQ(FoliumProvisioning::decode(profileJson("https://h/", ",\"extra\":" + deep)).token, "t");
}

TEST(ProfileDecoding, RejectsAndNamesTheFaultyKey) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"instanceURL":"https://a","token":"t","display_name":"D"})", "instance_url"},
      {R"({"instance_url":"https://a","display_name":"D"})", "token"},
      {R"({"instance_url":"https://a","token":"t","displayName":"D"})", "display_name"},
      {R"({"instance_url":"https://a","token":"t","display_name":5})", "display_name"},
      {R"({"instance_url":"","token":"t","display_name":"D"})", "instance_url"},
      {R"({"instance_url":"http://a b","token":"t","display_name":"D"})", "instance_url"},
      {R"(["x"])", "object"},
      {"not json", "JSON"},
  };
  for (const auto& [body, named] : cases) {
    try {
      FoliumProvisioning::decode(body);
      ADD_FAILURE() << "accepted " << body;
    } catch (const ProfileError& e) {
      EXPECT_NE(std::string(e.what()).find(named), std::string::npos) << e.what();
    }
  }
}

TEST(DomainIdentifier, DerivesFromTheHostOnly) {
  const std::pair<const char*, const char*> cases[] = {
      {"https://docs.example.org", "folium-docs-example-org"},
      {"http://docs.example.org:8080/x/y?z", "folium-docs-example-org"},
      {"https://10.0.0.5/", "folium-10-0-0-5"},
      {"https://Docs.Example.org", "folium-Docs-Example-org"},
      {"https://a-b.example", "folium-a-b-example"},
      {"localhost:8080", "folium-instance"},
  };
  for (const auto& [url, expected] : cases) {
    auto profile = FoliumProvisioning::decode(profileJson(url));
    EXPECT_EQ(profile.domainIdentifier(), expected) << url;
  }
}

TEST(ProfileConfig, KeepsTheAddressUnchanged) {
  auto withSlash = FoliumProvisioning::decode(profileJson("https://h/p/"));
  auto without = FoliumProvisioning::decode(profileJson("https://h/p"));
  EXPECT_EQ(withSlash.domainIdentifier(), without.domainIdentifier());
  EXPECT_NE(withSlash.config(), without.config());
  EXPECT_EQ(withSlash.config().baseURL.absoluteString(), "https://h/p/");
  auto bare = FoliumProvisioning::decode(profileJson("docs.example.org"));
  EXPECT_EQ(bare.config().baseURL.absoluteString(), "docs.example.org");
}

TEST(ProfileEncoding, RoundTripsToAnEqualProfile) {
  auto profile =
      FoliumProvisioning::decode(profileJson("https://h.example/%C3%A9?x=1", R"(,"k":1)"));
  EXPECT_EQ(FoliumProvisioning::decode(profile.encode()), profile);
}

}  // namespace
}  // namespace folium
