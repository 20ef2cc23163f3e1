#!/usr/bin/env python3
"""Runs a command with a new terminal as its standard input, output and error
(and controlling terminal), types TEXT once the command prompts "PIN: " (or
after a second without a prompt), and prints everything the terminal showed. Exits with the command's status, 124
when it did not end within 30 s.

usage: on_terminal.py TEXT COMMAND...   (TEXT "" types nothing)
"""
import os
import pty
import select
import sys
import time


def main():
    text, argv = sys.argv[1], sys.argv[2:]
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execvp(argv[0], argv)
        finally:
            os._exit(127)
    shown = b""
    typed = False
    start = time.monotonic()
    deadline = start + 30
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.1)
        if ready:
            try:
                chunk = os.read(fd, 4096)
            except OSError:  # the command ended and closed the terminal
                break
            if not chunk:
                break
            shown += chunk
        if text and not typed and (b"PIN: " in shown or time.monotonic() > start + 1):
            os.write(fd, text.encode() + b"\n")
            typed = True
    else:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        sys.stdout.write(shown.decode(errors="replace"))
        sys.exit(124)
    _, status = os.waitpid(pid, 0)
    sys.stdout.write(shown.decode(errors="replace"))
    sys.exit(os.waitstatus_to_exitcode(status))


main()
