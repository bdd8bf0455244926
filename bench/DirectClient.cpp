#include "DirectClient.h"

#include <curl/curl.h>

namespace vantrel::bench {
namespace {

size_t appendBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

} // namespace

DirectClient::DirectClient(int port, const std::string& token)
    : curl_(curl_easy_init()), headers_(nullptr),
      base_("http://127.0.0.1:" + std::to_string(port)) {
  headers_ = curl_slist_append(nullptr, ("Authorization: Bearer " + token).c_str());
  CURL* curl = static_cast<CURL*>(curl_);
  if (curl == nullptr)
    return;
  // The same transport settings as the server's, so the difference is the relay alone.
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(headers_));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body_);
}

DirectClient::~DirectClient() {
  if (curl_ != nullptr)
    curl_easy_cleanup(static_cast<CURL*>(curl_));
  curl_slist_free_all(static_cast<curl_slist*>(headers_));
}

std::optional<std::string> DirectClient::get(const std::string& path) {
  CURL* curl = static_cast<CURL*>(curl_);
  if (curl == nullptr)
    return std::nullopt;
  body_.clear();
  std::string url = base_ + path;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  if (curl_easy_perform(curl) != CURLE_OK)
    return std::nullopt;
  long status = 0, opened = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
  connections_ += opened;
  if (status != 200)
    return std::nullopt;
  return body_;
}

} // namespace vantrel::bench
