#!/usr/bin/env python3
"""Runs a build's test suite with every test program under valgrind memcheck.

The tests are taken from ctest's own listing (command, environment, working
directory) in its order, so fixtures such as the card provisioning run
first. Commands that are not ELF programs (shell scripts) run as they are.
A test fails on any memory error or definite leak, or when it fails by
itself; leaks inside the SoftHSM2 module are suppressed by module name.

usage: run-valgrind.py BUILD_DIR [ctest -R regex]
"""
import json
import os
import subprocess
import sys
import time

LEAK_EXIT = 97


def is_elf(path):
    try:
        with open(path, "rb") as f:
            return f.read(4) == b"\x7fELF"
    except OSError:
        return False


def main():
    build = os.path.abspath(sys.argv[1])
    pattern = sys.argv[2:]
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    listing = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"] +
                             (["-R", pattern[0]] if pattern else []),
                             check=True, capture_output=True, text=True).stdout
    valgrind = ["valgrind", "--quiet", "--leak-check=full", "--show-leak-kinds=definite",
                "--errors-for-leak-kinds=definite", f"--error-exitcode={LEAK_EXIT}",
                "--track-fds=no", "--num-callers=30",
                f"--suppressions={top}/tests/valgrind.supp"]
    failed = []
    started = time.monotonic()
    for test in json.loads(listing)["tests"]:
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        if props.get("DISABLED"):
            continue
        env = dict(os.environ)
        for item in props.get("ENVIRONMENT", []):
            key, _, value = item.partition("=")
            env[key] = value
        command = test["command"]
        # Only the build's own programs; system tools (localedef) run as they are.
        if command[0].startswith(build + os.sep) and is_elf(command[0]):
            command = valgrind + command
        t0 = time.monotonic()
        result = subprocess.run(command, cwd=props.get("WORKING_DIRECTORY", build), env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                errors="replace")
        seconds = time.monotonic() - t0
        status = "ok" if result.returncode == 0 else f"FAILED ({result.returncode})"
        print(f"{test['name']:45s} {status:14s} {seconds:7.1f} s", flush=True)
        if result.returncode != 0:
            failed.append(test["name"])
            print(result.stdout[-6000:])
    print(f"valgrind: {len(failed)} failed, {time.monotonic() - started:.0f} s in all")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
