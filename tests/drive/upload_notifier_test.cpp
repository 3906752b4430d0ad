#include "platform/fileprovider/drive/upload_notifier.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using folium::testing::BackgroundProcess;
using folium::testing::ScopedEnv;

// Reads the monitor's output up to a line that holds `text`.
void skipTo(BackgroundProcess& monitor, const std::string& text) {
  while (monitor.readLine().find(text) == std::string::npos) {
  }
}

// What goes out on a private session bus, as a monitor sees it: nobody shows notifications
// there, so the notifier also meets a bus without a notification server.
TEST(DesktopNotifier, SendsTheTextsToTheSessionBusAndIsSilentWithoutOne) {
  BackgroundProcess bus({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"});
  const std::string address = bus.readLine();
  ASSERT_FALSE(address.empty());
  BackgroundProcess monitor(
      {"dbus-monitor", "--address", address, "interface='org.freedesktop.Notifications'"});
  skipTo(monitor, "member=NameLost");  // it is a monitor from then on
  {
    const ScopedEnv session({{"DBUS_SESSION_BUS_ADDRESS", address}});
    makeDesktopNotifier()->notify("Envoi refusé", "« Plan.md » reste sur cet ordinateur.");
  }
  skipTo(monitor, "member=Notify");
  std::vector<std::string> texts;  // application, icon, summary, body
  while (texts.size() < 4) {
    const std::string line = monitor.readLine();
    if (line.starts_with("   string \"")) texts.push_back(line.substr(11, line.size() - 12));
  }
  EXPECT_EQ(texts[2], "Envoi refusé");
  EXPECT_EQ(texts[3], "« Plan.md » reste sur cet ordinateur.");

  // No bus at all (and no bus started): nothing happens, nothing fails.
  folium::testing::TempDir runtime;
  const ScopedEnv noBus(
      {{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", runtime.path().string()}});
  makeDesktopNotifier()->notify("Copie de conflit créée", "…");
}

}  // namespace
}  // namespace folium::platform::drive
