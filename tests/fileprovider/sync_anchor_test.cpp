#include <gtest/gtest.h>

#include <limits>

#include "fileprovider/folium_enumerator.hpp"

namespace folium::fp {
namespace {

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();

TEST(SyncAnchor, IsTheVersionTagAndTheCursorInDecimal) {
  EXPECT_EQ(FoliumEnumerator::makeAnchor(0), "v4:0");
  EXPECT_EQ(FoliumEnumerator::makeAnchor(7), "v4:7");
  EXPECT_EQ(FoliumEnumerator::makeAnchor(-12), "v4:-12");
  EXPECT_EQ(FoliumEnumerator::makeAnchor(kMax), "v4:9223372036854775807");
  for (const std::int64_t cursor :
       {std::int64_t{0}, std::int64_t{500}, std::int64_t{-1}, kMax, kMin}) {
    EXPECT_EQ(FoliumEnumerator::parseAnchor(FoliumEnumerator::makeAnchor(cursor)), cursor);
  }
}

TEST(SyncAnchor, ParsesOnlyReadableAnchors) {
  const struct {
    std::string anchor;
    std::optional<std::int64_t> cursor;
  } cases[] = {
      {"v4:0", 0},
      {"v4:26", 26},
      {"v4:+26", 26},
      {"v4:-3", -3},
      {"v4:007", 7},
      {":v4:5", 5},  // empty pieces before the tag are dropped
      {"::v4:5", 5},
      {"v4:9223372036854775807", kMax},
      {"v4:-9223372036854775808", kMin},
      {"v4:9223372036854775808", std::nullopt},
      {"v4:-9223372036854775809", std::nullopt},
      {"v4:", std::nullopt},
      {"v4", std::nullopt},
      {"", std::nullopt},
      {":::", std::nullopt},
      {"v3:5", std::nullopt},
      {"V4:5", std::nullopt},
      {" v4:5", std::nullopt},
      {"v4:5a", std::nullopt},
      {"v4:5:6", std::nullopt},
      {"v4::5", std::nullopt},
      {"v4: 5", std::nullopt},
      {"v4:5 ", std::nullopt},
      {"v4:+", std::nullopt},
      {"v4:-", std::nullopt},
      {"v4:+-5", std::nullopt},
      {"v4:0x10", std::nullopt},
      {"v4:\xff", std::nullopt},
      {"\xff:5", std::nullopt},
      {std::string("v4:5\0", 5), std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoliumEnumerator::parseAnchor(c.anchor), c.cursor) << '"' << c.anchor << '"';
  }
}

}  // namespace
}  // namespace folium::fp
