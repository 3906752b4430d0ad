#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>

#include "core/folium_error.hpp"
#include "tests/support/transport_assertions.hpp"

namespace folium::testing {

// Whether `call` throws exactly `expected`; says what it did otherwise.
inline ::testing::AssertionResult throwsFoliumError(const std::function<void()>& call,
                                                    const FoliumError& expected, const char* text) {
  try {
    call();
  } catch (const FoliumError& error) {
    if (error == expected) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << text << " threw \"" << error.what() << "\" instead of \"" << expected.what() << "\"";
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << text << " threw another error instead of \""
                                         << expected.what() << "\": " << error.what();
  }
  return ::testing::AssertionFailure() << text << " did not throw \"" << expected.what() << "\"";
}

}  // namespace folium::testing

// The statement fails with the server's HTTP status `status`.
#define EXPECT_HTTP_ERROR(statement, status)        \
  EXPECT_TRUE(::folium::testing::throwsFoliumError( \
      [&] { (void)(statement); }, ::folium::FoliumError::http(status), #statement))
// The statement fails because the reply was not HTTP.
#define EXPECT_INVALID_RESPONSE(statement)          \
  EXPECT_TRUE(::folium::testing::throwsFoliumError( \
      [&] { (void)(statement); }, ::folium::FoliumError::invalidResponse(), #statement))
