#!/usr/bin/env python3
"""Runs the README's "Five minutes with the tools" walk as written, line by
line, in a scratch folder whose build/ is the build tree, with the tools on a
terminal of their own (on_terminal.py types the demo PIN when they ask). A
line passes when it exits with the status its comment names ("exit N"), or 0
when the comment names none.

usage: readme_walk_test.py BUILD_DIR README
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile

PIN = "123456"


def walk_lines(readme):
    """The indented command lines of the walk's code block."""
    text = open(readme, encoding="utf-8").read()
    section = text.split("## Five minutes with the tools", 1)[1]
    section = section.split("Conventions of both tools:", 1)[0]
    return [line[4:] for line in section.splitlines() if line.startswith("    ") and line.strip()]


def split_comment(line):
    """The command and the status its comment expects."""
    match = re.search(r"\s{2,}#\s?(.*)$", line)
    if not match:
        return line.strip(), 0
    expected = re.search(r"\bexit (\d+)", match.group(1))
    return line[: match.start()].strip(), int(expected.group(1)) if expected else 0


def script_for(lines, on_terminal):
    """One bash script that runs every line and reports those that fail."""
    out = ["set -u", "failed=0", "responder=", 'trap \'[ -n "$responder" ] && kill $responder\' EXIT']
    for line in lines:
        command, expected = split_comment(line)
        if command.endswith("&"):
            # A service started in the background: the next lines use it once
            # it listens (a person typing is slower than a script).
            port = re.search(r"--port (\d+)", command).group(1)
            out.append(command)
            out.append("responder=$!")
            out.append(
                "for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/%s) 2>/dev/null && break;"
                " sleep 0.1; done" % port
            )
            continue
        tool = re.match(r"(echo \S+ \| )?(docseal|doclock)\b", command)
        if tool:
            run = "python3 %s %s bash -c %s" % (on_terminal, PIN, shlex_quote(command))
        else:
            run = command
        out.append("echo %s" % shlex_quote("$ " + command))
        out.append(run)
        out.append(
            'rc=$?; if [ "$rc" -ne %d ]; then echo "FAILED (exit $rc, expected %d): %s"; failed=1; fi'
            % (expected, expected, command.replace('"', '\\"').replace("$", "\\$"))
        )
    out.append("exit $failed")
    return "\n".join(out) + "\n"


def shlex_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def main():
    build, readme = os.path.abspath(sys.argv[1]), sys.argv[2]
    on_terminal = os.path.join(os.path.dirname(os.path.abspath(__file__)), "on_terminal.py")
    lines = walk_lines(readme)
    if not any(line.startswith("docseal sign") for line in lines):
        print("the walk was not found in", readme)
        return 1
    scratch = tempfile.mkdtemp(prefix="readme-walk.")
    try:
        os.symlink(build, os.path.join(scratch, "build"))
        env = {k: v for k, v in os.environ.items() if k not in ("SOFTHSM2_CONF", "LD_LIBRARY_PATH")}
        result = subprocess.run(
            ["bash", "-c", script_for(lines, on_terminal)], cwd=scratch, env=env, timeout=300
        )
        return result.returncode
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
