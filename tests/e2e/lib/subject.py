"""Running the dump program under test (the subject).

A subject is a command-line template: a list of words in which the word
"{flags}" is replaced by the mode's flags (several words, possibly none) and
"{url}" inside any word by the repository URL, e.g.

    ["svnrdump", "dump", "-q", "{flags}", "{url}"]
    [os.environ["VORNHALD"], "-q", "{flags}", "{url}"]

`run_subject` writes the dump to a file and records the wall time, the peak
resident memory of the subject's process and the dump's size.  The memory is
measured by /usr/bin/time around the subject: a child forked straight from
this (large) Python process would report the parent's size as its own peak.
"""

import dataclasses
import os
import shlex
import subprocess
import time

TIME = "/usr/bin/time"


@dataclasses.dataclass
class Run:
    argv: list
    status: int
    wall: float         # seconds
    peak_kb: int        # maximum resident set size of the subject
    size: int           # bytes of dump written
    stderr: str
    dump: str           # path of the dump file

    def __str__(self):
        return "%.2f s, %.1f MB peak, %d bytes" % (
            self.wall, self.peak_kb / 1024.0, self.size)


def vornhald(*options):
    """The template for the program under test, $VORNHALD, run quietly with
    the given extra options."""
    return [os.environ["VORNHALD"], "-q", *options, "{flags}", "{url}"]


def expand(template, url, flags):
    argv = []
    for word in template:
        if word == "{flags}":
            argv += flags
        else:
            argv.append(word.replace("{url}", url))
    return argv


def parse_subject(text):
    """A template from one shell-quoted string; "{url}" is appended and
    "{flags}" put before it when the text names neither."""
    words = shlex.split(text)
    if not any("{url}" in w for w in words):
        if "{flags}" not in words:
            words.append("{flags}")
        words.append("{url}")
    return words


def run_subject(template, url, flags, dump_path, env=None):
    """Runs the subject once with its standard output in dump_path."""
    argv = expand(template, url, flags)
    mem_path = dump_path + ".mem"
    wrapper = []
    if os.access(TIME, os.X_OK):
        wrapper = [TIME, "-q", "-f", "%M", "-o", mem_path]
    with open(dump_path, "wb") as out, \
            open(dump_path + ".err", "w+b") as err:
        t0 = time.monotonic()
        proc = subprocess.Popen(wrapper + argv, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        stderr = err.read().decode("utf-8", "replace")
    os.unlink(dump_path + ".err")
    peak = usage.ru_maxrss  # an upper bound, see above
    if wrapper:
        with open(mem_path) as f:
            lines = f.read().split()
        os.unlink(mem_path)
        peak = int(lines[-1]) if lines else peak
    return Run(argv, proc.returncode, wall, peak,
               os.path.getsize(dump_path), stderr, dump_path)
