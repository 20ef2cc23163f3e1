#include "xkms.h"

#include <cstring>

#include "Docseal.h"
#include "platform/mbtext.h"

namespace docseal {

const char kXkmsUserAgent[] = "ICCertificate";

namespace {

constexpr char kRequestHead[] =
    "<?xml version=\"1.0\" encoding=\"BIG5\"?>"
    "<Validate xmlns=\"http://www.xkms.org/schema/xkms-2001-01-20\""
    "  xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\">"
    "<Query><Status>Valid</Status><ds:KeyInfo><ds:X509Data><ds:X509Certificate>";
constexpr char kRequestTail[] =
    "</ds:X509Certificate></ds:X509Data></ds:KeyInfo></Query>"
    "<Respond><string>KeyName</string></Respond></Validate>";

// The reasons of an invalid answer, in the order they are looked for after
// the invalid status; the first found decides.
struct Reason {
  const char* text;
  int32_t code;
};
constexpr Reason kReasons[] = {
    {"IssureTrust</Reason>", DOCSEAL_ERR_INVALID_ISSUER},
    {"Status</Reason>", DOCSEAL_ERR_INVALID_STATUS},
    {"ValidateInterval</Reason>", DOCSEAL_ERR_INVALID_VALIDITY},
    {"Signature</Reason>", DOCSEAL_ERR_INVALID_SIGNATURE},
};

}  // namespace

std::string BuildValidateRequest(const std::string& cert_b64) {
  std::string request(kRequestHead);
  request += cert_b64;
  request += kRequestTail;
  return request;
}

int32_t SendValidateRequest(const std::string& service_url, const std::string& request,
                            std::string* response, const platform::HttpLimits& limits) noexcept {
  const char* body = request.c_str();
  const bool read =
      platform::HttpPost(service_url, kXkmsUserAgent, body, std::strlen(body), response, limits);
  return read ? DOCSEAL_OK : DOCSEAL_ERR_SERVICE;
}

int32_t CheckValidateResponse(const std::string& response) noexcept {
  const char* text = response.c_str();
  if (platform::FindText(text, "Success</Result>") == platform::kNotFound) {
    return DOCSEAL_ERR_SERVICE_FAILED;
  }
  const size_t valid = platform::FindText(text, "Valid</Status>");
  if (valid != platform::kNotFound && valid > 0) {
    return DOCSEAL_OK;
  }
  const size_t invalid = platform::FindText(text, "Invalid</Status>");
  if (invalid == platform::kNotFound || invalid == 0) {
    return DOCSEAL_ERR_INVALID_UNKNOWN;
  }
  for (const Reason& reason : kReasons) {
    if (platform::FindText(text, reason.text, invalid) != platform::kNotFound) {
      return reason.code;
    }
  }
  return DOCSEAL_ERR_INVALID_UNKNOWN;
}

int32_t ValidateCertificate(const std::string& service_url, const std::string& cert_b64,
                            const platform::HttpLimits& limits) noexcept {
  try {
    std::string response;
    if (SendValidateRequest(service_url, BuildValidateRequest(cert_b64), &response, limits) !=
        DOCSEAL_OK) {
      return DOCSEAL_ERR_SERVICE;
    }
    return CheckValidateResponse(response);
  } catch (...) {
    return DOCSEAL_ERR_SERVICE;  // the request could not even be built
  }
}

}  // namespace docseal
