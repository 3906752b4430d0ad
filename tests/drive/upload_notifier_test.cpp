#include "platform/fileprovider/drive/upload_notifier.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/process.hpp"

namespace folium::platform::drive {
namespace {

using folium::testing::BackgroundProcess;
using folium::testing::TempDir;

// What a desktop shows notifications with, on a private session bus.
class NotificationServer {
 public:
  explicit NotificationServer(std::string address) : address_(std::move(address)) {
    thread_ = std::thread([this] { run(); });
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [this] { return started_; });
  }
  ~NotificationServer() {
    if (loop_) g_main_loop_quit(loop_);
    thread_.join();
  }

  std::vector<std::pair<std::string, std::string>> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  static void call(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                   GVariant* parameters, GDBusMethodInvocation* invocation, gpointer self) {
    auto* server = static_cast<NotificationServer*>(self);
    if (g_strcmp0(method, "Notify") == 0) {
      const gchar* summary = nullptr;
      const gchar* body = nullptr;
      g_variant_get_child(parameters, 3, "&s", &summary);
      g_variant_get_child(parameters, 4, "&s", &body);
      std::lock_guard lock(server->mutex_);
      server->received_.emplace_back(summary, body);
    }
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", 1u));
  }

  void run() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address_.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.Notifications'><method name='Notify'>"
        "<arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='as' direction='in'/>"
        "<arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
        "<arg type='u' direction='out'/></method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {&NotificationServer::call, nullptr, nullptr, {}};
    if (connection && node) {
      g_dbus_connection_register_object(connection, "/org/freedesktop/Notifications",
                                        node->interfaces[0], &vtable, this, nullptr, nullptr);
      GVariant* reply = g_dbus_connection_call_sync(
          connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
          "RequestName", g_variant_new("(su)", "org.freedesktop.Notifications", 4u), nullptr,
          G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
      if (reply) g_variant_unref(reply);
    }
    loop_ = g_main_loop_new(context, FALSE);
    {
      std::lock_guard lock(mutex_);
      started_ = true;
    }
    ready_.notify_all();
    g_main_loop_run(loop_);
    g_main_loop_unref(loop_);
    if (node) g_dbus_node_info_unref(node);
    if (connection) {
      g_dbus_connection_close_sync(connection, nullptr, nullptr);
      g_object_unref(connection);
    }
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  std::string address_;
  std::thread thread_;
  GMainLoop* loop_ = nullptr;
  std::mutex mutex_;
  std::condition_variable ready_;
  bool started_ = false;
  std::vector<std::pair<std::string, std::string>> received_;
};

TEST(DesktopNotifier, ReachesTheSessionBusAndIsSilentWithoutOne) {
  BackgroundProcess bus({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address"});
  const std::string address = bus.readLine();
  ASSERT_FALSE(address.empty());
  const folium::testing::ScopedEnv session({{"DBUS_SESSION_BUS_ADDRESS", address}});
  {
    NotificationServer server(address);
    makeDesktopNotifier()->notify("Envoi refusé", "« Plan.md » reste sur cet ordinateur.");
    const auto received = server.received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].first, "Envoi refusé");
    EXPECT_EQ(received[0].second, "« Plan.md » reste sur cet ordinateur.");
  }
  // A bus where nobody shows notifications, then no bus at all (and no bus started): nothing
  // happens, nothing fails.
  makeDesktopNotifier()->notify("Copie de conflit créée", "…");
  TempDir runtime;
  const folium::testing::ScopedEnv noBus(
      {{"DBUS_SESSION_BUS_ADDRESS", ""}, {"XDG_RUNTIME_DIR", runtime.path().string()}});
  makeDesktopNotifier()->notify("Copie de conflit créée", "…");
}

}  // namespace
}  // namespace folium::platform::drive
