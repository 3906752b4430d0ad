#include "bench/support/plain_curl.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace folium::bench {
namespace {

struct Sink {
  CURL* handle;
  std::string* body;
  bool started = false;
};

size_t writeBody(char* data, size_t size, size_t count, void* userdata) {
  auto& sink = *static_cast<Sink*>(userdata);
  if (!sink.started) {
    sink.started = true;
    curl_off_t length = -1;
    if (curl_easy_getinfo(sink.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
        length > 0) {
      sink.body->reserve(static_cast<size_t>(length));
    }
  }
  sink.body->append(data, size * count);
  return size * count;
}

size_t writeToFile(char* data, size_t size, size_t count, void* userdata) {
  const int fd = *static_cast<int*>(userdata);
  size_t done = 0;
  while (done < size * count) {
    const ssize_t n = ::write(fd, data + done, size * count - done);
    if (n <= 0) return 0;
    done += static_cast<size_t>(n);
  }
  return done;
}

struct Source {
  std::string_view data;
  size_t offset = 0;
};

size_t readPart(char* buffer, size_t size, size_t count, void* userdata) {
  auto& source = *static_cast<Source*>(userdata);
  const size_t n = std::min(size * count, source.data.size() - source.offset);
  std::memcpy(buffer, source.data.data() + source.offset, n);
  source.offset += n;
  return n;
}

int seekPart(void* userdata, curl_off_t offset, int origin) {
  auto& source = *static_cast<Source*>(userdata);
  if (origin != SEEK_SET || offset < 0 || static_cast<size_t>(offset) > source.data.size()) {
    return CURL_SEEKFUNC_FAIL;
  }
  source.offset = static_cast<size_t>(offset);
  return CURL_SEEKFUNC_OK;
}

void check(CURLcode code, const std::string& url) {
  if (code != CURLE_OK) throw std::runtime_error(url + ": " + curl_easy_strerror(code));
}

// A new form in `mime`: the fields, then the file part, returned for the caller to give it
// its contents.
curl_mimepart* form(CURL* curl, curl_mime*& mime,
                    const std::vector<std::pair<std::string, std::string>>& fields,
                    const std::string& fileField, const std::string& filename,
                    const std::string& mimeType) {
  mime = curl_mime_init(curl);
  for (const auto& [name, value] : fields) {
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_name(part, name.c_str());
    curl_mime_data(part, value.c_str(), value.size());
  }
  curl_mimepart* file = curl_mime_addpart(mime);
  curl_mime_name(file, fileField.c_str());
  curl_mime_filename(file, filename.c_str());
  curl_mime_type(file, mimeType.c_str());
  return file;
}

}  // namespace

PlainCurl::PlainCurl(std::string token) : handle_(curl_easy_init()), token_(std::move(token)) {
  if (handle_ == nullptr) throw std::runtime_error("curl_easy_init failed");
}

PlainCurl::~PlainCurl() { curl_easy_cleanup(static_cast<CURL*>(handle_)); }

long PlainCurl::perform(const std::string& url, std::string& body, bool acceptJson,
                        const char* contentType, int outFd) {
  CURL* curl = static_cast<CURL*>(handle_);
  body.clear();
  Sink sink{curl, &body};
  curl_slist* headers = nullptr;
  const std::string authorization = "Authorization: Bearer " + token_;
  headers = curl_slist_append(headers, authorization.c_str());
  headers = curl_slist_append(headers, acceptJson ? "Accept: application/json" : "Accept:");
  headers = curl_slist_append(headers, "Expect:");
  if (contentType != nullptr) headers = curl_slist_append(headers, contentType);
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  if (outFd >= 0) {
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeToFile);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &outFd);
  } else {
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  }
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  // The receive buffer the client's session uses too, so that only the client's own work
  // tells the two apart.
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, 256L * 1024);
  const CURLcode code = curl_easy_perform(curl);
  curl_slist_free_all(headers);
  check(code, url);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  // Leaves the handle as a fresh one for the next call, connections kept.
  curl_easy_reset(curl);
  return status;
}

long PlainCurl::get(const std::string& url, std::string& body, bool acceptJson) {
  curl_easy_setopt(static_cast<CURL*>(handle_), CURLOPT_HTTPGET, 1L);
  return perform(url, body, acceptJson);
}

long PlainCurl::getToFile(const std::string& url, int fd) {
  curl_easy_setopt(static_cast<CURL*>(handle_), CURLOPT_HTTPGET, 1L);
  std::string unused;
  return perform(url, unused, false, nullptr, fd);
}

long PlainCurl::postJson(const std::string& url, const std::string& json, std::string& body) {
  CURL* curl = static_cast<CURL*>(handle_);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json.size()));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, json.c_str());
  return perform(url, body, true, "Content-Type: application/json");
}

long PlainCurl::del(const std::string& url) {
  curl_easy_setopt(static_cast<CURL*>(handle_), CURLOPT_CUSTOMREQUEST, "DELETE");
  std::string body;
  return perform(url, body, true);
}

long PlainCurl::postMultipart(const std::string& url,
                              const std::vector<std::pair<std::string, std::string>>& fields,
                              const std::string& fileField, const std::string& filename,
                              const std::string& mimeType, std::string_view data,
                              std::string& body) {
  curl_mime* mime = nullptr;
  curl_mimepart* file =
      form(static_cast<CURL*>(handle_), mime, fields, fileField, filename, mimeType);
  Source source{data};
  curl_mime_data_cb(file, static_cast<curl_off_t>(data.size()), &readPart, &seekPart, nullptr,
                    &source);
  return postMime(url, mime, body);
}

long PlainCurl::postMultipartFile(const std::string& url,
                                  const std::vector<std::pair<std::string, std::string>>& fields,
                                  const std::string& fileField, const std::string& filename,
                                  const std::string& mimeType, const std::string& path,
                                  std::string& body) {
  curl_mime* mime = nullptr;
  curl_mimepart* file =
      form(static_cast<CURL*>(handle_), mime, fields, fileField, filename, mimeType);
  curl_mime_filedata(file, path.c_str());
  curl_mime_filename(file, filename.c_str());  // filedata set the file's own name
  return postMime(url, mime, body);
}

long PlainCurl::postMime(const std::string& url, void* mimeHandle, std::string& body) {
  auto* mime = static_cast<curl_mime*>(mimeHandle);
  curl_easy_setopt(static_cast<CURL*>(handle_), CURLOPT_MIMEPOST, mime);
  long status = 0;
  try {
    status = perform(url, body, true);
  } catch (...) {
    curl_mime_free(mime);
    throw;
  }
  curl_mime_free(mime);
  return status;
}

}  // namespace folium::bench
