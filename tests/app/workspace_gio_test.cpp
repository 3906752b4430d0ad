// The desktop workspace through GIO, with applications installed in a private data folder.

#include "platform/desktop/workspace_gio.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/hit_opening.hpp"
#include "tests/service/service_sandbox.hpp"
#include "tests/support/process.hpp"

namespace folium::app::testing {
namespace {

namespace fs = std::filesystem;
using folium::testing::readFile;
using folium::testing::writeFile;

// An application whose program writes the files it was given to `log`.
void installApplication(const fs::path& dataHome, const std::string& id, const fs::path& log,
                        const std::string& mimeTypes) {
  const fs::path program = log.parent_path() / (id + ".sh");
  writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + log.string() + "'\n");
  fs::permissions(program, fs::perms::owner_all);
  writeFile(dataHome / "applications" / id, "[Desktop Entry]\nType=Application\nName=" + id +
                                                "\nExec=" + program.string() +
                                                " %F\nMimeType=" + mimeTypes + "\n");
}

TEST(GioWorkspace, FindsTheEditorByItsIdAndOpensOtherFilesWithTheirDefaultHandler) {
  folium::testing::TempDir dir;
  // GIO reads these once per process; no other test of this binary uses GIO.
  const folium::testing::ScopedEnv env({{"XDG_DATA_HOME", (dir / "data").string()},
                                        {"XDG_CONFIG_HOME", (dir / "config").string()},
                                        {"XDG_DATA_DIRS", "/usr/share"}});
  fs::create_directories(dir / "data/applications");
  fs::create_directories(dir / "config");
  installApplication(dir / "data", "fr.quenor.scrivel.desktop", dir / "editor.log",
                     "text/markdown;");
  installApplication(dir / "data", "folium-test-viewer.desktop", dir / "viewer.log",
                     "text/plain;inode/directory;");
  writeFile(dir / "config/mimeapps.list",
            "[Default Applications]\ntext/plain=folium-test-viewer.desktop\n"
            "inode/directory=folium-test-viewer.desktop\n");
  fs::create_directories(dir / "Drive/Dossier");
  writeFile(dir / "Drive/Mon plan.MD", "# Plan");
  writeFile(dir / "Drive/notes.txt", "notes");

  auto workspace = std::make_shared<platform::GioWorkspace>();
  ASSERT_TRUE(workspace->applicationForId(kMarkdownEditorId));
  EXPECT_FALSE(workspace->applicationForId("fr.quenor.absent.desktop"));

  AppServices services{SharedStore(SharedStore::appGroupID, nullptr),
                       nullptr,
                       workspace,
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};
  EXPECT_EQ(openFile(services, dir / "Drive/Mon plan.MD"), OpenedWith::markdownEditor);
  EXPECT_EQ(openFile(services, dir / "Drive/notes.txt"), OpenedWith::defaultHandler);
  EXPECT_TRUE(workspace->openPath(dir / "Drive/Dossier").ok);

  const auto logged = [](const fs::path& log, const std::string& expected) {
    return folium::testing::eventually(
        [&] { return fs::exists(log) && readFile(log) == expected; });
  };
  EXPECT_TRUE(logged(dir / "editor.log", (dir / "Drive/Mon plan.MD").string() + "\n"));
  EXPECT_TRUE(logged(dir / "viewer.log", (dir / "Drive/notes.txt").string() + "\n" +
                                             (dir / "Drive/Dossier").string() + "\n"));
}

}  // namespace
}  // namespace folium::app::testing
