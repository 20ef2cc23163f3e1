#include "cert_print.h"

#include <openssl/objects.h>

#include <cstdio>

namespace {

// How the value bytes of each string type are read: characters of 1, 2 or
// 4 bytes (0 for UTF8String, copied byte by byte), by ASN.1 tag.
int CharacterWidth(int type) {
  switch (type) {
    case V_ASN1_UTF8STRING:
      return 0;
    case V_ASN1_BMPSTRING:
      return 2;
    case V_ASN1_UNIVERSALSTRING:
      return 4;
    default:
      // Every other type, known or not, one byte a character (Latin-1).
      return 1;
  }
}

// UTF-8 of a code point, in up to six bytes for values below 2^31; nothing
// for larger ones.
void AppendUtf8(unsigned long c, std::string* out) {
  auto put = [out](unsigned long byte) { out->push_back(static_cast<char>(byte & 0xFF)); };
  if (c < 0x80) {
    put(c);
  } else if (c < 0x800) {
    put(0xC0 | (c >> 6));
    put(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    put(0xE0 | (c >> 12));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  } else if (c < 0x200000) {
    put(0xF0 | (c >> 18));
    put(0x80 | ((c >> 12) & 0x3F));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  } else if (c < 0x4000000) {
    put(0xF8 | (c >> 24));
    put(0x80 | ((c >> 18) & 0x3F));
    put(0x80 | ((c >> 12) & 0x3F));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  } else if (c < 0x80000000UL) {
    put(0xFC | (c >> 30));
    put(0x80 | ((c >> 24) & 0x3F));
    put(0x80 | ((c >> 18) & 0x3F));
    put(0x80 | ((c >> 12) & 0x3F));
    put(0x80 | ((c >> 6) & 0x3F));
    put(0x80 | (c & 0x3F));
  }
}

// One value of a name, with the escapes of its first and last character.
bool AppendValue(const ASN1_STRING* value, std::string* out) {
  const unsigned char* p = ASN1_STRING_get0_data(value);
  const int length = ASN1_STRING_length(value);
  const int width = CharacterWidth(ASN1_STRING_type(value));
  const int step = width == 0 ? 1 : width;
  if (length < 0 || length % step != 0) return false;
  for (int i = 0; i < length; i += step) {
    unsigned long c = 0;
    for (int k = 0; k < step; ++k) c = (c << 8) | p[i + k];
    const bool first = i == 0;
    const bool last = i + step == length;
    // A single character is only "last" here, as in the printer this text
    // has always come from: a lone "#" stays as it is.
    const bool escape = (last && c == ' ') || (first && !last && (c == ' ' || c == '#'));
    if (escape) out->push_back('\\');
    if (width == 0) {
      out->push_back(static_cast<char>(c));
    } else {
      AppendUtf8(c, out);
    }
  }
  return true;
}

bool Digits(const unsigned char* v, int from, int to) {
  for (int i = from; i < to; ++i) {
    if (v[i] < '0' || v[i] > '9') return false;
  }
  return true;
}

int Two(const unsigned char* v, int at) { return (v[at] - '0') * 10 + (v[at + 1] - '0'); }

}  // namespace

bool PrintName(const X509_NAME* name, std::string* text) {
  std::string out;
  int previous_set = -1;
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    const int set = X509_NAME_ENTRY_set(entry);
    if (previous_set != -1) out += previous_set == set ? '+' : ',';
    previous_set = set;

    const ASN1_OBJECT* type = X509_NAME_ENTRY_get_object(entry);
    const int nid = OBJ_obj2nid(type);
    if (nid == NID_undef) {
      char dotted[80];
      OBJ_obj2txt(dotted, sizeof dotted, type, 1);
      out += dotted;
    } else {
      out += OBJ_nid2sn(nid);
    }
    out += '=';
    if (!AppendValue(X509_NAME_ENTRY_get_data(entry), &out)) return false;
  }
  *text = out;
  return true;
}

std::string PrintTime(const ASN1_TIME* time) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char kBad[] = "Bad time value";
  if (time == nullptr) return kBad;
  const unsigned char* v = ASN1_STRING_get0_data(time);
  const int n = ASN1_STRING_length(time);
  const int type = ASN1_STRING_type(time);

  // UTCTime: YYMMDDHHMM[SS]...; GeneralizedTime: YYYYMMDDHHMM[SS]...
  int at = 0;
  int year = 0;
  if (type == V_ASN1_UTCTIME) {
    if (n < 10 || !Digits(v, 0, 10)) return kBad;
    year = Two(v, 0);
    year += year < 50 ? 2000 : 1900;
    at = 2;
  } else if (type == V_ASN1_GENERALIZEDTIME) {
    if (n < 12 || !Digits(v, 0, 12)) return kBad;
    year = Two(v, 0) * 100 + Two(v, 2);
    at = 4;
  } else {
    return kBad;
  }
  const int month = Two(v, at);
  if (month < 1 || month > 12) return kBad;
  const int day = Two(v, at + 2);
  const int hour = Two(v, at + 4);
  const int minute = Two(v, at + 6);
  const int second = n >= at + 10 && Digits(v, at + 8, at + 10) ? Two(v, at + 8) : 0;
  const bool gmt = v[n - 1] == 'Z';

  char text[64];
  std::snprintf(text, sizeof text, "%s %2d %02d:%02d:%02d %d%s", kMonths[month - 1], day, hour,
                minute, second, year, gmt ? " GMT" : "");
  return text;
}

std::string PrintExtensionValue(const X509_EXTENSION* extension) {
  std::string out;
  if (extension == nullptr) return out;
  const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(extension));
  if (value == nullptr) return out;
  const unsigned char* p = ASN1_STRING_get0_data(value);
  const int length = ASN1_STRING_length(value);
  for (int i = 0; i < length; ++i) {
    const unsigned char c = p[i];
    out += (c >= 0x20 && c <= 0x7E) || c == '\n' || c == '\r' ? static_cast<char>(c) : '.';
  }
  return out;
}

std::string PrintSerial(const ASN1_INTEGER* serial) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  if (serial == nullptr) return out;
  const unsigned char* p = ASN1_STRING_get0_data(serial);
  const int length = ASN1_STRING_length(serial);
  for (int i = 0; i < length; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0x0F];
  }
  return out;
}
