#!/usr/bin/env python3
"""Turns a Wycheproof RSA PKCS#1 v1.5 signature file (JSON) into the line
form the C++ tests read:

    key <hex DER key>          one per test group: the PKCS#8 private key of
                               a generation file, the SubjectPublicKeyInfo of
                               a verification file
    case <tcId> <result> <hex DER DigestInfo of msg> <hex signature>

usage: wycheproof_convert.py IN.json OUT.txt
"""
import hashlib
import json
import sys

# DER DigestInfo headers (algorithm identifier with NULL parameters and the
# OCTET STRING header) by the group's hash name.
DIGEST_INFO_PREFIX = {
    "SHA-1": ("sha1", "3021300906052b0e03021a05000414"),
    "SHA-224": ("sha224", "302d300d06096086480165030402040500041c"),
    "SHA-256": ("sha256", "3031300d060960864801650304020105000420"),
    "SHA-384": ("sha384", "3041300d060960864801650304020205000430"),
    "SHA-512": ("sha512", "3051300d060960864801650304020305000440"),
}


def main():
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        vectors = json.load(f)
    lines = []
    for group in vectors["testGroups"]:
        key = group.get("privateKeyPkcs8") or group.get("publicKeyDer") or group["keyDer"]
        lines.append("key " + key)
        name, prefix = DIGEST_INFO_PREFIX[group["sha"]]
        for case in group["tests"]:
            digest = hashlib.new(name, bytes.fromhex(case["msg"])).hexdigest()
            lines.append("case %d %s %s %s" % (case["tcId"], case["result"], prefix + digest,
                                               case["sig"] or "-"))
    with open(target, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
