// folium: the tray application. `folium [--background] [URL|FILE…]`
//
// The first launch becomes the running instance; a later one hands its arguments (search
// links, profile files) to it and exits, so the desktop can start `folium %U` for every
// link or file it opens.
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_services.hpp"
#include "app/file_system.hpp"
#include "app/qt/folium_application.hpp"
#include "app/qt/qt_services.hpp"
#include "app/qt/single_instance.hpp"
#include "app/url_entry.hpp"
#include "core/shared_store.hpp"
#include "platform/desktop/workspace_gio.hpp"
#include "platform/fileprovider/fake_file_provider_manager.hpp"
#include "platform/fileprovider/service/service_manager.hpp"
#include "platform/http/curl_http_session.hpp"

namespace {

constexpr const char* kUsage =
    "Usage: folium [--background] [URL|FILE…]\n"
    "\n"
    "Folium's tray application. Opens folium://search links and .foliumprofile files;\n"
    "when Folium already runs, hands them to it and exits. Without arguments, shows the\n"
    "main window (with --background, as at login, only the tray icon).\n";

// Domains kept in memory, their drive folders where the service would mount them (so a
// link's drive name still chooses among them).
std::shared_ptr<folium::platform::FileProviderManager> memoryManager() {
  using folium::platform::FakeFileProviderManager;
  auto manager = FakeFileProviderManager::make(FakeFileProviderManager::Delivery::automatic);
  const char* drives = std::getenv("FOLIUM_DRIVES_DIR");
  const char* home = std::getenv("HOME");
  manager->setDrivesFolder(drives != nullptr && *drives != '\0'
                               ? std::filesystem::path(drives)
                               : std::filesystem::path(home != nullptr ? home : "") / "Folium");
  return manager;
}

// FOLIUM_FILE_PROVIDER=memory keeps the drives in memory instead of asking the drive
// service: for trying the windows, and for tests, which must not mount anything.
std::shared_ptr<folium::platform::FileProviderManager> makeManager() {
  const char* choice = std::getenv("FOLIUM_FILE_PROVIDER");
  if (choice != nullptr && std::string_view(choice) == "memory") return memoryManager();
  return folium::platform::makeServiceManager();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace folium;

  bool background = false;
  std::vector<std::string> urls;
  std::error_code cwdError;
  const std::filesystem::path workingDirectory = std::filesystem::current_path(cwdError);
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument == "--background") {
      background = true;
    } else if (!optionsEnded && (argument == "--help" || argument == "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!optionsEnded && argument.starts_with("-") && argument.size() > 1) {
      std::fprintf(stderr, "folium: unknown option %s\n\n%s", argv[i], kUsage);
      return 2;
    } else {
      urls.push_back(app::urlFromArgument(argument, workingDirectory));
    }
  }

  app::SingleInstance instance(app::instanceSocketPath());
  std::string error;
  switch (instance.start(urls, &error)) {
    case app::SingleInstance::Role::handedOff:
      return 0;
    case app::SingleInstance::Role::failed:
      std::fprintf(stderr, "folium: %s\n", error.c_str());
      return 1;
    case app::SingleInstance::Role::primary:
      break;
  }

  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("folium"));
  QApplication::setDesktopFileName(QStringLiteral("folium"));
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/FoliumLogo.svg")));
  // The texts are French; a translation installed later as folium/translations/folium_LANG.qm
  // in a data folder ($XDG_DATA_HOME, $XDG_DATA_DIRS) is used for the user's language.
  QTranslator translator;
  for (const QString& folder : QStandardPaths::locateAll(QStandardPaths::GenericDataLocation,
                                                         QStringLiteral("folium/translations"),
                                                         QStandardPaths::LocateDirectory)) {
    if (translator.load(QLocale(), QStringLiteral("folium"), QStringLiteral("_"), folder)) {
      QApplication::installTranslator(&translator);
      break;
    }
  }
  if (!instance.listen(&error)) {
    std::fprintf(stderr, "folium: %s\n", error.c_str());
    return 1;
  }

  const bool withTray = QSystemTrayIcon::isSystemTrayAvailable();
  // Windows closing never ends the program; quitting is "Quitter" (or, without a tray,
  // closing the main window).
  QApplication::setQuitOnLastWindowClosed(false);

  app::AppServices services{
      .store = SharedStore(SharedStore::appGroupID),
      .manager = makeManager(),
      .workspace = std::make_shared<platform::GioWorkspace>(),
      .openPanel = std::make_shared<app::QtOpenPanel>(),
      .fileSystem = std::make_shared<app::LocalFileSystem>(),
      .mainThread = std::make_shared<app::QtMainThreadPoster>(&application),
      .http = std::make_shared<platform::CurlHttpSession>(),
  };
  app::FoliumApplication folium(std::move(services), {.withTray = withTray});
  QObject::connect(&folium, &app::FoliumApplication::quitRequested, &application,
                   &QApplication::quit);
  QObject::connect(&instance, &app::SingleInstance::argumentsReceived, &folium,
                   &app::FoliumApplication::openArguments);

  folium.launch();
  QStringList initial;
  for (const std::string& url : urls) initial << QString::fromStdString(url);
  if (!initial.isEmpty() || (!background && withTray)) folium.openArguments(initial);
  return application.exec();
}
