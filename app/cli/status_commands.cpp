#include <boost/json.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <thread>

#include "app/cli/service_commands.hpp"
#include "platform/fileprovider/service/line_channel.hpp"
#include "platform/fileprovider/service/service_connection.hpp"

namespace folium::app {
namespace {
namespace json = boost::json;
using platform::service::ServiceConnection;

// One call to the service; a reply that carries an error fails the command with it.
json::object ask(ServiceConnection& connection, json::object request) {
  json::object reply = connection.callAndWait(std::move(request));
  if (const json::value* error = reply.if_contains("error"); error && !error->is_null()) {
    const auto object = platform::service::errorFromJson(*error);
    throw CliFailure(object ? object->description() : "the drive service failed");
  }
  return reply;
}

json::array drives(ServiceConnection& connection) {
  json::object reply = ask(connection, {{"op", "status"}});
  json::value* list = reply.if_contains("drives");
  return list && list->is_array() ? std::move(list->as_array()) : json::array();
}

std::int64_t number(const json::object& drive, std::string_view key) {
  const json::value* value = drive.if_contains(key);
  return value && value->is_int64() ? value->as_int64() : 0;
}

// NAME  PATH  STATE, then what is worth knowing, two spaces between fields.
std::string statusLine(const json::object& drive) {
  using platform::service::stringMember;
  const json::value* path = drive.if_contains("path");
  std::string line =
      stringMember(drive, "displayName") + "  " +
      (path && path->is_string() ? std::string(path->as_string()) : "(not mounted)") + "  " +
      stringMember(drive, "state");
  if (const auto pending = number(drive, "pendingUploads"); pending > 0) {
    line += "  " + std::to_string(pending) + " pending";
  }
  if (const auto refused = number(drive, "refusedUploads"); refused > 0) {
    line += "  " + std::to_string(refused) + " refused";
  }
  if (const auto conflicts = number(drive, "conflicts"); conflicts > 0) {
    line += "  " + std::to_string(conflicts) + " conflicts";
  }
  if (const auto error = stringMember(drive, "lastError"); !error.empty()) {
    line += "  last error: " + error;
  }
  return line;
}

// Busy: uploads wait, or the drive has not come up yet. Uploads the server refused for good
// wait for the user, not for time: they are reported, never waited for.
// A drive that did not tell its figures (it is not running) may hold edits: busy too.
// Returns why it is busy, or "" when it is not.
std::string busy(const json::object& drive) {
  const std::string state = platform::service::stringMember(drive, "state");
  const json::value* pending = drive.if_contains("pendingUploads");
  if (!pending || !pending->is_int64()) return state == "starting" ? "starting" : "not answering";
  if (pending->as_int64() > 0) return std::to_string(pending->as_int64()) + " pending";
  return state == "starting" ? "starting" : "";
}

void pin(const std::string& text, bool pinned) {
  const std::filesystem::path path = std::filesystem::absolute(text).lexically_normal();
  ServiceConnection connection;
  ask(connection, {{"op", "pin"}, {"path", path.string()}, {"pinned", pinned}});
}

}  // namespace

void addStatusCommands(CLI::App& app, CliContext& context) {
  {
    CLI::App* status = app.add_subcommand("status", "how each drive is doing");
    status->fallthrough();
    auto asJson = std::make_shared<bool>(false);
    auto waitSeconds = std::make_shared<int>(300);
    status->add_flag("--json", *asJson, "print one JSON array");
    CLI::Option* wait =
        status
            ->add_option("--wait-idle", *waitSeconds,
                         "retry pending work now, then wait until no upload is pending but those "
                         "the server refused (at most SECONDS, default 300)")
            ->expected(0, 1)
            // Given without a number, the option would otherwise wait 0 s.
            ->default_str("300")
            ->check(CLI::PositiveNumber);
    status->callback([asJson, waitSeconds, wait, &context] {
      ServiceConnection connection;
      json::array list;
      if (wait->count() > 0) {
        ask(connection, {{"op", "retryNow"}});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(*waitSeconds);
        for (;;) {
          list = drives(connection);
          std::string waiting;
          for (const auto& drive : list) {
            if (!drive.is_object()) continue;
            if (const auto why = busy(drive.as_object()); !why.empty()) {
              waiting += (waiting.empty() ? "" : ", ") +
                         platform::service::stringMember(drive.as_object(), "displayName") + " (" +
                         why + ")";
            }
          }
          if (waiting.empty()) break;
          if (std::chrono::steady_clock::now() >= deadline) {
            std::cerr << "foliumctl: still busy after " << *waitSeconds << " s: " << waiting
                      << "\n";
            context.exitCode = 1;
            break;
          }
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
      } else {
        list = drives(connection);
      }
      if (*asJson) {
        std::cout << json::serialize(list) << '\n';
        return;
      }
      for (const auto& drive : list) {
        if (drive.is_object()) std::cout << statusLine(drive.as_object()) << '\n';
      }
    });
  }
  {
    CLI::App* sub = app.add_subcommand("pin", "keep a file or folder of a drive downloaded");
    sub->fallthrough();
    auto path = std::make_shared<std::string>();
    sub->add_option("PATH", *path, "a file or folder in a drive")->required();
    sub->callback([path] { pin(*path, true); });
  }
  {
    CLI::App* sub = app.add_subcommand("unpin", "let the cache evict a pinned file or folder");
    sub->fallthrough();
    auto path = std::make_shared<std::string>();
    sub->add_option("PATH", *path, "a file or folder in a drive")->required();
    sub->callback([path] { pin(*path, false); });
  }
}

}  // namespace folium::app
