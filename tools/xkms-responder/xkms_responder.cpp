// xkms-responder: a small XKMS 1.0 validation service for the demo CA.
//
// A test and demo tool, not a production service: it listens on 127.0.0.1
// only (HTTP by libmicrohttpd, one polling thread) and holds no state. Each
// POST body is parsed as XML (libxml2); a "Validate" document's certificate
// (the xmldsig X509Certificate element) is judged with OpenSSL against the
// one CA it was given and a list of revoked serial numbers:
//   IssureTrust       the certificate is not issued by the CA (name, key
//                     identifier or CA key usage do not match)
//   Signature         issued by the CA, but the CA's key does not verify the
//                     certificate's signature
//   ValidateInterval  now lies outside notBefore .. notAfter
//   Status            the serial number is on the revoked list
// and answered with a ValidateResult: <Result>Success</Result> and
// <Status>Valid</Status>, or <Status>Invalid</Status> followed by one
// <Reason> per failed check. A body without a decodable certificate gets
// <Result>Failure</Result>, and so does every request while the revoked list
// cannot be read: the service never calls a certificate valid without
// having checked it against the list. The reason words are those the card
// library's client looks for, spelling included.
#include <arpa/inet.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/ssl_ptr.h"
#include "platform/files.h"

namespace {

constexpr const char* kVersion = "1.0.0";
constexpr size_t kMaxBody = 1024 * 1024;
constexpr uint64_t kMaxRevokedList = 16u << 20;
constexpr unsigned kConnectionTimeout = 5;  // seconds: a stalled client does not hold the service
constexpr const char* kXmlDsig = "http://www.w3.org/2000/09/xmldsig#";
constexpr const char* kNamespaces =
    "xmlns=\"http://www.xkms.org/schema/xkms-2001-01-20\" "
    "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";

struct Options {
  std::string ca_path;
  std::string revoked_path;
  std::string port_file;
  int port = 0;
  bool quiet = false;
};

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: xkms-responder --ca FILE [--revoked FILE] [--port N] [--port-file FILE]\n"
               "                      [--quiet]\n"
               "\n"
               "A test and demo XKMS 1.0 validation service on 127.0.0.1. It judges the\n"
               "certificate of each \"Validate\" request against the CA certificate FILE\n"
               "(PEM or DER): issuer trust, signature, validity interval and revocation.\n"
               "\n"
               "  --ca FILE         the CA certificate\n"
               "  --revoked FILE    revoked serial numbers in hex, one a line ('#' starts\n"
               "                    a comment); read again for every request. A list\n"
               "                    that cannot be read or holds a line that is no\n"
               "                    serial number stops the start (exit status 2) and,\n"
               "                    while running, makes every answer a Failure\n"
               "  --port N          the TCP port (default 0: any free port)\n"
               "  --port-file FILE  write the port in use to FILE once listening\n"
               "  --quiet           no line per request on standard error\n"
               "  --help, --version\n"
               "\n"
               "Stops on SIGINT or SIGTERM. Exit status: 0 once stopped, 2 for a bad\n"
               "argument, CA certificate or revoked list, 1 when it cannot listen.\n"
               "Not a production service.\n");
}

SslPtr<X509> ReadCertificate(const std::string& path) {
  SslPtr<BIO> bio(BIO_new_file(path.c_str(), "rb"));
  if (!bio) return nullptr;
  SslPtr<X509> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (cert) return cert;
  (void)BIO_reset(bio.get());
  return SslPtr<X509>(d2i_X509_bio(bio.get(), nullptr));
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

// Serial numbers as upper-case hex without leading zeros, the way both the
// list and the certificate are compared.
std::string NormalSerial(std::string hex) {
  hex = Upper(hex);
  size_t i = 0;
  while (i + 1 < hex.size() && hex[i] == '0') ++i;
  return hex.substr(i);
}

// Reads the revoked list: one serial number a line, in hex, optionally with
// "serial=" (openssl x509 -serial) or "0x" before it and ':' between the
// bytes; '#' starts a comment. A missing or unreadable file, or a line that
// is not a serial number, is an error (in *error), never an empty list.
bool ReadRevoked(const std::string& path, std::set<std::string>* out, std::string* error) {
  out->clear();
  if (path.empty()) return true;
  std::vector<unsigned char> bytes;
  switch (platform::ReadWholeFile(path, kMaxRevokedList, &bytes)) {
    case platform::ReadStatus::kOk:
      break;
    case platform::ReadStatus::kMissing:
      *error = "the revoked list '" + path + "' does not exist";
      return false;
    case platform::ReadStatus::kTooLarge:
      *error = "the revoked list '" + path + "' is larger than 16 MiB";
      return false;
    default:
      *error = "the revoked list '" + path + "' cannot be read";
      return false;
  }
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string text = line.substr(0, line.find('#'));
    size_t b = text.find_first_not_of(" \t\r");
    if (b == std::string::npos) continue;
    text = text.substr(b, text.find_last_not_of(" \t\r") - b + 1);
    if (text.rfind("serial=", 0) == 0) text = text.substr(7);
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text = text.substr(2);
    std::string hex;
    bool ok = true;
    for (char c : text) {
      if (std::isxdigit(static_cast<unsigned char>(c))) {
        hex += c;
      } else if (c != ':') {
        ok = false;
      }
    }
    if (!ok || hex.empty()) {
      *error = "the revoked list '" + path + "', line " + std::to_string(number) +
               ", holds no serial number in hex: '" + line + "'";
      return false;
    }
    out->insert(NormalSerial(hex));
  }
  return true;
}

std::string SerialHex(const X509* cert) {
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(ASN1_INTEGER_to_BN(serial, nullptr), BN_free);
  if (!bn) return "";
  char* hex = BN_bn2hex(bn.get());
  if (hex == nullptr) return "";
  std::string out = NormalSerial(hex);
  OPENSSL_free(hex);
  return out;
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        if (c >= 0x20 && c != 0x7f) out += static_cast<char>(c);
    }
  }
  return out;
}

std::string NameText(const X509_NAME* name) {
  SslPtr<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253) < 0) return "";
  char* data = nullptr;
  long len = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(len));
}

std::string TimeText(const ASN1_TIME* t) {
  struct tm tm {};
  if (ASN1_TIME_to_tm(t, &tm) != 1) return "";
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

struct XmlDocFree {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
struct XmlCharFree {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

bool IsElement(const xmlNode* node, const char* name, const char* ns_href) {
  return node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, BAD_CAST name) &&
         (ns_href == nullptr ||
          (node->ns != nullptr && xmlStrEqual(node->ns->href, BAD_CAST ns_href)));
}

// The first element of that name and namespace at or below node, in
// document order.
const xmlNode* FindElement(const xmlNode* node, const char* name, const char* ns_href) {
  for (; node != nullptr; node = node->next) {
    if (IsElement(node, name, ns_href)) return node;
    if (const xmlNode* below = FindElement(node->children, name, ns_href)) return below;
  }
  return nullptr;
}

// The certificate of a "Validate" request: the Base64 text of its xmldsig
// X509Certificate element, whitespace dropped, decoded to DER and parsed.
// A body that is not a well-formed Validate document gives none; so does a
// document with a DTD (no entity of the client's can stand in it).
SslPtr<X509> CertificateOfRequest(const std::string& body) {
  if (body.empty() || body.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
  std::unique_ptr<xmlDoc, XmlDocFree> doc(
      xmlReadMemory(body.data(), static_cast<int>(body.size()), "request.xml", nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc || doc->intSubset != nullptr) return nullptr;
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr || !IsElement(root, "Validate", nullptr)) return nullptr;
  const xmlNode* element = FindElement(root->children, "X509Certificate", kXmlDsig);
  if (element == nullptr) return nullptr;
  std::unique_ptr<xmlChar, XmlCharFree> content(xmlNodeGetContent(element));
  if (!content) return nullptr;
  std::string b64;
  for (const xmlChar* p = content.get(); *p != 0; ++p) {
    if (!std::isspace(*p)) b64 += static_cast<char>(*p);
  }
  if (b64.empty() || b64.size() % 4 != 0) return nullptr;
  std::vector<unsigned char> der(b64.size() / 4 * 3);
  int n = EVP_DecodeBlock(der.data(), reinterpret_cast<const unsigned char*>(b64.data()),
                          static_cast<int>(b64.size()));
  if (n < 0) return nullptr;
  size_t pad = (b64[b64.size() - 1] == '=') + (b64[b64.size() - 2] == '=');
  size_t len = static_cast<size_t>(n) - pad;
  const unsigned char* p = der.data();
  SslPtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(len)));
  if (cert && p != der.data() + len) return nullptr;  // trailing bytes after the certificate
  return cert;
}

struct Verdict {
  std::vector<std::string> reasons;  // empty: valid
  std::string subject, serial, not_before, not_after;
};

Verdict Judge(X509* cert, X509* ca, const std::set<std::string>& revoked) {
  Verdict v;
  v.subject = NameText(X509_get_subject_name(cert));
  v.serial = SerialHex(cert);
  v.not_before = TimeText(X509_get0_notBefore(cert));
  v.not_after = TimeText(X509_get0_notAfter(cert));

  // Issued by the CA: names, key identifiers and the CA's key usage match.
  // A signature that does not verify then means a changed certificate when
  // its authority key identifier names the CA's key; without one, nothing
  // but the signature ties it to the CA, so it counts against the issuer.
  bool issued = X509_check_issued(ca, cert) == X509_V_OK;
  EVP_PKEY* ca_key = X509_get0_pubkey(ca);
  bool signed_ok = issued && ca_key != nullptr && X509_verify(cert, ca_key) == 1;
  if (!issued || (!signed_ok && X509_get0_authority_key_id(cert) == nullptr)) {
    v.reasons.push_back("IssureTrust");
  } else if (!signed_ok) {
    v.reasons.push_back("Signature");
  }
  if (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0 ||
      X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0) {
    v.reasons.push_back("ValidateInterval");
  }
  if (revoked.count(v.serial) != 0) v.reasons.push_back("Status");
  return v;
}

std::string ResultDocument(const Verdict* v) {
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"BIG5\"?>\n<ValidateResult " << kNamespaces << ">";
  if (v == nullptr) {
    out << "<Result>Failure</Result></ValidateResult>\n";
    return out.str();
  }
  out << "<Result>Success</Result><Answer><KeyBinding>";
  if (v->reasons.empty()) {
    out << "<Status>Valid</Status>";
  } else {
    out << "<Status>Invalid</Status>";
    for (const auto& r : v->reasons) out << "<Reason>" << r << "</Reason>";
  }
  out << "<KeyName>" << XmlEscape(v->subject) << "</KeyName>"
      << "<ValidityInterval><NotBefore>" << v->not_before << "</NotBefore><NotAfter>"
      << v->not_after << "</NotAfter></ValidityInterval></KeyBinding></Answer></ValidateResult>\n";
  return out.str();
}

// One request being received: its method and the body so far.
struct Request {
  std::string method;
  std::string body;
  bool too_large = false;
};

struct Service {
  Options opt;
  X509* ca;
};

MHD_Result Reply(MHD_Connection* connection, unsigned status, const std::string& body) {
  MHD_Response* response = MHD_create_response_from_buffer(
      body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/xml; charset=BIG5");
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

void Log(const Options& opt, const std::string& line) {
  if (!opt.quiet) std::fprintf(stderr, "xkms-responder: %s\n", line.c_str());
}

// The answer to one whole POST body.
std::string Answer(const Service& service, const std::string& body) {
  SslPtr<X509> cert = CertificateOfRequest(body);
  if (!cert) {
    Log(service.opt, "request without a certificate");
    return ResultDocument(nullptr);
  }
  std::set<std::string> revoked;
  std::string error;
  if (!ReadRevoked(service.opt.revoked_path, &revoked, &error)) {
    // Without the list no certificate can be called valid.
    std::fprintf(stderr, "xkms-responder: answering Failure: %s\n", error.c_str());
    return ResultDocument(nullptr);
  }
  Verdict v = Judge(cert.get(), service.ca, revoked);
  std::string why;
  for (const auto& r : v.reasons) why += " " + r;
  Log(service.opt,
      v.subject + " serial " + v.serial + ": " + (v.reasons.empty() ? "Valid" : "Invalid") + why);
  return ResultDocument(&v);
}

// libmicrohttpd calls this first with the head, then once per piece of the
// body, then once more with no data: the answer is queued on that call.
MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* /*url*/, const char* method,
                     const char* /*version*/, const char* upload_data, size_t* upload_data_size,
                     void** con_cls) {
  const auto* service = static_cast<const Service*>(cls);
  auto* request = static_cast<Request*>(*con_cls);
  if (request == nullptr) {
    request = new (std::nothrow) Request;
    if (request == nullptr) return MHD_NO;
    request->method = method;
    *con_cls = request;
    return MHD_YES;
  }
  if (*upload_data_size != 0) {
    if (request->body.size() + *upload_data_size > kMaxBody) {
      request->too_large = true;
    } else if (!request->too_large) {
      request->body.append(upload_data, *upload_data_size);
    }
    *upload_data_size = 0;
    return MHD_YES;
  }
  if (request->method != MHD_HTTP_METHOD_POST) {
    return Reply(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "");
  }
  if (request->too_large) return Reply(connection, MHD_HTTP_BAD_REQUEST, "");
  return Reply(connection, MHD_HTTP_OK, Answer(*service, request->body));
}

void OnCompleted(void* /*cls*/, MHD_Connection* /*connection*/, void** con_cls,
                 MHD_RequestTerminationCode /*why*/) {
  delete static_cast<Request*>(*con_cls);
  *con_cls = nullptr;
}

struct DaemonStop {
  void operator()(MHD_Daemon* d) const { MHD_stop_daemon(d); }
};

bool WritePortFile(const std::string& path, int port) {
  std::string tmp = path + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return false;
  bool ok = std::fprintf(f, "%d\n", port) > 0;
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "xkms-responder: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      *out = argv[++i];
    };
    std::string port;
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("xkms-responder %s\n", kVersion);
      return 0;
    } else if (a == "--ca") {
      value(&opt.ca_path);
    } else if (a == "--revoked") {
      value(&opt.revoked_path);
    } else if (a == "--port-file") {
      value(&opt.port_file);
    } else if (a == "--port") {
      value(&port);
      char* end = nullptr;
      long p = std::strtol(port.c_str(), &end, 10);
      if (port.empty() || *end != '\0' || p < 0 || p > 65535) {
        std::fprintf(stderr, "xkms-responder: bad port '%s'\n", port.c_str());
        return 2;
      }
      opt.port = static_cast<int>(p);
    } else if (a == "--quiet") {
      opt.quiet = true;
    } else {
      std::fprintf(stderr, "xkms-responder: unknown argument '%s' (see --help)\n", a.c_str());
      return 2;
    }
  }
  if (opt.ca_path.empty()) {
    Usage(stderr);
    return 2;
  }
  SslPtr<X509> ca = ReadCertificate(opt.ca_path);
  if (!ca) {
    std::fprintf(stderr, "xkms-responder: cannot read the CA certificate '%s'\n",
                 opt.ca_path.c_str());
    return 2;
  }
  // A list that cannot be read now is refused at once, not found out at the
  // first request.
  std::set<std::string> revoked;
  std::string error;
  if (!ReadRevoked(opt.revoked_path, &revoked, &error)) {
    std::fprintf(stderr, "xkms-responder: %s\n", error.c_str());
    return 2;
  }
  xmlInitParser();

  // SIGINT and SIGTERM are taken by sigwait below; the service's thread
  // inherits the mask and never sees them.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Service service{opt, ca.get()};
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(opt.port));
  std::unique_ptr<MHD_Daemon, DaemonStop> daemon(MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL, static_cast<uint16_t>(opt.port), nullptr,
      nullptr, &OnRequest, &service, MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_CONNECTION_TIMEOUT,
      kConnectionTimeout, MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr, MHD_OPTION_END));
  if (!daemon) {
    std::fprintf(stderr, "xkms-responder: cannot listen on 127.0.0.1:%d: %s\n", opt.port,
                 std::strerror(errno));
    return 1;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon.get(), MHD_DAEMON_INFO_BIND_PORT);
  int port = info != nullptr ? info->port : opt.port;
  if (!opt.port_file.empty() && !WritePortFile(opt.port_file, port)) {
    std::fprintf(stderr, "xkms-responder: cannot write '%s'\n", opt.port_file.c_str());
    return 1;
  }
  if (!opt.quiet) std::fprintf(stderr, "xkms-responder: listening on 127.0.0.1:%d\n", port);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  daemon.reset();
  xmlCleanupParser();
  return 0;
}
