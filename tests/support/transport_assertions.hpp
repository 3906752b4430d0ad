#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <string>

#include "platform/http/http_session.hpp"

namespace folium::testing {

enum class TransportFailure { any, timeout, cancellation };

// Whether `call` throws a TransportError of the given kind; says what it did otherwise.
inline ::testing::AssertionResult throwsTransportError(const std::function<void()>& call,
                                                       TransportFailure kind, const char* text) {
  try {
    call();
  } catch (const platform::TransportError& error) {
    const bool matches = kind == TransportFailure::any ||
                         (kind == TransportFailure::timeout && error.isTimeout()) ||
                         (kind == TransportFailure::cancellation && error.isCancellation());
    if (matches) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << text << " threw a transport error of another kind (code " << error.code()
           << "): " << error.what();
  } catch (const std::exception& error) {
    return ::testing::AssertionFailure() << text << " threw another error: " << error.what();
  }
  return ::testing::AssertionFailure() << text << " did not throw";
}

}  // namespace folium::testing

#define FOLIUM_EXPECT_TRANSPORT_(statement, kind)                                 \
  EXPECT_TRUE(::folium::testing::throwsTransportError([&] { (void)(statement); }, \
                                                      ::folium::testing::kind, #statement))

// The statement fails below HTTP: no response at all.
#define EXPECT_TRANSPORT_ERROR(statement) FOLIUM_EXPECT_TRANSPORT_(statement, TransportFailure::any)
// The statement fails because nothing moved for longer than its time-out.
#define EXPECT_TIMEOUT(statement) FOLIUM_EXPECT_TRANSPORT_(statement, TransportFailure::timeout)
// The statement fails because its request was cancelled.
#define EXPECT_CANCELLED(statement) \
  FOLIUM_EXPECT_TRANSPORT_(statement, TransportFailure::cancellation)
