#include "devserver/api_server.hpp"

#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cctype>
#include <cstdio>
#include <limits>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/server_api.hpp"
#include "devserver/content_type.hpp"
#include "devserver/document_text.hpp"
#include "devserver/multipart_parser.hpp"
#include "devserver/request_values.hpp"
#include "devserver/wire_json.hpp"
#include "platform/text/utf8.hpp"

namespace folium::devserver {

namespace json = boost::json;

namespace {

constexpr std::string_view kJsonType = "application/json";
constexpr std::size_t kMaxJsonBody = 1 << 20;
constexpr std::size_t kMaxFieldBytes = 4096;
constexpr std::size_t kMaxQueryBytes = 1000;
constexpr std::int64_t kMaxPerPage = 1000;
constexpr std::int64_t kMaxChangeLimit = 1000;
constexpr std::int64_t kDefaultChangeLimit = 100;
constexpr std::int64_t kDefaultSearchLimit = 50;
constexpr std::int64_t kMaxSearchLimit = 200;
// Each connection holds a worker while it is open: enough that a few dozen idle or slow
// clients leave room for everyone else.
constexpr std::size_t kWorkerThreads = 256;
constexpr auto kReadTimeout = std::chrono::seconds(5);
constexpr std::size_t kBlobChunk = 256 * 1024;

// Uploads may be large; anything the disk can hold is accepted.
constexpr std::size_t kMaxPayload = std::size_t{64} << 30;

// A failure answered with a status and a short JSON message.
struct HttpError {
  int status;
  std::string message;
};

// Per-request state shared between the routing hooks and the handler; all three run on the
// worker thread that serves the request.
struct RequestContext {
  std::string contentType;  // the request's own, before the pre-routing hook hides it
  FaultDecision faults;
  bool bodyAbandoned = false;  // the handler stopped reading the body part-way
};
thread_local RequestContext tContext;

std::string errorBody(std::string_view message) {
  json::object o;
  o["error"] = message;
  return json::serialize(o);
}

void sendJson(httplib::Response& res, int status, const json::value& body) {
  res.status = status;
  res.set_content(json::serialize(body), std::string(kJsonType));
}

void sendError(httplib::Response& res, int status, std::string_view message) {
  res.status = status;
  res.set_content(errorBody(message), std::string(kJsonType));
}

std::vector<std::string_view> splitPath(std::string_view path) {
  std::vector<std::string_view> segments;
  while (!path.empty()) {
    size_t slash = path.find('/');
    segments.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
    if (path.empty()) segments.emplace_back();  // a trailing "/" names nothing
  }
  return segments;
}

// Compares without an early exit, so response time tells nothing about a token's prefix.
bool sameSecret(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return difference == 0;
}

std::string lowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The value of the first query item called `name`, split at the first "=" only: the HTTP
// library keeps what follows the last one, so "?workspace_id=1+OR+1=1" would read as "1".
std::optional<std::string> queryParam(const httplib::Request& req, const std::string& name) {
  const auto question = req.target.find('?');
  if (question == std::string::npos) return std::nullopt;
  std::string_view query = std::string_view(req.target).substr(question + 1);
  query = query.substr(0, query.find('#'));
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view item = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const auto equals = item.find('=');
    if (httplib::detail::decode_url(std::string(item.substr(0, equals)), true) != name) continue;
    if (equals == std::string_view::npos) return std::string();
    return httplib::detail::decode_url(std::string(item.substr(equals + 1)), true);
  }
  return std::nullopt;
}

std::int64_t integerParam(const httplib::Request& req, const std::string& name,
                          std::int64_t fallback, std::int64_t min, std::int64_t max) {
  auto text = queryParam(req, name);
  if (!text) return fallback;
  auto value = parseInteger(*text, min, max);
  if (!value) {
    throw HttpError{400, "\"" + name + "\" must be an integer from " + std::to_string(min) +
                             " to " + std::to_string(max) + ", not \"" + *text + "\""};
  }
  return *value;
}

// An id taken from a query parameter to filter by; an unknown one is a 404 of the listing.
std::optional<EntityId> filterParam(const httplib::Request& req, const std::string& name,
                                    std::string_view kind) {
  auto text = queryParam(req, name);
  if (!text) return std::nullopt;
  auto id = parseId(*text);
  if (!id) throw HttpError{404, "no " + std::string(kind) + " with id \"" + *text + "\""};
  return id;
}

EntityId pathId(std::string_view segment, std::string_view kind) {
  auto id = parseId(segment);
  if (!id) {
    throw HttpError{404, "no " + std::string(kind) + " with id \"" + std::string(segment) + "\""};
  }
  return *id;
}

void checkName(std::string_view name, std::string_view what) {
  if (auto problem = nameProblem(name)) throw HttpError{400, std::string(what) + " " + *problem};
}

json::object parseJsonObject(std::string_view body) {
  if (body.empty()) throw HttpError{400, "the request needs a JSON object body"};
  std::error_code ec;
  json::value value = json::parse(body, ec);
  if (ec) throw HttpError{400, "the body is not valid JSON: " + ec.message()};
  if (!value.is_object()) throw HttpError{400, "the body must be a JSON object"};
  return std::move(value.as_object());
}

std::optional<std::string> optionalString(const json::object& body, std::string_view key) {
  auto it = body.find(key);
  if (it == body.end() || it->value().is_null()) return std::nullopt;
  if (!it->value().is_string()) {
    throw HttpError{400, "\"" + std::string(key) + "\" must be a string"};
  }
  return std::string(it->value().as_string());
}

std::string requiredString(const json::object& body, std::string_view key) {
  auto value = optionalString(body, key);
  if (!value) throw HttpError{400, "\"" + std::string(key) + "\" is missing"};
  return *value;
}

// An id given in a body to refer to another entity; unknown ones are the store's to report.
EntityId referencedId(const std::string& text, std::string_view kind) {
  auto id = parseId(text);
  if (!id) throw HttpError{422, "no " + std::string(kind) + " with id \"" + text + "\""};
  return *id;
}

// A content type fit to be sent back in a header.
std::string usableContentType(std::string_view declared, std::string_view name) {
  bool usable =
      !declared.empty() && declared.size() <= 200 &&
      std::all_of(declared.begin(), declared.end(), [](char c) { return c >= 0x20 && c < 0x7F; }) &&
      declared.find('/') != std::string_view::npos;
  return usable ? std::string(declared) : contentTypeForName(name);
}

// What a multipart upload carried.
struct UploadForm {
  std::map<std::string, std::string, std::less<>> fields;
  std::optional<TempFile> file;
  std::string filename;
  std::string contentType;
};

}  // namespace

struct ApiServer::Impl {
  Impl(Store& s, ServerSettings settings)
      : store(s), settings(std::move(settings)), faults(this->settings.faults) {}

  void install();
  void handle(const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader* reader);
  void route(const httplib::Request& req, httplib::Response& res,
             const httplib::ContentReader* reader);
  bool authorized(const httplib::Request& req) const;
  std::string documentBase(const httplib::Request& req) const;

  std::string readBody(const httplib::Request& req, const httplib::ContentReader* reader);
  void discardBody(const httplib::Request& req, const httplib::ContentReader* reader);
  UploadForm readUpload(const httplib::Request& req, const httplib::ContentReader* reader);

  void listWorkspaces(const httplib::Request& req, httplib::Response& res);
  void listFolders(const httplib::Request& req, httplib::Response& res);
  void listDocuments(const httplib::Request& req, httplib::Response& res);
  void createWorkspace(const json::object& body, httplib::Response& res);
  void createFolder(const json::object& body, httplib::Response& res);
  void createDocument(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader* reader);
  void patchFolder(EntityId id, const json::object& body, httplib::Response& res);
  void patchDocument(EntityId id, const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader* reader);
  void sendBlob(EntityId id, httplib::Response& res);
  void changes(const httplib::Request& req, httplib::Response& res);
  void search(const httplib::Request& req, httplib::Response& res);

  Store& store;
  ServerSettings settings;
  FaultInjector faults;
  httplib::Server server;
  int port = 0;
  std::string base;
};

ApiServer::ApiServer(Store& store, ServerSettings settings)
    : impl_(std::make_unique<Impl>(store, std::move(settings))) {
  impl_->install();
}

ApiServer::~ApiServer() = default;

int ApiServer::bind() {
  auto& s = impl_->settings;
  if (s.port == 0) {
    impl_->port = impl_->server.bind_to_any_port(s.host);
    if (impl_->port < 0) throw std::runtime_error("cannot listen on " + s.host);
  } else {
    if (!impl_->server.bind_to_port(s.host, s.port)) {
      throw std::runtime_error("cannot listen on " + s.host + " port " + std::to_string(s.port));
    }
    impl_->port = s.port;
  }
  std::string host = s.host.find(':') != std::string::npos ? "[" + s.host + "]" : s.host;
  impl_->base = "http://" + host + ":" + std::to_string(impl_->port) + "/";
  return impl_->port;
}

std::string ApiServer::baseURL() const { return impl_->base; }

bool ApiServer::run() { return impl_->server.listen_after_bind(); }

void ApiServer::stop() { impl_->server.stop(); }

void ApiServer::Impl::install() {
  server.new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
  server.set_payload_max_length(kMaxPayload);
  server.set_keep_alive_max_count(10000);
  // A worker waits this long on an idle kept-alive connection, and stop() waits for the
  // workers: a short wait lets the server exit at once while clients still reuse
  // connections between requests that follow each other.
  server.set_keep_alive_timeout(1);
  // Also the limit for a request's headers to arrive: a connection that opens and then says
  // nothing holds a worker only this long.
  server.set_read_timeout(kReadTimeout);
  server.set_write_timeout(std::chrono::seconds(30));
  // A small reply after a large one on a kept-alive connection otherwise waits ~40 ms for
  // the client's delayed acknowledgement.
  server.set_tcp_nodelay(true);

  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    tContext = RequestContext{};
    // Two lengths that differ leave the end of the body to whoever reads it: refused, and
    // the connection closed, since nobody knows where the next request starts.
    const std::size_t lengths = req.get_header_value_count("Content-Length");
    for (std::size_t i = 1; i < lengths; ++i) {
      if (req.get_header_value("Content-Length", i) != req.get_header_value("Content-Length")) {
        sendError(res, 400, "the request has two different Content-Length headers");
        res.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    tContext.contentType = req.get_header_value("Content-Type");
    // The library reads a multipart/form-data body into memory and parses it itself before
    // any handler sees it; uploads are streamed to disk by our own parser instead. Hiding
    // the type (kept in the context) makes the library hand over the raw bytes. The request
    // object is the library's own mutable one; only the const view reaches this hook.
    if (lowerAscii(tContext.contentType).rfind("multipart/", 0) == 0) {
      auto& mutableReq = const_cast<httplib::Request&>(req);
      mutableReq.headers.erase("Content-Type");
      mutableReq.headers.emplace("Content-Type", "application/octet-stream");
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  auto plain = [this](const httplib::Request& req, httplib::Response& res) {
    handle(req, res, nullptr);
  };
  auto withBody = [this](const httplib::Request& req, httplib::Response& res,
                         const httplib::ContentReader& reader) { handle(req, res, &reader); };
  server.Get(".*", plain);
  server.Delete(".*", plain);
  server.Options(".*", plain);
  server.Post(".*", withBody);
  server.Patch(".*", withBody);
  server.Put(".*", withBody);

  server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    // Used once: answers the library makes up itself must not inherit a stale context.
    RequestContext context = std::exchange(tContext, RequestContext{});
    if (context.bodyAbandoned) {
      res.headers.erase("Keep-Alive");
      res.set_header("Connection", "close");
    }
    // Answers without a body (204) have nothing to cut and go through whole.
    if (!context.faults.drop || res.body.empty()) return;
    // Cut the connection half-way through the body: the headers promise the full length.
    auto body = std::make_shared<std::string>(std::move(res.body));
    res.body.clear();
    std::string type = res.get_header_value("Content-Type");
    res.headers.erase("Content-Type");
    size_t cut = body->size() / 2;
    res.set_content_provider(body->size(), type,
                             [body, cut](size_t offset, size_t, httplib::DataSink& sink) {
                               if (offset >= cut) return false;
                               return sink.write(body->data() + offset, cut - offset);
                             });
  });

  if (settings.logRequests) {
    server.set_logger([](const httplib::Request& req, const httplib::Response& res) {
      std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.path.c_str(), res.status);
    });
  }
}

bool ApiServer::Impl::authorized(const httplib::Request& req) const {
  std::string header = req.get_header_value("Authorization");
  if (header.size() < 7 || lowerAscii(header.substr(0, 7)) != "bearer ") return false;
  std::string_view token = std::string_view(header).substr(7);
  bool match = false;
  for (const auto& accepted : settings.tokens) match |= sameSecret(token, accepted);
  return match;
}

// The address documents are reachable at, as the client named this server.
std::string ApiServer::Impl::documentBase(const httplib::Request& req) const {
  std::string host = req.get_header_value("Host");
  bool sane =
      !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':' ||
               c == '[' || c == ']' || c == '_';
      });
  return sane ? "http://" + host + "/" : base;
}

void ApiServer::Impl::handle(const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader* reader) {
  try {
    tContext.faults = faults.next();
    if (faults.latency().count() > 0) std::this_thread::sleep_for(faults.latency());
    if (tContext.faults.fail) {
      // Read the body first, so the connection stays usable for the client's next request.
      discardBody(req, reader);
      throw HttpError{500, "injected failure"};
    }
    route(req, res, reader);
  } catch (const HttpError& e) {
    sendError(res, e.status, e.message);
  } catch (const StoreError& e) {
    sendError(res, e.kind() == StoreError::Kind::notFound ? 404 : 422, e.what());
  } catch (const MultipartError& e) {
    sendError(res, 400, std::string("malformed multipart body: ") + e.what());
  } catch (const std::exception& e) {
    sendError(res, 500, std::string("internal error: ") + e.what());
  }
}

void ApiServer::Impl::route(const httplib::Request& req, httplib::Response& res,
                            const httplib::ContentReader* reader) {
  std::string prefix = "/";
  prefix += api::kApiRoot;
  prefix += '/';
  if (req.path.rfind(prefix, 0) != 0) {
    discardBody(req, reader);
    throw HttpError{404, "no such endpoint: " + req.path};
  }
  if (!authorized(req)) {
    discardBody(req, reader);
    res.set_header("WWW-Authenticate", "Bearer");
    throw HttpError{401, "missing or unknown bearer token"};
  }
  auto segments = splitPath(std::string_view(req.path).substr(prefix.size()));
  const std::string& method = req.method;
  bool get = method == "GET" || method == "HEAD";

  auto notAllowed = [&](std::string allow) {
    discardBody(req, reader);
    res.set_header("Allow", allow);
    throw HttpError{405, "method " + method + " is not allowed on " + req.path};
  };
  auto jsonBody = [&] { return parseJsonObject(readBody(req, reader)); };

  size_t n = segments.size();
  if (n >= 2 && segments[0] == "documents") {
    std::string_view collection = segments[1];
    if (n == 2 && collection == "workspaces") {
      if (get) return listWorkspaces(req, res);
      if (method == "POST") return createWorkspace(jsonBody(), res);
      return notAllowed("GET, POST");
    }
    if (n == 3 && collection == "workspaces") {
      if (!get) return notAllowed("GET");
      auto row = store.findWorkspace(pathId(segments[2], "workspace"));
      if (!row) throw HttpError{404, "no workspace with id " + std::string(segments[2])};
      return sendJson(res, 200, toWire(*row));
    }
    if (n == 2 && collection == "folders") {
      if (get) return listFolders(req, res);
      if (method == "POST") return createFolder(jsonBody(), res);
      return notAllowed("GET, POST");
    }
    if (n == 3 && collection == "folders") {
      if (get) {
        auto row = store.findFolder(pathId(segments[2], "folder"));
        if (!row) throw HttpError{404, "no folder with id " + std::string(segments[2])};
        return sendJson(res, 200, toWire(*row));
      }
      if (method == "PATCH") {
        EntityId id = pathId(segments[2], "folder");
        return patchFolder(id, jsonBody(), res);
      }
      if (method == "DELETE") {
        store.deleteFolder(pathId(segments[2], "folder"));
        res.status = 204;
        return;
      }
      return notAllowed("GET, PATCH, DELETE");
    }
    if (n == 2 && collection == "documents") {
      if (get) return listDocuments(req, res);
      if (method == "POST") return createDocument(req, res, reader);
      return notAllowed("GET, POST");
    }
    if (n == 3 && collection == "documents") {
      if (get) {
        auto row = store.findDocument(pathId(segments[2], "document"));
        if (!row) throw HttpError{404, "no document with id " + std::string(segments[2])};
        return sendJson(res, 200, toWire(*row, documentBase(req)));
      }
      if (method == "PATCH")
        return patchDocument(pathId(segments[2], "document"), req, res, reader);
      if (method == "DELETE") {
        store.deleteDocument(pathId(segments[2], "document"));
        res.status = 204;
        return;
      }
      return notAllowed("GET, PATCH, DELETE");
    }
    if (n == 4 && collection == "documents" && "/" + std::string(segments[3]) == api::kBlobSuffix) {
      if (!get) return notAllowed("GET");
      return sendBlob(pathId(segments[2], "document"), res);
    }
    if (n == 2 && "documents/" + std::string(collection) == api::kChangesPath) {
      if (!get) return notAllowed("GET");
      return changes(req, res);
    }
  }
  if (n == 1 && segments[0] == api::kSearchPath) {
    if (!get) return notAllowed("GET");
    return search(req, res);
  }
  discardBody(req, reader);
  throw HttpError{404, "no such endpoint: " + req.path};
}

std::string ApiServer::Impl::readBody(const httplib::Request& req,
                                      const httplib::ContentReader* reader) {
  if (!reader) return req.body;
  std::string body;
  bool tooLarge = false;
  (*reader)([&](const char* data, size_t length) {
    if (body.size() + length > kMaxJsonBody) {
      tooLarge = true;
      return false;
    }
    body.append(data, length);
    return true;
  });
  if (tooLarge) {
    tContext.bodyAbandoned = true;
    throw HttpError{413, "the JSON body is larger than " + std::to_string(kMaxJsonBody) + " bytes"};
  }
  return body;
}

void ApiServer::Impl::discardBody(const httplib::Request& req,
                                  const httplib::ContentReader* reader) {
  if (!reader) return;
  // A small body is read to keep the connection usable; a large one is not worth receiving
  // just to refuse it, so the connection is closed after the answer instead.
  if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) return;
  auto length = parseInteger(req.get_header_value("Content-Length"), 0,
                             std::numeric_limits<std::int64_t>::max());
  if (!length || *length > static_cast<std::int64_t>(kMaxJsonBody)) {
    tContext.bodyAbandoned = true;
    return;
  }
  (*reader)([](const char*, size_t) { return true; });
}

UploadForm ApiServer::Impl::readUpload(const httplib::Request& req,
                                       const httplib::ContentReader* reader) {
  auto boundary = MultipartParser::boundaryOf(tContext.contentType);
  if (!boundary) {
    discardBody(req, reader);
    throw HttpError{400, "expected a multipart/form-data body with a boundary"};
  }
  UploadForm form;
  enum class Target { none, file, field } target = Target::none;
  std::string* field = nullptr;
  MultipartParser parser(
      *boundary,
      [&](const MultipartPartHeader& part) {
        target = Target::none;
        if (part.name == api::kFilePart) {
          if (form.file) throw HttpError{400, "more than one \"uploaded_file\" part"};
          if (!part.filename) throw HttpError{400, "the \"uploaded_file\" part has no filename"};
          form.file.emplace(store.tempDir());
          form.filename = *part.filename;
          form.contentType = part.contentType;
          target = Target::file;
        } else if (!part.filename) {
          if (form.fields.count(part.name)) {
            throw HttpError{400, "field \"" + part.name + "\" is given twice"};
          }
          field = &form.fields[part.name];
          target = Target::field;
        }
      },
      [&](std::string_view data) {
        if (target == Target::file) {
          form.file->write(data);
        } else if (target == Target::field) {
          if (field->size() + data.size() > kMaxFieldBytes) {
            throw HttpError{
                400, "a form field is longer than " + std::to_string(kMaxFieldBytes) + " bytes"};
          }
          field->append(data);
        }
      });
  // Errors inside the receiver stop the transfer; they are raised again once the library
  // is out of the way.
  std::exception_ptr failure;
  bool complete = (*reader)([&](const char* data, size_t length) {
    try {
      parser.feed(std::string_view(data, length));
      return true;
    } catch (...) {
      failure = std::current_exception();
      return false;
    }
  });
  if (failure) {
    tContext.bodyAbandoned = true;
    std::rethrow_exception(failure);
  }
  if (!complete) {
    tContext.bodyAbandoned = true;
    throw HttpError{400, "the upload was cut short"};
  }
  parser.finish();
  if (form.file) {
    form.contentType = usableContentType(form.contentType, form.filename);
  }
  return form;
}

namespace {

template <typename Row, typename Encode>
void sendPage(httplib::Response& res, const Page<Row>& page, Encode encode) {
  json::array items;
  items.reserve(page.rows.size());
  for (const Row& row : page.rows) items.push_back(encode(row));
  res.set_header(std::string(api::kHasMoreHeader), page.hasMore ? "true" : "false");
  sendJson(res, 200, items);
}

struct Paging {
  std::int64_t offset;
  std::int64_t limit;
};

Paging paging(const httplib::Request& req) {
  std::int64_t perPage =
      integerParam(req, std::string(api::kPerPageItem), kMaxPerPage, 1, kMaxPerPage);
  std::int64_t page = integerParam(req, std::string(api::kPageItem), 1, 1,
                                   std::numeric_limits<std::int64_t>::max());
  // Pages far past the end are simply empty; keep the offset from overflowing.
  std::int64_t offset = page - 1 > std::numeric_limits<std::int64_t>::max() / perPage
                            ? std::numeric_limits<std::int64_t>::max()
                            : (page - 1) * perPage;
  return {offset, perPage};
}

ListFilter listFilter(const httplib::Request& req) {
  return ListFilter{filterParam(req, std::string(api::kWorkspaceIdItem), "workspace"),
                    filterParam(req, std::string(api::kFolderIdItem), "folder")};
}

}  // namespace

void ApiServer::Impl::listWorkspaces(const httplib::Request& req, httplib::Response& res) {
  Paging p = paging(req);
  sendPage(res, store.listWorkspaces(p.offset, p.limit),
           [](const WorkspaceRow& row) { return toWire(row); });
}

void ApiServer::Impl::listFolders(const httplib::Request& req, httplib::Response& res) {
  Paging p = paging(req);
  sendPage(res, store.listFolders(listFilter(req), p.offset, p.limit),
           [](const FolderRow& row) { return toWire(row); });
}

void ApiServer::Impl::listDocuments(const httplib::Request& req, httplib::Response& res) {
  Paging p = paging(req);
  std::string documents = documentBase(req);
  sendPage(res, store.listDocuments(listFilter(req), p.offset, p.limit),
           [&](const DocumentRow& row) { return toWire(row, documents); });
}

void ApiServer::Impl::createWorkspace(const json::object& body, httplib::Response& res) {
  std::string label = requiredString(body, "label");
  checkName(label, "\"label\"");
  auto description = optionalString(body, "description");
  if (description && !platform::isValidUtf8(*description)) {
    throw HttpError{400, "\"description\" is not valid UTF-8"};
  }
  sendJson(res, 201, toWire(store.createWorkspace(label, description)));
}

void ApiServer::Impl::createFolder(const json::object& body, httplib::Response& res) {
  std::string name = requiredString(body, api::kNameKey);
  checkName(name, "\"name\"");
  std::string workspace = requiredString(body, api::kWorkspaceIdItem);
  auto parent = optionalString(body, api::kFolderIdItem);
  std::optional<EntityId> parentId;
  if (parent) parentId = referencedId(*parent, "folder");
  sendJson(res, 201,
           toWire(store.createFolder(referencedId(workspace, "workspace"), parentId, name)));
}

namespace {

// The changes a JSON PATCH asks for: a new name, a new parent (null: the top level).
struct Patch {
  std::optional<std::string> name;
  std::optional<std::optional<EntityId>> parent;
};

Patch readPatch(const json::object& body) {
  Patch patch;
  if (body.contains(api::kNameKey)) {
    auto name = optionalString(body, api::kNameKey);
    if (!name) throw HttpError{400, "\"name\" must be a string"};
    checkName(*name, "\"name\"");
    patch.name = std::move(name);
  }
  if (body.contains(api::kFolderIdItem)) {
    auto parent = optionalString(body, api::kFolderIdItem);
    patch.parent = parent ? std::optional<EntityId>(referencedId(*parent, "folder"))
                          : std::optional<EntityId>();
  }
  if (!patch.name && !patch.parent) {
    throw HttpError{400, "nothing to change: give \"name\" and/or \"documents_folder_id\""};
  }
  return patch;
}

}  // namespace

void ApiServer::Impl::patchFolder(EntityId id, const json::object& body, httplib::Response& res) {
  Patch patch = readPatch(body);
  sendJson(res, 200, toWire(store.updateFolder(id, patch.name, patch.parent)));
}

void ApiServer::Impl::createDocument(const httplib::Request& req, httplib::Response& res,
                                     const httplib::ContentReader* reader) {
  UploadForm form = readUpload(req, reader);
  auto workspace = form.fields.find(api::kWorkspaceIdItem);
  if (workspace == form.fields.end()) throw HttpError{400, "field \"workspace_id\" is missing"};
  std::optional<EntityId> folderId;
  if (auto folder = form.fields.find(api::kFolderIdItem); folder != form.fields.end()) {
    folderId = referencedId(folder->second, "folder");
  }
  if (!form.file) throw HttpError{400, "the \"uploaded_file\" part is missing"};
  checkName(form.filename, "the file name");
  EntityId workspaceId = referencedId(workspace->second, "workspace");
  std::string text = indexableText(form.file->path(), form.contentType, form.filename);
  DocumentRow row = store.createDocument(
      workspaceId, folderId, form.filename,
      IncomingContent{std::move(*form.file), form.contentType, std::move(text)});
  sendJson(res, 201, toWire(row, documentBase(req)));
}

void ApiServer::Impl::patchDocument(EntityId id, const httplib::Request& req,
                                    httplib::Response& res, const httplib::ContentReader* reader) {
  if (!MultipartParser::boundaryOf(tContext.contentType)) {
    Patch patch = readPatch(parseJsonObject(readBody(req, reader)));
    sendJson(res, 200,
             toWire(store.updateDocument(id, patch.name, patch.parent), documentBase(req)));
    return;
  }
  // New contents. The document keeps its name: renaming is a request of its own, and the
  // part's file name is only what the sender called its local copy.
  if (!store.findDocument(id)) {
    discardBody(req, reader);
    throw HttpError{404, "no document with id " + std::to_string(id)};
  }
  UploadForm form = readUpload(req, reader);
  if (!form.file) throw HttpError{400, "the \"uploaded_file\" part is missing"};
  auto current = store.findDocument(id);
  std::string name = current ? current->name : form.filename;
  std::string text = indexableText(form.file->path(), form.contentType, name);
  DocumentRow row = store.replaceContent(
      id, IncomingContent{std::move(*form.file), form.contentType, std::move(text)});
  sendJson(res, 200, toWire(row, documentBase(req)));
}

void ApiServer::Impl::sendBlob(EntityId id, httplib::Response& res) {
  auto blob = store.openBlob(id);
  if (!blob) throw HttpError{404, "no document with id " + std::to_string(id)};
  auto fd = std::shared_ptr<int>(new int(blob->fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  res.status = 200;
  if (blob->size == 0) {
    res.set_content("", blob->document.contentType);
    return;
  }
  size_t size = static_cast<size_t>(blob->size);
  // A dropped download stops half-way, after the headers announced the whole length.
  size_t stopAt = tContext.faults.drop ? size / 2 : size;
  tContext.faults.drop = false;  // handled here, not by the post-routing hook
  res.set_content_provider(
      size, blob->document.contentType,
      [fd, stopAt](size_t offset, size_t length, httplib::DataSink& sink) {
        if (offset >= stopAt) return false;
        std::string buffer(std::min({length, kBlobChunk, stopAt - offset}), '\0');
        ssize_t n = ::pread(*fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (n <= 0) return false;  // the file shrank under us: cut the response
        return sink.write(buffer.data(), static_cast<size_t>(n));
      });
}

void ApiServer::Impl::changes(const httplib::Request& req, httplib::Response& res) {
  std::int64_t cursor = integerParam(req, std::string(api::kCursorItem), 0, 0,
                                     std::numeric_limits<std::int64_t>::max());
  // A larger limit is only the most the client wants: it gets a full page, and "has_more"
  // tells it that the rest follows.
  std::int64_t limit = std::min(integerParam(req, std::string(api::kLimitItem), kDefaultChangeLimit,
                                             1, std::numeric_limits<std::int64_t>::max()),
                                kMaxChangeLimit);
  Page<ChangeRow> page = store.changes(cursor, limit);
  json::array items;
  items.reserve(page.rows.size());
  for (const ChangeRow& row : page.rows) items.push_back(toWire(row));
  json::object body;
  body["changes"] = std::move(items);
  body["cursor"] = page.rows.empty() ? cursor : page.rows.back().id;
  body["has_more"] = page.hasMore;
  sendJson(res, 200, body);
}

void ApiServer::Impl::search(const httplib::Request& req, httplib::Response& res) {
  auto query = queryParam(req, std::string(api::kQueryItem));
  if (!query) throw HttpError{400, "\"q\" is missing"};
  if (query->size() > kMaxQueryBytes) {
    throw HttpError{400, "\"q\" is longer than " + std::to_string(kMaxQueryBytes) + " bytes"};
  }
  // Larger limits are accepted and capped; the answer says which limit applied.
  std::int64_t limit = std::min(integerParam(req, std::string(api::kLimitItem), kDefaultSearchLimit,
                                             1, std::numeric_limits<std::int64_t>::max()),
                                kMaxSearchLimit);
  SearchResult result = store.search(*query, limit);
  json::array items;
  for (const SearchRow& row : result.rows) items.push_back(toWire(row));
  json::object body;
  body["results"] = std::move(items);
  body["total"] = result.total;
  body["limit"] = limit;
  sendJson(res, 200, body);
}

}  // namespace folium::devserver
