// `foliumctl store`: output formats and exit status. What the store keeps, and how it fails,
// is checked in tests/core and tests/platform; here one row per kind of failure shows that
// it reaches the user as one line.
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "tests/cli/cli_home.hpp"
#include "tests/support/keyring.hpp"

namespace folium {
namespace {

namespace fs = std::filesystem;
using Env = std::map<std::string, std::string>;

constexpr const char* kToken = "tok-Xy7-must-stay-hidden";

class Ctl : public testing::CliHome {
 public:
  using CliHome::CliHome;
  fs::path item() const {
    return fs::path(env().at("XDG_DATA_HOME")) / "folium/secrets" /
           "fr.quenor.folium.provisionings+all+K8W3TQZ2NP.fr.quenor.folium.shared.secret";
  }
};

TEST(StoreCli, SaveListGetRemoveAndClear) {
  Ctl ctl;
  EXPECT_EQ(ctl.run({"store", "list"}).out, "[]\n");
  EXPECT_EQ(ctl.save("https://docs.example.org/", "b", kToken), "folium-docs-example-org");
  EXPECT_EQ(ctl.save("http://a.example.org:8080/p", "a", kToken), "folium-a-example-org");
  const std::string a =
      R"({"domainIdentifier":"folium-a-example-org","instance_url":"http://a.example.org:8080/p","display_name":"a")";
  const auto list = ctl.run({"store", "list"});
  EXPECT_EQ(list.out, "[" + a +
                          R"(},{"domainIdentifier":"folium-docs-example-org","instance_url":)"
                          R"("https://docs.example.org/","display_name":"b"}])"
                          "\n");
  EXPECT_EQ(ctl.run({"store", "get", "folium-a-example-org"}).out, a + "}\n");
  // The token goes out only on request, wherever --show-token stands.
  EXPECT_EQ(ctl.run({"store", "get", "--show-token", "folium-a-example-org"}).out,
            a + ",\"token\":\"" + kToken + "\"}\n");
  EXPECT_EQ(boost::json::parse(ctl.run({"store", "list", "--show-token"}).out).at(1).at("token"),
            kToken);
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"store", "remove", "folium-a-example-org"},
                                             {"store", "remove", "folium-never"},
                                             {"store", "clear"}}) {
    const auto result = ctl.run(args);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(ctl.run({"store", "list"}).out, "[]\n");
  EXPECT_EQ(list.out.find(kToken), std::string::npos);
}

TEST(StoreCli, EachKindOfFailureIsOneLineAndExitsOne) {
  const Env noBus{{"FOLIUM_SECRET_STORE", "secret-service"},
                  {"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/folium-test-bus"},
                  {"DISPLAY", ""}};
  // In each row's HOME: "bad" is a file that is no profile, "good" a profile file.
  const struct {
    std::string what;
    Env env;
    std::vector<std::string> args;
    std::string err;  // the start of the message
    std::string shellPrefix = ":";
  } cases[] = {
      {"no such profile", {}, {"get", "folium-x"}, "foliumctl: no profile stored for folium-x\n"},
      {"bad profile file", {}, {"save", "bad"}, "foliumctl: cannot read profile file "},
      // A folder where the store's item should be.
      {"unreadable store", {}, {"list"}, "foliumctl: cannot read the profile store: "},
      {"failed write",
       {},
       {"save", "good"},
       "foliumctl: cannot write the profile store: ",
       "trap '' XFSZ; ulimit -f 0"},
      {"unknown backend",
       {{"FOLIUM_SECRET_STORE", "keychain"}},
       {"list"},
       "foliumctl: cannot read the profile store: unknown secret store \"keychain\""},
      {"no keyring", noBus, {"list"}, "foliumctl: cannot read the profile store: Secret Service: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Ctl ctl(c.env);
    testing::writeFile(ctl.path("bad"), "instance_url=x");
    const fs::path good = ctl.profileFile("https://b.org", "B", kToken);
    if (c.what == "unreadable store") fs::create_directories(ctl.item());
    std::vector<std::string> args{"store"};
    for (const auto& arg : c.args) {
      args.push_back(arg == "bad" ? ctl.path(arg).string() : arg == "good" ? good.string() : arg);
    }
    const auto result = ctl.run(args, c.shellPrefix);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

TEST(StoreCli, CommandsWithoutProfileUseTheOnlyStoredOneOrSayHowToChoose) {
  Ctl ctl;
  // Nothing listens on the discard port: a transport error shows that a profile was used.
  ctl.save("http://127.0.0.1:9/", "Local", kToken);
  auto one = ctl.run({"api", "workspaces"});
  EXPECT_EQ(one.err.rfind("foliumctl: transport error: ", 0), 0u) << one.err;
  // An empty file name or domain is still a choice, never a fall-back on that profile.
  for (const auto& argv : std::vector<std::vector<std::string>>{
           {"--profile", "", "api", "workspaces"}, {"--domain", "", "api", "workspaces"}}) {
    auto empty = ctl.run(argv);
    EXPECT_EQ(empty.exitCode, 1) << argv[0];
    EXPECT_EQ(empty.err.find("transport error"), std::string::npos) << empty.err;
  }

  ctl.save("http://localhost:9/", "Other", kToken);
  auto several = ctl.run({"api", "workspaces"});
  EXPECT_EQ(several.exitCode, 1);
  EXPECT_NE(several.err.find("(folium-127-0-0-1, folium-localhost)"), std::string::npos)
      << several.err;
  auto chosen = ctl.run({"api", "workspaces", "--domain", "folium-localhost"});
  EXPECT_NE(chosen.err.find("http://localhost:9/"), std::string::npos) << chosen.err;
  EXPECT_EQ(one.err.find(kToken), std::string::npos);
}

TEST(SecretServiceStoreCli, ProfilesLiveInTheKeyringNotInFiles) {
  FOLIUM_SKIP_UNLESS_IN_KEYRING();
  const Env secretService{{"FOLIUM_SECRET_STORE", "secret-service"}};
  Ctl ctl(secretService);
  ASSERT_EQ(ctl.run({"store", "clear"}).exitCode, 0);
  ctl.save("https://a.example.org", "B", kToken);
  EXPECT_FALSE(fs::exists(ctl.item().parent_path()));
  // Another HOME, the same keyring: the same profiles.
  Ctl other(secretService);
  EXPECT_EQ(
      boost::json::parse(other.run({"store", "get", "--show-token", "folium-a-example-org"}).out)
          .at("token"),
      kToken);
  ASSERT_EQ(ctl.run({"store", "clear"}).exitCode, 0);
  EXPECT_EQ(other.run({"store", "list"}).out, "[]\n");
}

}  // namespace
}  // namespace folium
