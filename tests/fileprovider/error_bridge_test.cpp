#include "fileprovider/error_bridge.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <future>
#include <system_error>
#include <thread>
#include <vector>

#include "core/folium_error.hpp"
#include "core/json_decoding.hpp"
#include "fileprovider/file_provider_extension.hpp"
#include "platform/http/http_session.hpp"

namespace folium::fp {
namespace {

using platform::UserInfo;

platform::ErrorPtr bridged(const std::function<void()>& fail) {
  try {
    fail();
  } catch (...) {
    return toErrorObject(std::current_exception());
  }
  ADD_FAILURE() << "nothing was thrown";
  return nullptr;
}

TEST(ErrorBridge, EachKindOfFailureGetsItsDomainCodeAndDescription) {
  const struct {
    std::string name;
    std::function<void()> fail;
    std::string domain;
    std::int64_t code;
    UserInfo userInfo;
    std::string description;
  } cases[] = {
      {"http", [] { throw FoliumError::http(404); }, "FoliumCore.FoliumError", 0,
       UserInfo{{"status", std::int64_t{404}}}, "http status 404"},
      {"invalid response",
       [] { throw FoliumError::invalidResponse(); },
       "FoliumCore.FoliumError",
       1,
       {},
       "invalid response"},
      {"missing download URL",
       [] { throw FoliumError::missingDownloadURL(); },
       "FoliumCore.FoliumError",
       2,
       {},
       "missing download URL"},
      {"transport",
       [] { throw platform::TransportError(7, "cannot connect to 127.0.0.1"); },
       "FoliumCore.TransportError",
       7,
       {},
       "transport error: cannot connect to 127.0.0.1"},
      {"decoding",
       [] { throw DecodingError("Folder.name: expected a string"); },
       "FoliumCore.DecodingError",
       0,
       {},
       "cannot decode response: Folder.name: expected a string"},
      {"address",
       [] { throw InvalidAddressError("not an http URL: localhost:8080"); },
       "FoliumCore.InvalidAddressError",
       0,
       {},
       "not an http URL: localhost:8080"},
      {"errno",
       [] { throw std::system_error(ENOSPC, std::generic_category(), "cannot write /tmp/x"); },
       "NSPOSIXErrorDomain",
       ENOSPC,
       {},
       "cannot write /tmp/x: No space left on device"},
      {"file system",
       [] {
         throw std::filesystem::filesystem_error("cannot open", "/a",
                                                 std::error_code(EACCES, std::system_category()));
       },
       "NSPOSIXErrorDomain",
       EACCES,
       {},
       ""},
      {"other category",
       [] { throw std::system_error(std::make_error_code(std::future_errc::broken_promise)); },
       "FoliumFileProvider.UnexpectedError",
       0,
       {},
       ""},
      {"other exception",
       [] { throw std::logic_error("boom"); },
       "FoliumFileProvider.UnexpectedError",
       0,
       {},
       "unexpected failure: boom"},
      {"not an exception",
       [] { throw 42; },
       "FoliumFileProvider.UnexpectedError",
       0,
       {},
       "unexpected failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const platform::ErrorPtr error = bridged(c.fail);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), c.domain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->userInfo(), c.userInfo);
    if (!c.description.empty()) {
      EXPECT_EQ(error->description(), c.description);
    }
    EXPECT_FALSE(error->description().empty());
  }
}

TEST(ErrorBridge, ThePlugInsOwnErrorsPassUnchanged) {
  const platform::ErrorObject own("NSFileProviderErrorDomain", -1002, "the sync anchor expired",
                                  UserInfo{{"anchor", std::string("v9:1")}});
  const platform::ErrorPtr error = bridged([&] { throw own; });
  EXPECT_EQ(error->domain(), own.domain());
  EXPECT_EQ(error->code(), own.code());
  EXPECT_EQ(error->userInfo(), own.userInfo());
  EXPECT_EQ(error->description(), own.description());
}

TEST(ErrorBridge, UnsupportedIsOneObjectForTheWholeProcess) {
  std::vector<platform::ErrorPtr> seen(8);
  std::vector<std::thread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = FileProviderExtension::unsupportedError(); });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& error : seen) EXPECT_EQ(error, seen.front());
  EXPECT_EQ(seen.front()->domain(), "NSCocoaErrorDomain");
  EXPECT_EQ(seen.front()->code(), 3328);
  EXPECT_TRUE(seen.front()->userInfo().empty());
}

}  // namespace
}  // namespace folium::fp
