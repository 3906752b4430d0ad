#include "fileprovider/local_files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "tests/support/process.hpp"

namespace folium::fp {
namespace {

namespace fs = std::filesystem;

// Points TMPDIR at a fresh folder for the test's duration.
class TemporaryDirectory : public ::testing::Test {
 protected:
  fs::path ours() const { return dir_ / ("folium-" + std::to_string(::geteuid())); }

  testing::TempDir dir_;
  testing::ScopedEnv tmpdir_{{{"TMPDIR", dir_.path().string()}}};
};

TEST_F(TemporaryDirectory, DownloadsArePrivateFilesWithNamesOfTheirOwn) {
  // Someone left the folder open to all: it is closed again before anything goes in.
  fs::create_directory(ours());
  ::chmod(ours().c_str(), 0755);
  const fs::path first = writeTemporaryFile(downloadsFolder(), "contenu");
  const fs::path second = writeTemporaryFile(downloadsFolder(), "");
  EXPECT_EQ(first.parent_path(), ours());
  EXPECT_NE(first, second);
  EXPECT_EQ(testing::fileMode(ours()), 0700u);
  EXPECT_EQ(testing::fileMode(first), 0600u);
  EXPECT_EQ(testing::readFile(first), "contenu");
  EXPECT_EQ(testing::readFile(second), "");
}

TEST_F(TemporaryDirectory, AFolderThatIsNotAFolderOfOurOwnIsRefused) {
  const fs::path elsewhere = dir_ / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, ours());
  try {
    writeTemporaryFile(downloadsFolder(), "secret");
    ADD_FAILURE() << "wrote through a link";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOTDIR);
    EXPECT_NE(std::string(error.what()).find(ours().string()), std::string::npos);
  }
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

}  // namespace
}  // namespace folium::fp
