#include "platform/files/whole_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/support/process.hpp"

namespace folium::platform {
namespace {

TEST(WholeFile, SmallInputsMustBeRegularFilesUnderTheCap) {
  testing::TempDir dir;
  const auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  testing::writeFile(dir / "big", std::string(kSmallFile.maxBytes.value() + 1, 'x'));
  testing::writeFile(dir / "small", "{}");
  const struct {
    std::filesystem::path path;
    std::string reason;  // "" when the file is read
  } cases[] = {
      {dir / "small", ""},
      {fifo, "not a regular file"},         // must not wait for a writer
      {"/dev/zero", "not a regular file"},  // must not fill the memory
      {dir / "big", "larger than 1024 KiB"},
      {dir.path(), "Is a directory"},
      {dir / "missing", "No such file or directory"},
  };
  for (const auto& c : cases) {
    try {
      EXPECT_EQ(readWholeFile(c.path, kSmallFile, "cannot read profile file"), "{}");
      EXPECT_EQ(c.reason, "") << c.path;
    } catch (const FileReadError& e) {
      EXPECT_EQ(std::string(e.what()),
                "cannot read profile file " + c.path.string() + ": " + c.reason);
    }
  }
  // Without limits, anything that ends is read.
  EXPECT_EQ(readWholeFile(dir / "big").size(), kSmallFile.maxBytes.value() + 1);
}

}  // namespace
}  // namespace folium::platform
