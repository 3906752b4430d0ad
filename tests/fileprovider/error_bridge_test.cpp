#include "fileprovider/error_bridge.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <system_error>

#include "core/folium_error.hpp"
#include "core/json_decoding.hpp"
#include "platform/http/http_session.hpp"

namespace folium::fp {
namespace {

using platform::UserInfo;
using std::make_exception_ptr;

TEST(ErrorBridge, EachKindOfFailureGetsItsDomainCodeAndDescription) {
  const std::string core = "FoliumCore.FoliumError";
  const std::string posix = "NSPOSIXErrorDomain";
  const std::string unexpected = "FoliumFileProvider.UnexpectedError";
  const auto fsError = std::filesystem::filesystem_error(
      "cannot open", "/a", std::error_code(EACCES, std::system_category()));
  const platform::ErrorObject own("NSFileProviderErrorDomain", -1002, "the sync anchor expired",
                                  UserInfo{{"anchor", std::string("v9:1")}});
  const struct {
    std::exception_ptr failure;
    std::string domain;
    std::int64_t code;
    std::string description;  // "" when only its presence matters
    UserInfo userInfo = {};
  } cases[] = {
      {make_exception_ptr(FoliumError::http(404)), core, 0, "http status 404",
       UserInfo{{"status", std::int64_t{404}}}},
      {make_exception_ptr(FoliumError::http(400, "bad name")), core, 0, "http status 400",
       UserInfo{{"status", std::int64_t{400}}, {"reason", std::string("bad name")}}},
      {make_exception_ptr(FoliumError::invalidResponse()), core, 1, "invalid response"},
      {make_exception_ptr(FoliumError::missingDownloadURL()), core, 2, "missing download URL"},
      {make_exception_ptr(platform::TransportError(platform::TransportError::Kind::hostUnreachable,
                                                   7, "cannot connect to 127.0.0.1")),
       "FoliumCore.TransportError", 7, "transport error: cannot connect to 127.0.0.1",
       UserInfo{{"kind", std::string("hostUnreachable")}}},
      {make_exception_ptr(DecodingError("Folder.name: expected a string")),
       "FoliumCore.DecodingError", 0, "cannot decode response: Folder.name: expected a string"},
      {make_exception_ptr(InvalidAddressError("not an http URL: localhost:8080")),
       "FoliumCore.InvalidAddressError", 0, "not an http URL: localhost:8080"},
      {make_exception_ptr(std::system_error(ENOSPC, std::generic_category(), "cannot write /x")),
       posix, ENOSPC, "cannot write /x: No space left on device"},
      {make_exception_ptr(fsError), posix, EACCES, ""},
      {make_exception_ptr(std::system_error(make_error_code(std::future_errc::broken_promise))),
       unexpected, 0, ""},
      {make_exception_ptr(std::logic_error("boom")), unexpected, 0, "unexpected failure: boom"},
      {make_exception_ptr(42), unexpected, 0, "unexpected failure"},
      // The plug-in's own errors pass unchanged.
      {make_exception_ptr(own), own.domain(), own.code(), own.description(), own.userInfo()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain + " " + c.description);
    const platform::ErrorPtr error = toErrorObject(c.failure);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), c.domain);
    EXPECT_EQ(error->code(), c.code);
    EXPECT_EQ(error->userInfo(), c.userInfo);
    EXPECT_FALSE(error->description().empty());
    if (!c.description.empty()) {
      EXPECT_EQ(error->description(), c.description);
    }
  }
}

}  // namespace
}  // namespace folium::fp
