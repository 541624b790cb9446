#include "http.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>

#ifndef VESK_VERSION
#define VESK_VERSION "unknown"
#endif

namespace vesk::fetch {

namespace {

struct Transfer {
  HttpResponse *response;
  size_t limit;
  bool too_large = false;
};

size_t on_body(char *data, size_t size, size_t count, void *arg) {
  auto *t = static_cast<Transfer *>(arg);
  size_t n = size * count;
  if (t->response->body.size() + n > t->limit) {
    t->too_large = true;
    return 0;  // ends the transfer
  }
  t->response->body.append(data, n);
  return n;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
  size_t start = s.find_first_not_of(' ');
  return start == std::string::npos ? "" : s.substr(start);
}

size_t on_header(char *data, size_t size, size_t count, void *arg) {
  auto *t = static_cast<Transfer *>(arg);
  size_t n = size * count;
  std::string line(data, n);
  // A redirect's headers come first: keep only the last response's.
  if (line.compare(0, 5, "HTTP/") == 0) {
    t->response->etag.clear();
    t->response->last_modified.clear();
  }
  size_t colon = line.find(':');
  if (colon == std::string::npos) return n;
  std::string name = line.substr(0, colon), value = trim(line.substr(colon + 1));
  // Validators go back to the server in a header: no control characters.
  if (value.size() > 256 ||
      std::any_of(value.begin(), value.end(), [](char c) { return c < 0x20 && c != '\t'; }))
    return n;
  if (strcasecmp(name.c_str(), "etag") == 0) t->response->etag = value;
  if (strcasecmp(name.c_str(), "last-modified") == 0) t->response->last_modified = value;
  return n;
}

}  // namespace

Http::Http(const HttpOptions &options) : options_(options) {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  curl_ = curl_easy_init();
}

Http::~Http() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

bool Http::get(const std::string &url, size_t limit, HttpResponse *response, std::string *error,
               const std::string &if_none_match, const std::string &if_modified_since) {
  *response = HttpResponse{};
  if (curl_ == nullptr) {
    *error = "can't start libcurl";
    return false;
  }
  ++requests_;
  CURL *c = curl_;
  curl_easy_reset(c);
  Transfer t{response, limit};
  char curl_error[CURL_ERROR_SIZE] = "";
  curl_slist *headers = nullptr;
  // The files are compressed already, and a transparent encoding would
  // hide their true size from the cap.
  headers = curl_slist_append(headers, "Accept-Encoding: identity");
  if (!if_none_match.empty())
    headers = curl_slist_append(headers, ("If-None-Match: " + if_none_match).c_str());
  if (!if_modified_since.empty())
    headers = curl_slist_append(headers, ("If-Modified-Since: " + if_modified_since).c_str());
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  // A redirect never leaves HTTPS: the maps would travel in clear.
  bool secure = url.compare(0, 8, "https://") == 0;
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, options_.timeout);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, std::min(options_.timeout, 30L));
  curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limit));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_USERAGENT, "vesk-index-fetch/" VESK_VERSION);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &t);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &t);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, curl_error);
  if (!options_.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.ca_file.c_str());
  CURLcode rc = curl_easy_perform(c);
  curl_slist_free_all(headers);
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response->status);
  if (t.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
    *error = url + ": larger than the " + std::to_string(limit) + " bytes expected";
    return false;
  }
  if (rc == CURLE_UNSUPPORTED_PROTOCOL && secure) {
    *error = url + ": redirected away from HTTPS; refused";
    return false;
  }
  if (rc != CURLE_OK) {
    *error = url + ": " + (curl_error[0] != '\0' ? curl_error : curl_easy_strerror(rc));
    return false;
  }
  bool conditional = !if_none_match.empty() || !if_modified_since.empty();
  if (response->status == 200 || (conditional && response->status == 304)) return true;
  *error = url + ": unexpected HTTP status " + std::to_string(response->status);
  return false;
}

}  // namespace vesk::fetch
