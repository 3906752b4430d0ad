#include <gtest/gtest.h>

#include <limits>

#include "fileprovider/folium_enumerator.hpp"

namespace folium::fp {
namespace {

constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
constexpr auto kMin = std::numeric_limits<std::int64_t>::min();

TEST(SyncAnchor, IsTheVersionTagAndTheCursorInDecimal) {
  EXPECT_EQ(FoliumEnumerator::makeAnchor(7), "v4:7");
  EXPECT_EQ(FoliumEnumerator::makeAnchor(-12), "v4:-12");
  for (const std::int64_t cursor : {std::int64_t{0}, std::int64_t{-1}, kMax, kMin}) {
    EXPECT_EQ(FoliumEnumerator::parseAnchor(FoliumEnumerator::makeAnchor(cursor)), cursor);
  }
}

TEST(SyncAnchor, ParsesOnlyReadableAnchors) {
  // Empty pieces before the tag are dropped.
  const std::pair<std::string, std::int64_t> readable[] = {
      {"v4:0", 0}, {"v4:+26", 26}, {"v4:-3", -3}, {"v4:007", 7}, {":v4:5", 5},
  };
  for (const auto& [anchor, cursor] : readable) {
    EXPECT_EQ(FoliumEnumerator::parseAnchor(anchor), cursor) << anchor;
  }
  EXPECT_EQ(FoliumEnumerator::parseAnchor("v4:9223372036854775807"), kMax);
  EXPECT_EQ(FoliumEnumerator::parseAnchor("v4:-9223372036854775808"), kMin);
  const std::string unreadable[] = {
      "v4:",   "v4",    "",      ":::",  "v3:5",   "V4:5",    " v4:5",   "v4:5a",  "v4:5:6",
      "v4::5", "v4: 5", "v4:5 ", "v4:+", "v4:+-5", "v4:0x10", "v4:\xff", "\xff:5",
  };
  for (const auto& anchor : unreadable) {
    EXPECT_EQ(FoliumEnumerator::parseAnchor(anchor), std::nullopt) << '"' << anchor << '"';
  }
  EXPECT_EQ(FoliumEnumerator::parseAnchor(std::string("v4:5\0", 5)), std::nullopt);
  // One past the limits does not wrap round.
  EXPECT_EQ(FoliumEnumerator::parseAnchor("v4:9223372036854775808"), std::nullopt);
  EXPECT_EQ(FoliumEnumerator::parseAnchor("v4:-9223372036854775809"), std::nullopt);
}

}  // namespace
}  // namespace folium::fp
