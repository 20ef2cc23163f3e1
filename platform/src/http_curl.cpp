#include "platform/http.h"

#include <curl/curl.h>

#include <chrono>
#include <cstring>
#include <memory>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

struct CurlEasyDeleter {
  void operator()(CURL* p) const { curl_easy_cleanup(p); }
};
struct CurlUrlDeleter {
  void operator()(CURLU* p) const { curl_url_cleanup(p); }
};
struct CurlSlistDeleter {
  void operator()(curl_slist* p) const { curl_slist_free_all(p); }
};
struct CurlCharDeleter {
  void operator()(char* p) const { curl_free(p); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;
using CurlChars = std::unique_ptr<char, CurlCharDeleter>;

// What the callbacks of one exchange share.
struct Exchange {
  std::string* response = nullptr;
  size_t max_body = 0;
  long idle_timeout_ms = 0;
  bool connected = false;
  curl_off_t last_down = 0;
  curl_off_t last_up = 0;
  Clock::time_point last_activity = Clock::now();
};

size_t OnBody(char* data, size_t size, size_t count, void* user) noexcept {
  auto* ex = static_cast<Exchange*>(user);
  const size_t n = size * count;
  if (n > ex->max_body - ex->response->size()) {
    return 0;  // over the cap: ends the exchange as a failed write
  }
  try {
    ex->response->append(data, n);
  } catch (...) {
    return 0;
  }
  ex->last_activity = Clock::now();
  return n;
}

// Called once the connection stands, just before the request goes out: the
// idle clock starts here, the connection time-out covers what came before.
int OnConnected(void* user, char*, char*, int, int) noexcept {
  auto* ex = static_cast<Exchange*>(user);
  ex->connected = true;
  ex->last_activity = Clock::now();
  return CURL_PREREQFUNC_OK;
}

// Called at least once a second while the exchange runs. Any byte moved
// either way restarts the idle clock.
int OnProgress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) noexcept {
  auto* ex = static_cast<Exchange*>(user);
  const Clock::time_point now = Clock::now();
  if (down != ex->last_down || up != ex->last_up) {
    ex->last_down = down;
    ex->last_up = up;
    ex->last_activity = now;
    return 0;
  }
  if (!ex->connected) {
    return 0;
  }
  const auto idle =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - ex->last_activity).count();
  return idle >= ex->idle_timeout_ms ? 1 : 0;  // non-zero aborts the exchange
}

bool CurlReady() noexcept {
  static const bool ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  return ready;
}

// Parses the URL and accepts it only with the http scheme.
CurlUrl ParseHttpUrl(const std::string& url) {
  CurlUrl parsed(curl_url());
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
    return nullptr;
  }
  char* raw_scheme = nullptr;
  if (curl_url_get(parsed.get(), CURLUPART_SCHEME, &raw_scheme, 0) != CURLUE_OK) {
    return nullptr;
  }
  const CurlChars scheme(raw_scheme);
  if (std::strcmp(scheme.get(), "http") != 0) {
    return nullptr;
  }
  // A user name or password in the address is dropped: the request carries
  // no credentials, and curl would send them as an Authorization header.
  for (CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS}) {
    if (curl_url_set(parsed.get(), part, nullptr, 0) != CURLUE_OK) {
      return nullptr;
    }
  }
  return parsed;
}

}  // namespace

bool HttpPost(const std::string& url, const char* user_agent, const char* body, size_t body_len,
              std::string* response, const HttpLimits& limits) noexcept {
  try {
    const CurlUrl parsed = ParseHttpUrl(url);
    if (!parsed || !CurlReady()) {
      return false;
    }
    const CurlEasy easy(curl_easy_init());
    if (!easy) {
      return false;
    }
    // Empty values remove the headers curl would add for a POST by itself.
    CurlSlist headers;
    for (const char* removed : {"Content-Type:", "Accept:", "Expect:"}) {
      curl_slist* grown = curl_slist_append(headers.get(), removed);
      if (grown == nullptr) {
        return false;
      }
      headers.release();  // the grown list owns the earlier entries
      headers.reset(grown);
    }

    Exchange ex;
    ex.response = response;
    ex.max_body = limits.max_body;
    ex.idle_timeout_ms = limits.idle_timeout_ms;

    CURL* h = easy.get();
    bool ok =
        curl_easy_setopt(h, CURLOPT_CURLU, parsed.get()) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http") == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_0}) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_POST, 1L) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body_len)) ==
            CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &OnBody) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_WRITEDATA, &ex) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, &OnConnected) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_PREREQDATA, &ex) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &OnProgress) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &ex) == CURLE_OK &&
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L) == CURLE_OK;
    return ok && curl_easy_perform(h) == CURLE_OK;
  } catch (...) {
    return false;
  }
}

}  // namespace platform
