#include "platform/fileprovider/drive/upload_notifier.hpp"

#include <gio/gio.h>

#include <filesystem>
#include <mutex>
#include <optional>

namespace folium::platform::drive {

namespace {

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
using Connection = std::unique_ptr<GDBusConnection, ObjectUnref>;

// The session bus's address, or "" when this session has none. GIO would otherwise try to
// start a bus of its own (autolaunch), which a service must not do.
std::string sessionBusAddress() {
  if (const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) {
    return address;
  }
  if (const char* runtime = g_getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    const auto socket = std::filesystem::path(runtime) / "bus";
    std::error_code error;
    if (std::filesystem::is_socket(socket, error)) return "unix:path=" + socket.string();
  }
  return {};
}

class DesktopNotifier final : public UploadNotifier {
 public:
  void notify(const std::string& summary, const std::string& body) noexcept override {
    std::lock_guard lock(mutex_);
    if (!connection_ || g_dbus_connection_is_closed(connection_.get())) connect();
    if (!connection_) return;
    if (!markup_) markup_ = bodiesAreMarkup();  // asked again until a server answers
    // Texts come from the server (names, its reasons): where bodies are read as markup, they
    // are shown as written, never taken for tags or links.
    std::string text = body;
    if (markup_.value_or(false)) {
      gchar* escaped = g_markup_escape_text(body.c_str(), -1);
      text = escaped;
      g_free(escaped);
    }
    GVariantBuilder hints;
    g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
    g_variant_builder_add(&hints, "{sv}", "desktop-entry", g_variant_new_string("folium"));
    const gchar* const noActions[] = {nullptr};
    GVariant* arguments = g_variant_new("(susss^asa{sv}i)", "Folium", 0u, "folium", summary.c_str(),
                                        text.c_str(), noActions, &hints, -1);
    // Nobody shows notifications here: nothing else to tell the user through.
    if (GVariant* reply = callServer("Notify", arguments, G_VARIANT_TYPE("(u)"))) {
      g_variant_unref(reply);
    }
  }

 private:
  void connect() {
    connection_.reset();
    const std::string address = sessionBusAddress();
    if (address.empty()) return;
    GError* error = nullptr;
    GDBusConnection* connection = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (error) g_error_free(error);
    if (connection) {
      g_dbus_connection_set_exit_on_close(connection, FALSE);
      connection_.reset(connection);
      markup_.reset();
    }
  }

  // Calls the notification server, never starting one; its reply, or null when it failed.
  GVariant* callServer(const char* method, GVariant* arguments, const GVariantType* replyType) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(
        connection_.get(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.Notifications", method, arguments, replyType,
        G_DBUS_CALL_FLAGS_NO_AUTO_START, 2000, nullptr, &error);
    if (error) g_error_free(error);
    return reply;
  }

  // Whether the notification server reads bodies as markup (its "body-markup" capability);
  // none while no server answers.
  std::optional<bool> bodiesAreMarkup() {
    GVariant* reply = callServer("GetCapabilities", nullptr, G_VARIANT_TYPE("(as)"));
    if (!reply) return std::nullopt;
    GVariantIter* capabilities = nullptr;
    g_variant_get(reply, "(as)", &capabilities);
    bool markup = false;
    const gchar* capability = nullptr;
    while (g_variant_iter_loop(capabilities, "&s", &capability)) {
      if (g_strcmp0(capability, "body-markup") == 0) markup = true;
    }
    g_variant_iter_free(capabilities);
    g_variant_unref(reply);
    return markup;
  }

  std::mutex mutex_;  // guards what follows; one notification at a time
  Connection connection_;
  std::optional<bool> markup_;  // the server reads bodies as markup
};

}  // namespace

std::shared_ptr<UploadNotifier> makeDesktopNotifier() {
  return std::make_shared<DesktopNotifier>();
}

}  // namespace folium::platform::drive
