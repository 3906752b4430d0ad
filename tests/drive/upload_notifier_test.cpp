#include "platform/fileprovider/drive/upload_notifier.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
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

// A notification server on the bus at `address` that reads bodies as markup, as most desktops'
// do, and keeps the first body it is sent.
class MarkupNotificationServer {
 public:
  explicit MarkupNotificationServer(const std::string& address)
      : thread_([this, address] { run(address); }) {
    ready_.get_future().wait();
  }
  ~MarkupNotificationServer() {
    g_main_loop_quit(loop_);
    thread_.join();
  }
  std::string firstBody() { return body_.get_future().get(); }

 private:
  void run(const std::string& address) {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.Notifications'>"
        "<method name='GetCapabilities'><arg type='as' direction='out'/></method>"
        "<method name='Notify'><arg type='s'/><arg type='u'/><arg type='s'/><arg type='s'/>"
        "<arg type='s'/><arg type='as'/><arg type='a{sv}'/><arg type='i'/>"
        "<arg type='u' direction='out'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {
        [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
           GVariant* arguments, GDBusMethodInvocation* invocation, gpointer self) {
          if (g_strcmp0(method, "GetCapabilities") == 0) {
            const gchar* capabilities[] = {"body", "body-markup", nullptr};
            return g_dbus_method_invocation_return_value(invocation,
                                                         g_variant_new("(^as)", capabilities));
          }
          const gchar* body = nullptr;
          g_variant_get_child(arguments, 4, "&s", &body);
          auto* server = static_cast<MarkupNotificationServer*>(self);
          if (!server->told_) server->body_.set_value(body);
          server->told_ = true;
          g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 1u));
        },
        nullptr,
        nullptr,
        {}};
    g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications", node->interfaces[0],
                                      &vtable, this, nullptr, nullptr);
    GVariant* owned = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.Notifications", 0u), nullptr, G_DBUS_CALL_FLAGS_NONE,
        -1, nullptr, nullptr);
    if (owned) g_variant_unref(owned);
    ready_.set_value();
    g_main_loop_run(loop_);
    g_dbus_node_info_unref(node);
    g_object_unref(bus);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  GMainLoop* loop_ = nullptr;
  std::promise<void> ready_;
  std::promise<std::string> body_;
  bool told_ = false;
  std::thread thread_;
};

// Names and reasons come from the server: a desktop that reads markup shows them as written.
TEST(DesktopNotifier, EscapesTheBodyForAServerThatReadsMarkup) {
  BackgroundProcess bus({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"});
  const std::string address = bus.readLine();
  ASSERT_FALSE(address.empty());
  MarkupNotificationServer server(address);
  {
    const ScopedEnv session({{"DBUS_SESSION_BUS_ADDRESS", address}});
    makeDesktopNotifier()->notify("Envoi refusé", "« R&D <a href='x'>b</a>.md »");
  }
  EXPECT_EQ(server.firstBody(), "« R&amp;D &lt;a href=&apos;x&apos;&gt;b&lt;/a&gt;.md »");
}

}  // namespace
}  // namespace folium::platform::drive
