#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace folium::bench {

// The baseline the client is measured against: one libcurl easy handle, reused so that its
// connection stays alive, doing each transfer the simplest way with no decoding. Not
// thread-safe. Every call returns the HTTP status and throws on a transport failure.
class PlainCurl {
 public:
  explicit PlainCurl(std::string token);
  ~PlainCurl();
  PlainCurl(const PlainCurl&) = delete;
  PlainCurl& operator=(const PlainCurl&) = delete;

  // GET into `body`, which is cleared first and keeps its capacity.
  long get(const std::string& url, std::string& body, bool acceptJson = true);
  // GET written to the open file `fd` as it arrives.
  long getToFile(const std::string& url, int fd);
  long postJson(const std::string& url, const std::string& json, std::string& body);
  long del(const std::string& url);
  // A multipart POST built by libcurl: the text fields, then `data` as the file part
  // `fileField`, read straight from the caller's memory.
  long postMultipart(const std::string& url,
                     const std::vector<std::pair<std::string, std::string>>& fields,
                     const std::string& fileField, const std::string& filename,
                     const std::string& mimeType, std::string_view data, std::string& body);
  // The same, the file part read by libcurl from the file at `path` as it is sent.
  long postMultipartFile(const std::string& url,
                         const std::vector<std::pair<std::string, std::string>>& fields,
                         const std::string& fileField, const std::string& filename,
                         const std::string& mimeType, const std::string& path, std::string& body);

 private:
  // The body goes to `body`, or to the file `outFd` when it is not -1.
  long perform(const std::string& url, std::string& body, bool acceptJson,
               const char* contentType = nullptr, int outFd = -1);
  long postMime(const std::string& url, void* mime, std::string& body);

  void* handle_;  // CURL*
  std::string token_;
};

}  // namespace folium::bench
