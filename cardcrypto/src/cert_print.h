// The texts of certificate fields, in the forms this library has always
// given: names, times, extension values and serial numbers. All printing
// of certificate fields is here.
#ifndef CARDCRYPTO_CERT_PRINT_H
#define CARDCRYPTO_CERT_PRINT_H

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <string>

// A name as one line: the attributes in their stored order, each as
// "short name=value" (the dotted OID for a type without a short name),
// RDNs joined by "," and the members of a multi-valued RDN by "+", no
// spaces. Values are UTF-8: a UTF8String is copied as it is, BMPString and
// UniversalString are decoded, every other string type is taken as
// Latin-1. Nothing is escaped but a space or "#" that begins a value and a
// space that ends one (each gets a backslash). False (and no text) for a
// BMPString or UniversalString whose length is not a whole number of
// characters.
bool PrintName(const X509_NAME* name, std::string* text);

// A validity time as "Mar  5 09:04:05 2007 GMT": English month, the day
// right-aligned in two places, the time, the four-digit year, and " GMT"
// when the stored time ends in "Z". A UTCTime year below 50 is 20xx, other
// years 19xx; seconds that are not there print as 00; fractions are not
// shown. "Bad time value" for a time too short, with a non-digit in its
// date and hour and minute, with a month outside 1 to 12, or of another
// type than UTCTime and GeneralizedTime.
std::string PrintTime(const ASN1_TIME* time);

// The bytes of an extension's value: 0x20 to 0x7E, line feed and carriage
// return stand for themselves, every other byte prints as ".". A missing
// extension prints as nothing.
std::string PrintExtensionValue(const X509_EXTENSION* extension);

// The serial number's magnitude bytes, most significant first, as two
// upper-case hex digits each.
std::string PrintSerial(const ASN1_INTEGER* serial);

#endif
