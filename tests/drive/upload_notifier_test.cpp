#include "platform/fileprovider/drive/upload_notifier.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using folium::testing::BackgroundProcess;
using folium::testing::ScopedEnv;

// A notification server on the bus at `address` that reads bodies as markup, as most desktops'
// do, and keeps the first summary and body it is sent.
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
  std::pair<std::string, std::string> first() { return texts_.get_future().get(); }

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
          const gchar* summary = nullptr;
          const gchar* body = nullptr;
          g_variant_get_child(arguments, 3, "&s", &summary);
          g_variant_get_child(arguments, 4, "&s", &body);
          auto* server = static_cast<MarkupNotificationServer*>(self);
          if (!server->told_) server->texts_.set_value({summary, body});
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
  std::promise<std::pair<std::string, std::string>> texts_;
  bool told_ = false;
  std::thread thread_;
};

// The texts reach the desktop's notification server; names and reasons come from the server,
// and a desktop that reads markup shows them as written. Without a bus, nothing happens.
TEST(DesktopNotifier, SendsTheTextsAsWrittenAndIsSilentWithoutABus) {
  BackgroundProcess bus({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"});
  const std::string address = bus.readLine();
  ASSERT_FALSE(address.empty());
  MarkupNotificationServer server(address);
  {
    const ScopedEnv session({{"DBUS_SESSION_BUS_ADDRESS", address}});
    makeDesktopNotifier()->notify("Envoi refusé", "« R&D <a href='x'>b</a>.md »");
  }
  const auto [summary, body] = server.first();
  EXPECT_EQ(summary, "Envoi refusé");
  EXPECT_EQ(body, "« R&amp;D &lt;a href=&apos;x&apos;&gt;b&lt;/a&gt;.md »");

  folium::testing::TempDir runtime;
  const ScopedEnv noBus(
      {{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", runtime.path().string()}});
  makeDesktopNotifier()->notify("Copie de conflit créée", "…");
}

}  // namespace
}  // namespace folium::platform::drive
