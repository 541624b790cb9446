// HTTP GETs with libcurl, for fetch: http and https only (redirects too),
// proxies as the usual environment variables name them, a cap on every
// body, and HTTP errors as failures.
#pragma once

#include <stddef.h>

#include <string>

typedef void CURL;

namespace vesk::fetch {

struct HttpOptions {
  long timeout = 120;   // seconds for a whole request
  std::string ca_file;  // empty: the system's store
};

struct HttpResponse {
  long status = 0;  // 200, or 304 for a conditional GET that found no change
  std::string body;
  std::string etag, last_modified;
};

class Http {
 public:
  explicit Http(const HttpOptions &options);
  ~Http();
  Http(const Http &) = delete;
  Http &operator=(const Http &) = delete;

  // GETs `url`, whose body may be at most `limit` bytes.  With a validator
  // given, a conditional GET: "304 Not Modified" is then a success.  False
  // with *error set on any other outcome.
  bool get(const std::string &url, size_t limit, HttpResponse *response, std::string *error,
           const std::string &if_none_match = "", const std::string &if_modified_since = "");
  // Requests made so far.
  unsigned requests() const { return requests_; }

 private:
  HttpOptions options_;
  CURL *curl_ = nullptr;
  unsigned requests_ = 0;
};

}  // namespace vesk::fetch
