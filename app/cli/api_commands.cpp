#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>

#include <boost/json.hpp>

#include "app/cli/cli_context.hpp"
#include "core/folium_client.hpp"
#include "fileprovider/local_files.hpp"

namespace folium::app {
namespace {

FoliumClient makeClient(const CliContext& context) {
  return FoliumClient(context.resolveProfile().config(), context.session());
}

template <typename Record>
void printList(const std::vector<Record>& records) {
  boost::json::array array;
  array.reserve(records.size());
  for (const auto& record : records) array.push_back(toJson(record));
  std::cout << boost::json::serialize(array) << '\n';
}

template <typename Record>
void printOne(const Record& record) {
  std::cout << boost::json::serialize(toJson(record)) << '\n';
}

std::optional<std::string> optionalArg(const std::string& value, const CLI::Option* option) {
  if (option->count() == 0) return std::nullopt;
  return value;
}

// Integers on the command line are plain decimal within 64 bits. CLI11 alone would read
// "010" as octal, "0x10" as hexadecimal and " 5" as 5, and clamp an overflow to the largest
// value, so a typo would silently ask the server for another cursor.
CLI::Validator decimalInteger() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        std::int64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (text.empty() || error != std::errc() || stop != end) {
          return "\"" + text + "\" is not a decimal integer within 64 bits";
        }
        text = std::to_string(value);  // what CLI11's own conversion reads back unchanged
        return {};
      },
      "INTEGER", "decimal integer");
}

std::string baseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void writeAll(int fd, std::string_view bytes, const std::string& path) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && path.empty()) throw CliFailure("cannot write to standard output");
    if (count < 0) throw CliFailure("cannot write " + path + ": " + std::strerror(errno));
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
}

// Writes a document's contents to FILE, or stdout, as they arrive: never whole in memory.
// A file is written beside FILE under a name of its own (0600, never through a planted link)
// and renamed over it once complete, so a failed download leaves what FILE held intact. A
// FILE that names a link is followed, and the file it names replaced; one that names
// something other than a file (/dev/null, a FIFO) is written to as it is.
void downloadTo(const FoliumClient& client, const std::string& id, const std::string& path) {
  if (path.empty() || path == "-") {
    client.downloadDocument(id, [](std::string_view bytes) { writeAll(STDOUT_FILENO, bytes, {}); });
    return;
  }
  struct stat target {};
  const bool exists = ::stat(path.c_str(), &target) == 0;
  if (exists && S_ISDIR(target.st_mode)) {
    throw CliFailure("cannot write " + path + ": it is a folder; give a file name after -o");
  }
  if (exists && !S_ISREG(target.st_mode)) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) throw CliFailure("cannot write " + path + ": " + std::strerror(errno));
    try {
      client.downloadDocument(id, [&](std::string_view bytes) { writeAll(fd, bytes, path); });
    } catch (...) {
      ::close(fd);
      throw;
    }
    if (::close(fd) != 0) throw CliFailure("cannot write " + path + ": " + std::strerror(errno));
    return;
  }
  std::filesystem::path destination = path;
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    if (!exists) {
      throw CliFailure("cannot write " + path +
                       ": it is a link to a file that does not exist; remove the link or "
                       "give another file name");
    }
    destination = std::filesystem::canonical(destination);
  }
  // Hidden, and short enough to leave room for the unique part within a name's 255 bytes.
  const std::string name = destination.filename().string().substr(0, 200);
  fp::PartialFile part(destination.parent_path(), "." + name + ".");
  client.downloadDocument(id, [&part](std::string_view bytes) { part.write(bytes); });
  part.keepAs(destination);
}

}  // namespace

void addApiCommands(CLI::App& app, CliContext& context) {
  CLI::App* api = app.add_subcommand("api", "one client operation each, straight to the server");
  api->require_subcommand(1);
  api->fallthrough();

  auto command = [&](const char* name, const char* description) {
    CLI::App* sub = api->add_subcommand(name, description);
    sub->fallthrough();
    return sub;
  };

  command("workspaces", "list the workspaces")->callback([&context] {
    printList(makeClient(context).listWorkspaces());
  });

  {
    auto* sub = command("folders", "list folders");
    auto* workspace = sub->add_option("--workspace", "workspace identifier");
    auto* parent = sub->add_option("--parent", "parent folder identifier");
    sub->callback([&context, workspace, parent] {
      printList(makeClient(context).listFolders(
          workspace->count() ? std::optional(workspace->as<std::string>()) : std::nullopt,
          parent->count() ? std::optional(parent->as<std::string>()) : std::nullopt));
    });
  }
  {
    auto* sub = command("documents", "list documents");
    auto* workspace = sub->add_option("--workspace", "workspace identifier");
    auto* folder = sub->add_option("--folder", "folder identifier");
    sub->callback([&context, workspace, folder] {
      printList(makeClient(context).listDocuments(
          workspace->count() ? std::optional(workspace->as<std::string>()) : std::nullopt,
          folder->count() ? std::optional(folder->as<std::string>()) : std::nullopt));
    });
  }

  auto lookup = [&](const char* name, const char* description, auto call) {
    auto* sub = command(name, description);
    auto id = std::make_shared<std::string>();
    sub->add_option("ID", *id, "identifier")->required();
    sub->callback([&context, id, call] { printOne(call(makeClient(context), *id)); });
  };
  lookup("workspace", "show one workspace",
         [](const FoliumClient& c, const std::string& id) { return c.getWorkspace(id); });
  lookup("folder", "show one folder",
         [](const FoliumClient& c, const std::string& id) { return c.getFolder(id); });
  lookup("document", "show one document",
         [](const FoliumClient& c, const std::string& id) { return c.getDocument(id); });

  {
    auto* sub = command("create-folder", "create a folder");
    auto workspace = std::make_shared<std::string>();
    auto parent = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    sub->add_option("--workspace", *workspace, "workspace identifier")->required();
    auto* parentOption = sub->add_option("--parent", *parent, "parent folder identifier");
    sub->add_option("NAME", *name, "folder name")->required();
    sub->callback([&context, workspace, parent, parentOption, name] {
      printOne(makeClient(context).createFolder(*workspace, optionalArg(*parent, parentOption),
                                                *name));
    });
  }

  auto renameCommand = [&](const char* name, const char* description, auto call) {
    auto* sub = command(name, description);
    auto id = std::make_shared<std::string>();
    auto newName = std::make_shared<std::string>();
    sub->add_option("ID", *id, "identifier")->required();
    sub->add_option("NAME", *newName, "new name")->required();
    sub->callback([&context, id, newName, call] {
      printOne(call(makeClient(context), *id, *newName));
    });
  };
  renameCommand("rename-folder", "rename a folder",
                [](const FoliumClient& c, const std::string& id, const std::string& name) {
                  return c.renameFolder(id, name);
                });
  renameCommand("rename-document", "rename a document",
                [](const FoliumClient& c, const std::string& id, const std::string& name) {
                  return c.renameDocument(id, name);
                });

  auto moveCommand = [&](const char* name, const char* description, auto call) {
    auto* sub = command(name, description);
    auto id = std::make_shared<std::string>();
    auto target = std::make_shared<std::string>();
    sub->add_option("ID", *id, "identifier")->required();
    auto* to = sub->add_option("--to", *target,
                               "target folder (without it: the workspace's top level)");
    sub->callback([&context, id, target, to, call] {
      printOne(call(makeClient(context), *id, optionalArg(*target, to)));
    });
  };
  moveCommand("move-folder", "move a folder",
              [](const FoliumClient& c, const std::string& id,
                 const std::optional<std::string>& to) { return c.moveFolder(id, to); });
  moveCommand("move-document", "move a document",
              [](const FoliumClient& c, const std::string& id,
                 const std::optional<std::string>& to) { return c.moveDocument(id, to); });

  auto deleteCommand = [&](const char* name, const char* description, auto call) {
    auto* sub = command(name, description);
    auto id = std::make_shared<std::string>();
    sub->add_option("ID", *id, "identifier")->required();
    sub->callback([&context, id, call] { call(makeClient(context), *id); });
  };
  deleteCommand("delete-folder", "delete a folder and everything in it",
                [](const FoliumClient& c, const std::string& id) { c.deleteFolder(id); });
  deleteCommand("delete-document", "delete a document",
                [](const FoliumClient& c, const std::string& id) { c.deleteDocument(id); });

  {
    auto* sub = command("download", "write a document's contents to FILE or stdout");
    auto id = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    sub->add_option("ID", *id, "document identifier")->required();
    sub->add_option("-o,--output", *output, "file to write (default: stdout)");
    sub->callback([&context, id, output] { downloadTo(makeClient(context), *id, *output); });
  }
  {
    auto* sub = command("create-document", "upload FILE as a new document");
    auto workspace = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto file = std::make_shared<std::string>();
    sub->add_option("--workspace", *workspace, "workspace identifier")->required();
    auto* folderOption = sub->add_option("--folder", *folder, "folder identifier");
    auto* nameOption = sub->add_option("--name", *name, "document name (default: FILE's name)");
    sub->add_option("FILE", *file, "file to upload")->required();
    sub->callback([&context, workspace, folder, folderOption, name, nameOption, file] {
      const FoliumClient client = makeClient(context);
      printOne(client.createDocument(*workspace, optionalArg(*folder, folderOption),
                                     nameOption->count() ? *name : baseName(*file),
                                     ContentsFile{*file}));
    });
  }
  {
    auto* sub = command("update-document", "replace a document's contents with FILE");
    auto id = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto file = std::make_shared<std::string>();
    sub->add_option("ID", *id, "document identifier")->required();
    auto* nameOption = sub->add_option("--name", *name, "file name sent (default: FILE's name)");
    sub->add_option("FILE", *file, "file to upload")->required();
    sub->callback([&context, id, name, nameOption, file] {
      const FoliumClient client = makeClient(context);
      printOne(client.updateDocumentContent(*id, nameOption->count() ? *name : baseName(*file),
                                            ContentsFile{*file}));
    });
  }
  {
    auto* sub = command("changes", "one page of the change feed");
    auto since = std::make_shared<std::int64_t>(0);
    auto limit = std::make_shared<std::int64_t>(0);
    sub->add_option("--since", *since, "cursor to read after")
        ->required()
        ->transform(decimalInteger());
    sub->add_option("--limit", *limit, "most records wanted")
        ->required()
        ->transform(decimalInteger());
    sub->callback([&context, since, limit] {
      std::cout << boost::json::serialize(toJson(makeClient(context).changes(*since, *limit)))
                << '\n';
    });
  }
  {
    auto* sub = command("search", "search the instance");
    auto query = std::make_shared<std::string>();
    auto limit = std::make_shared<std::int64_t>(50);
    sub->add_option("QUERY", *query, "text to search for")->required();
    sub->add_option("--limit", *limit, "most hits wanted (default 50)")
        ->transform(decimalInteger());
    sub->callback([&context, query, limit] {
      printList(makeClient(context).search(*query, *limit));
    });
  }
}

}  // namespace folium::app
