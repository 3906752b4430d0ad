// The command line of `foliumctl fp`: what it prints, in which order, and its exit status.
// What the plug-in does is checked in-process (tests/fileprovider).
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <sstream>

#include "tests/cli/cli_home.hpp"
#include "tests/support/scripted_server.hpp"

namespace folium {
namespace {

namespace json = boost::json;
using testing::RecordedRequest;
using testing::ScriptedResponse;
using testing::ScriptedServer;
using Lines = std::vector<std::string>;

// A user's private HOME with one drive stored for `baseURL`.
class Home : public testing::CliHome {
 public:
  explicit Home(const std::string& baseURL) : domain_(save(baseURL, "Mon Drive", "t")) {}
  // `foliumctl fp --domain D ARGS`; each line of output must be one JSON object.
  testing::ProcessResult fp(std::vector<std::string> args, Lines* calls = nullptr) const {
    args.insert(args.begin(), {"fp", "--domain", domain_});
    auto result = run(args);
    std::istringstream out(result.out);
    for (std::string line; std::getline(out, line);) {
      try {
        const auto object = json::parse(line).as_object();
        if (calls) calls->push_back(json::serialize(object));
      } catch (const std::exception&) {
        ADD_FAILURE() << "not a JSON object: " << line;
      }
    }
    return result;
  }

 private:
  std::string domain_;
};

TEST(FpCommandLine, PrintsEachCallInOrderAndExitsOneOnAFailedAnswer) {
  ScriptedServer server([](const RecordedRequest& request) {
    if (request.path.ends_with("/changes")) {
      return ScriptedResponse::json(
          R"({"changes":[{"id":3,"entity_type":"Document","entity_id":"4","action":"deleted"}],)"
          R"("cursor":3,"has_more":false})");
    }
    if (request.path.ends_with("/workspaces/1")) {
      return ScriptedResponse::json(R"({"id":"1","label":"Équipe","updated_at":"T"})");
    }
    return ScriptedResponse::status(404);
  });
  Home home(server.baseURL());
  const struct {
    Lines args;
    int exitCode;
    Lines calls;
  } cases[] = {
      {{"ls", "@trash"},
       0,
       {R"({"call":"didEnumerateItems","items":[]})",
        R"({"call":"finishEnumeratingUpToPage","page":null})"}},
      {{"changes", "v4:0"},
       0,
       {R"({"call":"didDeleteItemsWithIdentifiers","identifiers":["do:4"]})",
        R"({"call":"finishEnumeratingChangesUpToSyncAnchor","anchor":"v4:3","moreComing":false})"}},
      {{"item", "ws:1"},
       0,
       {R"({"call":"completion","item":{"itemIdentifier":"ws:1","parentItemIdentifier":)"
        R"("NSFileProviderRootContainerItemIdentifier","filename":"Équipe","capabilities":3,)"
        R"("documentSize":null,"contentType":"inode/directory","itemVersion":)"
        R"({"contentVersion":"T","metadataVersion":"T"},"fileSystemFlags":7},"error":null})",
        R"({"call":"progress","completed":1,"total":1})"}},
      {{"fetch", "do:9"},
       1,
       {R"({"call":"completion","url":null,"item":null,"error":{"domain":"FoliumCore.FoliumError",)"
        R"("code":0,"description":"http status 404","userInfo":{"status":404}}})"}},
      {{"delete", "ws:1"},
       1,
       {R"({"call":"completion","error":{"domain":"NSCocoaErrorDomain","code":3328,)"
        R"("description":"the drive does not support this operation here","userInfo":{}}})",
        R"({"call":"progress","completed":1,"total":1})"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Lines calls;
    const auto result = home.fp(c.args, &calls);
    EXPECT_EQ(result.exitCode, c.exitCode);
    EXPECT_EQ(calls, c.calls);
    EXPECT_EQ(result.err, "") << "the transcript says it all";
  }
}

TEST(FpCommandLine, BadArgumentsExitTwoStrayBytesPrintAsUtf8AndAMissingDriveExitsOne) {
  ScriptedServer server([](const RecordedRequest&) { return ScriptedResponse::status(500); });
  Home home(server.baseURL());
  const std::string replacement = "\xEF\xBF\xBD";
  // A stray byte and a cut-short sequence each become one U+FFFD, a surrogate one per byte;
  // a well-formed character stays.
  const auto anchor = home.fp({"changes", std::string("v4:\xff") + "1"});
  EXPECT_NE(anchor.out.find("v4:" + replacement + "1"), std::string::npos) << anchor.out;
  const auto renamed = home.fp({"modify", "ws:1", "--parent", "@root", "--name",
                                "Caf\xe9 \xe2\x82!\xed\xa0\x80 \xc3\xa9", "--changed", "filename"});
  EXPECT_EQ(renamed.exitCode, 0);
  EXPECT_NE(renamed.out.find("Caf" + replacement + " " + replacement + "!" + replacement +
                             replacement + replacement + " \xc3\xa9"),
            std::string::npos)
      << renamed.out;

  const std::pair<Lines, std::string> cases[] = {
      {{"modify", "do:1", "--parent", "ws:1", "--name", "n", "--changed", "filename,colour"},
       "colour"},
      {{"ls", "@desk"}, "@desk"},
      {{"create", "ws:1", "n", "--folder", "--content-type", "text/plain"}, "--folder"},
      {{"item"}, "ID"},
      {{"create", "ws:1", "n", "--contents", ""}, "--contents"},
  };
  for (const auto& [args, named] : cases) {
    auto result = home.fp(args);
    EXPECT_EQ(result.exitCode, 2) << args[0];
    EXPECT_NE(result.err.find(named), std::string::npos) << result.err;
  }
  // Without --domain the one stored drive is served.
  auto onlyDrive = home.run({"fp", "item", "@root"});
  EXPECT_EQ(onlyDrive.exitCode, 0) << onlyDrive.err;
  EXPECT_NE(onlyDrive.out.find("\"Mon Drive\""), std::string::npos) << onlyDrive.out;
  // With none (or several: the choice the api group makes, store_cli_test), the operation
  // fails as in the other groups, not as wrong usage.
  EXPECT_EQ(home.run({"store", "clear"}).exitCode, 0);
  auto none = home.run({"fp", "item", "@root"});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_EQ(none.err, "foliumctl: no profile stored: pass --profile FILE or --domain ID\n");
  EXPECT_EQ(server.requestCount(), 0u);
}

}  // namespace
}  // namespace folium
