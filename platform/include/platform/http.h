// HTTP POST for the certificate validation service.
#ifndef PLATFORM_HTTP_H
#define PLATFORM_HTTP_H

#include <stddef.h>

#include <string>

namespace platform {

// Bounds of one exchange. The defaults are the product's; only tests pass
// shorter ones.
struct HttpLimits {
  long connect_timeout_ms = 60 * 1000;  // name lookup and connection
  long idle_timeout_ms = 60 * 1000;     // longest wait without a byte moving
  size_t max_body = size_t{16} << 20;   // largest response body kept
};

// Posts body (body_len bytes) to an http URL with HTTP/1.0 and the given
// user agent, adding no header of its own (no Content-Type, Accept or
// Expect), and appends the response body, piece by piece as it arrives, to
// *response. Proxies come from the environment settings the client reads by
// itself. Any URL that is not http (https, no scheme, unparsable) is refused
// before any traffic. The status code is not looked at: an error page is a
// body like any other.
//
// Returns true when a body was read to its end; false on a refused URL, a
// failed lookup, connection, write or read, a time-out, or a body over
// limits.max_body. Never throws.
bool HttpPost(const std::string& url, const char* user_agent, const char* body, size_t body_len,
              std::string* response, const HttpLimits& limits = HttpLimits()) noexcept;

}  // namespace platform

#endif
