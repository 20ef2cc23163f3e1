// XKMS 1.0 "Validate" exchange: the request document, the HTTP POST and the
// judging of the answer by text searches.
#ifndef DOCSEAL_XKMS_H
#define DOCSEAL_XKMS_H

#include <stdint.h>

#include <string>

#include "platform/http.h"

namespace docseal {

// The user agent of every validation request.
extern const char kXkmsUserAgent[];

// The one-line request document for a Base64 certificate text, inserted as
// given: 329 bytes plus the certificate text.
std::string BuildValidateRequest(const std::string& cert_b64);

// Posts the request (up to its first NUL) to the service and appends the
// response body to *response. 0 when a body was read to its end, whatever it
// holds; 21 otherwise.
int32_t SendValidateRequest(const std::string& service_url, const std::string& request,
                            std::string* response,
                            const platform::HttpLimits& limits = platform::HttpLimits()) noexcept;

// Judges a response text (up to its first NUL): 0, 22 to 27.
int32_t CheckValidateResponse(const std::string& response) noexcept;

// The whole validation: build, send, judge. 0, 21 to 27.
int32_t ValidateCertificate(const std::string& service_url, const std::string& cert_b64,
                            const platform::HttpLimits& limits = platform::HttpLimits()) noexcept;

}  // namespace docseal

#endif
