#!/usr/bin/env python3
"""Result-code tables of the README, made from the X-macro tables of the
public headers (the one source of the codes and their texts).

usage: result-codes.py --update README.md HEADER...   rewrite the block
       result-codes.py --check README.md HEADER...    exit 1 when it differs
"""
import re
import sys

BEGIN = "<!-- result codes: made by scripts/result-codes.py from the headers -->"
END = "<!-- end of result codes -->"
ROW = re.compile(r'X\(\s*(\w+)\s*,\s*(-?\w+)\s*,\s*((?:"(?:[^"\\]|\\.)*"\s*)+)\)')


# The card library, the two product libraries, then the stand-ins.
ORDER = ["vorpin_dll.h", "Docseal.h", "Doclock.h"]


def rank(path):
    name = path.rsplit("/", 1)[-1]
    return (ORDER.index(name) if name in ORDER else len(ORDER), name)


def tables(headers):
    out = [BEGIN, "", "## Result codes", ""]
    for path in sorted(headers, key=rank):
        text = open(path, encoding="utf-8").read()
        text = re.sub(r"\\\n", " ", text)  # join the macro's continued lines
        for macro in re.finditer(r"#define\s+(\w+_RESULT_CODES)\(X\)(.*)", text):
            rows = ROW.findall(macro.group(2))
            if not rows:
                continue
            name = path.rsplit("/", 1)[-1]
            out += [f"`{name}`, `{macro.group(1)}`:", "",
                    "| code | name | meaning |", "|---:|---|---|"]
            for ident, value, texts in rows:
                meaning = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', texts))
                out.append(f"| {int(value, 0)} | `{ident}` | {meaning.replace('|', '/')} |")
            out.append("")
    out.append(END)
    return "\n".join(out) + "\n"


def main():
    mode, readme, headers = sys.argv[1], sys.argv[2], sys.argv[3:]
    text = open(readme, encoding="utf-8").read()
    start, end = text.find(BEGIN), text.find(END)
    if start < 0 or end < 0:
        sys.exit(f"{readme}: no result-code block")
    new = text[:start] + tables(headers) + text[end + len(END) + 1:]
    if mode == "--update":
        open(readme, "w", encoding="utf-8").write(new)
    elif new != text:
        sys.exit(f"{readme}: the result-code tables differ from the headers; "
                 "run scripts/result-codes.py --update")
    else:
        print("result-code tables match the headers")


if __name__ == "__main__":
    main()
