// xkms-responder: a small XKMS 1.0 validation service for the demo CA.
//
// A test and demo tool, not a production service: it listens on 127.0.0.1
// only, serves one connection at a time and holds no state. Each POST body is
// taken as an XKMS "Validate" request; the certificate inside
// <ds:X509Certificate> is judged with OpenSSL against the one CA it was
// given and a list of revoked serial numbers:
//   IssureTrust       the certificate is not issued by the CA (name, key
//                     identifier or CA key usage do not match)
//   Signature         issued by the CA, but the CA's key does not verify the
//                     certificate's signature
//   ValidateInterval  now lies outside notBefore .. notAfter
//   Status            the serial number is on the revoked list
// and answered with a ValidateResult: <Result>Success</Result> and
// <Status>Valid</Status>, or <Status>Invalid</Status> followed by one
// <Reason> per failed check. A body without a decodable certificate gets
// <Result>Failure</Result>. The reason words are those the card library's
// client looks for, spelling included.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/ssl_ptr.h"

namespace {

constexpr const char* kVersion = "1.0.0";
constexpr size_t kMaxHeader = 16 * 1024;
constexpr size_t kMaxBody = 1024 * 1024;
constexpr const char* kNamespaces =
    "xmlns=\"http://www.xkms.org/schema/xkms-2001-01-20\" "
    "xmlns:ds=\"http://www.w3.org/2000/09/xmldsig#\"";

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

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
               "                    a comment); read again for every request\n"
               "  --port N          the TCP port (default 0: any free port)\n"
               "  --port-file FILE  write the port in use to FILE once listening\n"
               "  --quiet           no line per request on standard error\n"
               "  --help, --version\n"
               "\n"
               "Stops on SIGINT or SIGTERM. Not a production service.\n");
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

std::set<std::string> ReadRevoked(const std::string& path) {
  std::set<std::string> out;
  if (path.empty()) return out;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    line = line.substr(0, line.find('#'));
    size_t b = line.find_first_not_of(" \t\r");
    if (b == std::string::npos) continue;
    line = line.substr(b, line.find_last_not_of(" \t\r") - b + 1);
    if (line.rfind("serial=", 0) == 0) line = line.substr(7);  // openssl x509 -serial
    if (line.rfind("0x", 0) == 0 || line.rfind("0X", 0) == 0) line = line.substr(2);
    std::string hex;
    bool ok = !line.empty();
    for (char c : line) {
      if (std::isxdigit(static_cast<unsigned char>(c))) {
        hex += c;
      } else if (c != ':') {
        ok = false;
      }
    }
    if (ok && !hex.empty()) out.insert(NormalSerial(hex));
  }
  return out;
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

// The Base64 text between the X509Certificate tags, whitespace dropped,
// decoded to DER and parsed.
SslPtr<X509> CertificateOfRequest(const std::string& body) {
  static const std::string kOpen = "<ds:X509Certificate>";
  static const std::string kClose = "</ds:X509Certificate>";
  size_t start = body.find(kOpen);
  if (start == std::string::npos) return nullptr;
  start += kOpen.size();
  size_t end = body.find(kClose, start);
  if (end == std::string::npos) return nullptr;
  std::string b64;
  for (size_t i = start; i < end; ++i) {
    if (!std::isspace(static_cast<unsigned char>(body[i]))) b64 += body[i];
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

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void Reply(int fd, const char* status, const std::string& body) {
  std::string head =
      std::string("HTTP/1.0 ") + status +
      "\r\nContent-Type: text/xml; charset=BIG5\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n";
  SendAll(fd, head + body);
}

// Reads one HTTP request: the head up to the blank line, then the body of
// Content-Length bytes (or, if the stream ends first, what came).
bool ReadRequest(int fd, std::string* method, std::string* body) {
  std::string data;
  char buf[4096];
  size_t head_end = std::string::npos;
  while (head_end == std::string::npos) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR && !g_stop) continue;
    if (n <= 0) return false;
    data.append(buf, static_cast<size_t>(n));
    head_end = data.find("\r\n\r\n");
    if (head_end == std::string::npos && data.size() > kMaxHeader) return false;
  }
  std::string head = data.substr(0, head_end);
  *body = data.substr(head_end + 4);
  *method = head.substr(0, head.find(' '));
  long long length = -1;
  std::istringstream lines(head);
  std::string line;
  while (std::getline(lines, line)) {
    std::string key = Upper(line.substr(0, line.find(':')));
    if (key == "CONTENT-LENGTH" && line.find(':') != std::string::npos) {
      length = std::atoll(line.c_str() + line.find(':') + 1);
    }
  }
  if (length < 0) return true;  // no body announced: what came with the head
  if (length > static_cast<long long>(kMaxBody)) return false;
  while (body->size() < static_cast<size_t>(length)) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR && !g_stop) continue;
    if (n < 0) return false;
    if (n == 0) break;
    body->append(buf, static_cast<size_t>(n));
    if (body->size() > kMaxBody) return false;
  }
  body->resize(std::min(body->size(), static_cast<size_t>(length)));
  return true;
}

void Serve(int fd, const Options& opt, X509* ca) {
  timeval tv{5, 0};  // a stalled client does not hold the service
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string method, body;
  if (!ReadRequest(fd, &method, &body)) {
    Reply(fd, "400 Bad Request", "");
    return;
  }
  if (method != "POST") {
    Reply(fd, "405 Method Not Allowed", "");
    return;
  }
  SslPtr<X509> cert =
      body.find("<Validate") != std::string::npos ? CertificateOfRequest(body) : nullptr;
  if (!cert) {
    Reply(fd, "200 OK", ResultDocument(nullptr));
    if (!opt.quiet) std::fprintf(stderr, "xkms-responder: request without a certificate\n");
    return;
  }
  Verdict v = Judge(cert.get(), ca, ReadRevoked(opt.revoked_path));
  Reply(fd, "200 OK", ResultDocument(&v));
  if (!opt.quiet) {
    std::string why;
    for (const auto& r : v.reasons) why += " " + r;
    std::fprintf(stderr, "xkms-responder: %s serial %s: %s%s\n", v.subject.c_str(),
                 v.serial.c_str(), v.reasons.empty() ? "Valid" : "Invalid", why.c_str());
  }
}

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
    return 1;
  }

  int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(opt.port));
  socklen_t alen = sizeof addr;
  if (ls < 0 || bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(ls, 16) != 0 || getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &alen) != 0) {
    std::fprintf(stderr, "xkms-responder: cannot listen on 127.0.0.1:%d: %s\n", opt.port,
                 std::strerror(errno));
    return 1;
  }
  int port = ntohs(addr.sin_port);
  if (!opt.port_file.empty() && !WritePortFile(opt.port_file, port)) {
    std::fprintf(stderr, "xkms-responder: cannot write '%s'\n", opt.port_file.c_str());
    return 1;
  }
  if (!opt.quiet) std::fprintf(stderr, "xkms-responder: listening on 127.0.0.1:%d\n", port);

  struct sigaction sa {};
  sa.sa_handler = OnSignal;  // no SA_RESTART: accept returns EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  while (!g_stop) {
    int fd = accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    Serve(fd, opt, ca.get());
    close(fd);
  }
  close(ls);
  return 0;
}
