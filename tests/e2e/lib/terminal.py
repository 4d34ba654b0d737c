"""Running a program with its standard error on a terminal (a pty), for the
output that vornhald writes only to terminals."""

import os
import pty
import subprocess


def run_on_terminal(argv, env=None, timeout=300):
    """Runs argv with standard input from /dev/null, standard output
    discarded and standard error on a fresh pty. Returns (exit status,
    bytes written to the terminal with its CR LF turned back into LF)."""
    master, slave = pty.openpty()
    with open(os.devnull, "wb") as out:
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=slave, env=env)
    os.close(slave)
    data = b""
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # EIO: every writer has gone
            break
        if not chunk:
            break
        data += chunk
    os.close(master)
    return proc.wait(timeout=timeout), data.replace(b"\r\n", b"\n")
