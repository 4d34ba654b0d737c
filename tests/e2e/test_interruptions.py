"""Dumps that are interrupted, and dumps continued after an interruption.

A run that fails part way must leave a dump that ends on a revision
boundary, say on standard error where it ends and how to continue it, and
remove its temporary directory; loading the dump and then the output of the
command it names must rebuild the repository that one uninterrupted dump
rebuilds, compared revision by revision as the round trips compare.

Covered, on one generated history served by real servers:

- SIGINT, SIGTERM and SIGHUP sent to vornhald after it wrote the K-th
  revision header (its standard output is read through a small pipe, so
  that it is never far ahead of the reader);
- the server killed by its PID, and stopped by SIGSTOP (vornhald gives up
  after --timeout seconds), at chosen points, over svn:// and http://,
  and a signal while a stopped server is waited for with --timeout 0;
- each interrupted dump continued with the command that vornhald prints:
  whole repository and subdirectory, with and without --keep-revnums, the
  copies of the continued range kept as copies;
- a closed output pipe (`vornhald URL | head -c 1000`) and a file size
  limit on a regular file (which is cut back to the last whole revision);
- twenty interruption points drawn by a seeded random generator on one
  dump: every cut stream loads to a clean prefix of the history and every
  continued pair to the repository of the uninterrupted dump;
- --prefix with and without a trailing slash, and the prefixes that are
  refused; --config-dir naming a file or a path that cannot be created;
  the modes of the temporary database files under umask 000.

Every wait is bounded (BOUND seconds); servers are stopped by their PID.
"""

import dataclasses
import fcntl
import os
import pathlib
import random
import re
import resource
import select
import shlex
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))

import compare  # noqa: E402
import corpus  # noqa: E402
import generator  # noqa: E402
import modes  # noqa: E402
import servers  # noqa: E402
from modes import Mode  # noqa: E402
from repostate import RepoState  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")

if os.access("/dev/shm", os.W_OK):
    tempfile.tempdir = "/dev/shm"

# No step of a test waits longer than this for vornhald or a server.
BOUND = 90.0
# The pipe that vornhald writes into: small, so that a reader that stops
# reading stops vornhald within a revision or two.
PIPE_SIZE = 4096
SEED, REVISIONS = 3, 40
TIMEOUT = ["--timeout", "2"]

NOTE_NONE = ("NOTE: no revision was written completely; run the same "
             "command again.\n")
NOTE_RE = re.compile(
    r"NOTE: the dump ends with revision (\d+) \(revision (\d+) of the "
    r"dump\), written completely; to continue it, run:\n  (.*)\n\Z")
HEADER_RE = re.compile(rb"(?:\A|\n)Revision-number: ")

SOURCE = None      # the generated repository
WORK = None


def setUpModule():
    global SOURCE, WORK
    WORK = tempfile.mkdtemp(prefix="interruptions-")
    try:
        os.mkdir(os.path.join(WORK, "src"))
        SOURCE = generator.generate(os.path.join(WORK, "src", "repo"), SEED,
                                    REVISIONS)
    except BaseException:
        shutil.rmtree(WORK, ignore_errors=True)
        raise


def tearDownModule():
    shutil.rmtree(WORK, ignore_errors=True)


# ---- processes -------------------------------------------------------------

def descendants(pid):
    """The PIDs of the processes below pid (children first)."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        for c in children.get(todo.pop(), []):
            out.append(c)
            todo.append(c)
    return out


def server_pid(base):
    """The PID of the server that this process started for the URL base
    (found by its port among this process's children)."""
    port = base.split(":")[2].split("/")[0]
    for pid in descendants(os.getpid()):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if b"svnserve" in argv[0] and port.encode() in argv:
            return pid
        if b"apache2" in argv[0]:
            conf = argv[argv.index(b"-f") + 1] if b"-f" in argv else b""
            try:
                with open(conf, "rb") as f:
                    if (":%s\n" % port).encode() in f.read():
                        return pid
            except OSError:
                pass
    raise AssertionError("no server process for %s" % base)


def signal_server(base, signum):
    """Sends signum to the server of base and every process below it (the
    processes that serve the connections)."""
    pid = server_pid(base)
    for p in [pid] + descendants(pid):
        try:
            os.kill(p, signum)
        except ProcessLookupError:
            pass


def wait_for_socket(proc):
    """Waits until proc has a socket open (it is connecting to a server)."""
    deadline = time.monotonic() + BOUND
    fds = "/proc/%d/fd" % proc.pid
    while True:
        if proc.poll() is not None:
            raise AssertionError("vornhald ended before it connected")
        for fd in os.listdir(fds):
            try:
                if os.readlink(os.path.join(fds, fd)).startswith("socket:"):
                    return
            except OSError:
                pass
        if time.monotonic() > deadline:
            raise AssertionError("vornhald opened no socket in %d s" % BOUND)
        time.sleep(0.05)


class Run:
    """One vornhald run with its standard output in a small pipe (or in
    the file `stdout`), its own TMPDIR and its standard error read by a
    thread (a pipe: a file size limit must not cut it).
    Used as a context manager: at the end the process is killed by its PID
    if it still runs."""

    def __init__(self, args, stdout=None, preexec_fn=None):
        self.tmp = tempfile.mkdtemp(prefix="vh-tmpdir-", dir=WORK)
        env = dict(os.environ, TMPDIR=self.tmp, LC_ALL="C.UTF-8")
        self.data = bytearray()
        self.fd = None
        if stdout is None:
            r, w = os.pipe()
            fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
            out = w
        else:
            out = stdout
        self.proc = subprocess.Popen([VORNHALD] + args,
                                     stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=subprocess.PIPE, env=env,
                                     preexec_fn=preexec_fn)
        self.err = bytearray()
        self.err_reader = threading.Thread(
            target=lambda: self.err.extend(self.proc.stderr.read()),
            daemon=True)
        self.err_reader.start()
        if stdout is None:
            os.close(w)
            self.fd = r
        self.status = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        if self.fd is not None:
            os.close(self.fd)
        self.err_reader.join(timeout=BOUND)
        self.proc.stderr.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def _read(self, deadline, size=512):
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("vornhald wrote nothing for %d s" % BOUND)
        ready, _, _ = select.select([self.fd], [], [], left)
        if not ready:
            raise AssertionError("vornhald wrote nothing for %d s" % BOUND)
        chunk = os.read(self.fd, size)
        self.data += chunk
        return chunk

    def headers(self):
        return len(HEADER_RE.findall(self.data))

    def read_headers(self, k):
        """Reads, a little at a time, until the k-th revision header has
        been read (or the output ended)."""
        deadline = time.monotonic() + BOUND
        while self.headers() < k:
            if not self._read(deadline, 64):
                break

    def finish(self):
        """Reads the rest of the output; waits for the exit. Returns
        (status, output, stderr)."""
        deadline = time.monotonic() + BOUND
        if self.fd is not None:
            while self._read(deadline, 65536):
                pass
        self.status = self.proc.wait(timeout=BOUND)
        self.err_reader.join(timeout=BOUND)
        return (self.status, bytes(self.data),
                self.err.decode("utf-8", "replace"))

    def temp_left(self):
        return os.listdir(self.tmp)


def run_to_file(args, path, preexec_fn=None):
    """Runs vornhald with standard output in the file path. Returns (status,
    stderr, what was left in its TMPDIR)."""
    with open(path, "wb") as out, Run(args, stdout=out,
                                      preexec_fn=preexec_fn) as run:
        status, _, err = run.finish()
        return status, err, run.temp_left()


# ---- dumps and repositories ------------------------------------------------

def repo_url(base, mode):
    return base + "/repo" + ("/" + mode.subdir if mode.subdir else "")


def mode_flags(mode):
    return modes.runs(mode)[0]


def load(data_list, name):
    """Loads the streams (bytes) one by one, each by its own svnadmin load,
    into a fresh repository. Returns (path, error or None)."""
    target = os.path.join(WORK, name)
    shutil.rmtree(target, ignore_errors=True)
    corpus.create_repo(target)
    paths = []
    for i, data in enumerate(data_list):
        p = os.path.join(WORK, "%s.part%d" % (name, i))
        with open(p, "wb") as f:
            f.write(data)
        paths.append(p)
    err = corpus.load(target, paths)
    for p in paths:
        os.unlink(p)
    return target, err


def continuation(stderr):
    """(R, L, argv) from the NOTE at the end of stderr, or None for the NOTE
    that no revision was written; raises when neither ends stderr."""
    if stderr.endswith(NOTE_NONE):
        return None
    m = NOTE_RE.search(stderr)
    if not m:
        raise AssertionError("stderr does not end with a NOTE:\n" + stderr)
    argv = shlex.split(m.group(3))
    if argv[0] != "vornhald":
        raise AssertionError("the command does not start with vornhald: "
                             + m.group(3))
    return int(m.group(1)), int(m.group(2)), argv[1:]


class Case(unittest.TestCase):
    maxDiff = None

    def assertFailedWithNote(self, status, stderr, error):
        """Exit status 1, the ERROR line (a regular expression) before the
        NOTE. Returns what continuation() returns."""
        self.assertEqual(status, 1, stderr)
        note = continuation(stderr)
        self.assertRegex(stderr[:stderr.index("NOTE: ")], error)
        return note

    def assertCleanPrefix(self, mode, data, note, name):
        """The cut stream data loads to the history up to the revision that
        the NOTE names, and holds nothing more."""
        if note is None:
            self.assertEqual(HEADER_RE.findall(data), [], "revisions "
                             "written though the NOTE says none was")
            if not data:
                return None
            target, err = load([data], name)
            self.assertIsNone(err)
            self.assertEqual(RepoState(target).youngest(), 0)
            return target
        r, l, _ = note
        cut = dataclasses.replace(mode, end=r)
        expected = modes.expected_revisions(RepoState(SOURCE), cut)
        self.assertEqual(expected[-1].local, l,
                         "the NOTE's numbers do not match the history")
        self.assertEqual(expected[-1].source_rev, r)
        target, err = load([data], name)
        self.assertIsNone(err, "the cut dump does not load")
        mismatch = compare.compare(RepoState(SOURCE), RepoState(target), cut,
                                   expected)
        self.assertIsNone(mismatch, "cut at %d: %s" % (r, mismatch))
        return target

    def assertWhole(self, mode, data, base):
        """data is the dump of mode that a run over base writes whole."""
        with Run(mode_flags(mode) + [repo_url(base, mode)]) as whole:
            status, whole_data, err = whole.finish()
        self.assertEqual(status, 0, err)
        self.assertEqual(data, whole_data)

    def assertResumes(self, mode, data, note, base, name, url_from=None):
        """Runs the command of the NOTE (over base, the URL base in it
        replaced when url_from is given), loads data and then its output,
        each by a load of its own, and compares with the uninterrupted dump
        of mode; the copies are kept as the uninterrupted dump keeps them.
        Returns the number of copies in the continued range."""
        source = RepoState(SOURCE)
        if note is None:
            args = mode_flags(mode) + [repo_url(base, mode)]
            first = []
        else:
            r, l, args = note
            self.assertIn("--incremental", args)
            self.assertIn("-r", args)
            rng = args[args.index("-r") + 1]
            self.assertTrue(rng.startswith("%d:" % (r + 1)), rng)
            if mode.end is not None:
                self.assertNotEqual(rng.split(":")[1], "HEAD")
            first = [data]
        if url_from is not None:
            args = [a.replace(url_from, base) for a in args]
        with Run(args) as run:
            status, rest, err = run.finish()
            self.assertEqual(status, 0, err)
            self.assertEqual(run.temp_left(), [])
        target, err = load(first + [rest], name)
        self.assertIsNone(err, "the continued dump does not load")
        target = RepoState(target)
        expected = modes.expected_revisions(source, mode)
        mismatch = compare.compare(source, target, mode, expected)
        self.assertIsNone(mismatch, str(mismatch))
        revs = [e.source_rev for e in expected if e.kind == "real"]
        self.assertEqual(compare.target_copies(target),
                         modes.source_copies(source, mode, revs))
        if note is None:
            return 0
        later = [s for s in revs if s > note[0]]
        kept = sum(1 for rev in range(note[1] + 1, target.youngest() + 1)
                   for c in target.changes(rev).values() if c[2] is not None)
        self.assertEqual(kept, keepable_copies(source, mode, later, revs[0]),
                         "copies of the continued range")
        return kept


def keepable_copies(source, mode, revs, first):
    """The copies made in revs that a dump of mode starting at source
    revision first keeps as copies."""
    count = 0
    for r in revs:
        for path, (_, _, cf_path, cf_rev) in source.changes(r).items():
            if cf_path is None or not modes.in_subtree(mode.subdir, path):
                continue
            if mode.subdir and path == mode.subdir:
                continue
            if modes.in_subtree(mode.subdir, cf_path) and cf_rev >= first:
                count += 1
    return count


def signal_error(signum):
    return r"ERROR: interrupted by signal %d \(%s\)\.\n" % (
        signum, re.escape(signal.strsignal(signum)))


TIMEOUT_ERROR = (r"ERROR: the server sent nothing for 2 seconds; giving up "
                 r"\(see --timeout\)\.\n")

TRUNK = Mode(subdir="trunk")
TRUNK_KEEP = Mode(subdir="trunk", keep_revnums=True)


class Interruptions(Case):

    # (signal, protocol, mode, the revision header after which it is sent)
    SIGNALS = [(signal.SIGINT, "file", Mode(), 5),
               (signal.SIGTERM, "svn", TRUNK, 4),
               (signal.SIGHUP, "svn", TRUNK_KEEP, 9),
               (signal.SIGINT, "http", Mode(), 12),
               (signal.SIGTERM, "svn", Mode(subdir="trunk", end=30), 6)]

    def test_signals(self):
        for signum, protocol, mode, k in self.SIGNALS:
            with self.subTest(signal=signum.name, protocol=protocol,
                              mode=mode.name(), after=k), \
                    servers.serve(protocol, os.path.dirname(SOURCE)) as base:
                with Run(mode_flags(mode) + [repo_url(base, mode)]) as run:
                    run.read_headers(k)
                    os.kill(run.proc.pid, signum)
                    status, data, err = run.finish()
                    self.assertEqual(run.temp_left(), [])
                note = self.assertFailedWithNote(status, err,
                                                 signal_error(signum))
                self.assertIsNotNone(note, err)
                self.assertCleanPrefix(mode, data, note, "cut")
                self.assertResumes(mode, data, note, base, "resumed")

    def test_signal_with_credentials(self):
        """The command that continues the dump repeats the user name and the
        options but not the password given with -p."""
        access = servers.Access(users={"alice": "s3cret-word"})
        config = os.path.join(WORK, "config")
        mode = TRUNK
        with servers.serve("svn", os.path.dirname(SOURCE), access) as base:
            creds = ["--non-interactive", "--no-auth-cache", "-u", "alice"]
            args = creds + ["-p", "s3cret-word", "--config-dir", config] + \
                mode_flags(mode) + [repo_url(base, mode)]
            with Run(args) as run:
                run.read_headers(5)
                os.kill(run.proc.pid, signal.SIGTERM)
                status, data, err = run.finish()
                self.assertEqual(run.temp_left(), [])
            note = self.assertFailedWithNote(status, err,
                                             signal_error(signal.SIGTERM))
            self.assertIsNotNone(note, err)
            self.assertNotIn("s3cret-word", err)
            words = note[2]
            self.assertIn("--non-interactive", words)
            self.assertIn("--no-auth-cache", words)
            self.assertRegex(" ".join(words), r"(-u|--username) alice ")
            self.assertIn("--config-dir %s " % config, " ".join(words))
            self.assertCleanPrefix(mode, data, note, "cut")
            note = (note[0], note[1], ["-p", "s3cret-word"] + words)
            self.assertResumes(mode, data, note, base, "resumed")

    # (protocol, mode, revision header after which the server is killed,
    # sessions); each dump is then continued, through a new server. With
    # one session the server dies right after the revisions read; with
    # the default the revisions fetched ahead are written first, and the
    # dump still fails at the first one that never came, or, when every
    # revision had come (replays stream the whole small history at once),
    # ends well and whole.
    ONE = ["--sessions", "1"]
    KILLS = [("svn", Mode(), 6, ONE),
             ("svn", Mode(keep_revnums=True), 20, ONE),
             ("svn", TRUNK, 3, ONE),
             ("svn", TRUNK_KEEP, 14, ONE),
             ("http", TRUNK, 8, ONE),
             ("svn", Mode(), 1, []),
             ("http", Mode(), 1, [])]

    def test_server_killed_and_resumed(self):
        root = os.path.dirname(SOURCE)
        for protocol, mode, k, sessions in self.KILLS:
            with self.subTest(protocol=protocol, mode=mode.name(), after=k,
                              sessions=sessions):
                with servers.serve(protocol, root) as base:
                    args = TIMEOUT + sessions + mode_flags(mode) + \
                        [repo_url(base, mode)]
                    with Run(args) as run:
                        run.read_headers(k)
                        signal_server(base, signal.SIGKILL)
                        status, data, err = run.finish()
                        self.assertEqual(run.temp_left(), [])
                if status == 0 and not sessions:
                    with servers.serve(protocol, root) as new_base:
                        self.assertWhole(mode, data, new_base)
                    continue
                note = self.assertFailedWithNote(status, err, r"ERROR: ")
                self.assertIsNotNone(note, err)
                self.assertCleanPrefix(mode, data, note, "cut")
                with servers.serve(protocol, root) as new_base:
                    kept = self.assertResumes(mode, data, note, new_base,
                                              "resumed", url_from=base)
                self.assertGreater(kept, 0, "no copy in the continued range")

    # (protocol, mode, revision header after which the server is stopped,
    # 0: before vornhald starts; sessions, as for KILLS)
    STOPS = [("svn", Mode(), 0, []),
             ("svn", TRUNK, 5, ONE),
             ("http", Mode(), 0, []),
             ("http", TRUNK_KEEP, 7, ONE),
             ("svn", Mode(), 1, [])]

    def test_silent_server(self):
        root = os.path.dirname(SOURCE)
        for protocol, mode, k, sessions in self.STOPS:
            with self.subTest(protocol=protocol, mode=mode.name(), after=k,
                              sessions=sessions), \
                    servers.serve(protocol, root) as base:
                stopped = False
                try:
                    if k == 0:
                        signal_server(base, signal.SIGSTOP)
                        stopped = True
                    args = TIMEOUT + sessions + mode_flags(mode) + \
                        [repo_url(base, mode)]
                    with Run(args) as run:
                        if k:
                            run.read_headers(k)
                            signal_server(base, signal.SIGSTOP)
                            stopped = True
                        status, data, err = run.finish()
                        self.assertEqual(run.temp_left(), [])
                finally:
                    if stopped:
                        signal_server(base, signal.SIGCONT)
                if status == 0 and not sessions and k:
                    # Every revision had come before the server stopped.
                    self.assertWhole(mode, data, base)
                    continue
                # The dump and its continuation first, the message last.
                self.assertEqual(status, 1, err)
                note = continuation(err)
                self.assertEqual(note is None, k == 0, err)
                self.assertCleanPrefix(mode, data, note, "cut")
                self.assertResumes(mode, data, note, base, "resumed")
                self.assertRegex(err[:err.index("NOTE: ")], TIMEOUT_ERROR)

    def test_signal_while_the_server_is_silent(self):
        """With --timeout 0 vornhald waits for a stopped server until a
        signal ends the run, before any revision was written."""
        for protocol in ("svn", "http"):
            with self.subTest(protocol=protocol), \
                    servers.serve(protocol, os.path.dirname(SOURCE)) as base:
                signal_server(base, signal.SIGSTOP)
                try:
                    with Run(["--timeout", "0", repo_url(base, Mode())]) \
                            as run:
                        wait_for_socket(run.proc)
                        os.kill(run.proc.pid, signal.SIGINT)
                        status, data, err = run.finish()
                        self.assertEqual(run.temp_left(), [])
                finally:
                    signal_server(base, signal.SIGCONT)
                self.assertEqual(data, b"")
                self.assertIsNone(self.assertFailedWithNote(
                    status, err, signal_error(signal.SIGINT)), err)
                self.assertNotIn("sent nothing", err)

    def test_closed_pipe(self):
        for protocol in ("file", "svn"):
            with self.subTest(protocol=protocol), \
                    servers.serve(protocol, os.path.dirname(SOURCE)) as base:
                with Run([repo_url(base, Mode())]) as run:
                    deadline = time.monotonic() + BOUND
                    while len(run.data) < 1000:
                        self.assertTrue(run._read(deadline,
                                                  1000 - len(run.data)))
                    os.close(run.fd)
                    run.fd = None
                    status, _, err = run.finish()
                    self.assertEqual(run.temp_left(), [])
                self.assertNotEqual(status, 141)
                self.assertFailedWithNote(status, err,
                                          r"ERROR: .*Broken pipe")

    # (protocol, mode, file size limit in bytes); the first one is reached
    # inside revision 0.
    LIMITS = [("file", Mode(), 60),
              ("file", Mode(), 9000),
              ("svn", TRUNK_KEEP, 15000)]

    def test_file_size_limit(self):
        for protocol, mode, limit in self.LIMITS:
            with self.subTest(protocol=protocol, mode=mode.name(),
                              limit=limit), \
                    servers.serve(protocol, os.path.dirname(SOURCE)) as base:
                path = os.path.join(WORK, "limited.dump")

                def limit_size(limit=limit):
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
                status, err, left = run_to_file(
                    mode_flags(mode) + [repo_url(base, mode)], path,
                    preexec_fn=limit_size)
                self.assertEqual(left, [])
                note = self.assertFailedWithNote(status, err,
                                                 r"ERROR: .*File too large")
                with open(path, "rb") as f:
                    data = f.read()
                self.assertLessEqual(len(data), limit)
                self.assertEqual(note is None, limit < 100, err)
                self.assertCleanPrefix(mode, data, note, "cut")
                self.assertResumes(mode, data, note, base, "resumed")

    def test_random_interruption_points(self):
        """Twenty interruption points of one dump (the whole repository over
        svn://), drawn by a seeded generator: a signal after a chosen
        revision header or a file size limit at a chosen byte."""
        rng = random.Random(SEED)
        mode = Mode()
        with servers.serve("svn", os.path.dirname(SOURCE)) as base:
            url = repo_url(base, mode)
            whole = os.path.join(WORK, "whole.dump")
            status, err, left = run_to_file([url], whole)
            self.assertEqual((status, left), (0, []), err)
            with open(whole, "rb") as f:
                data = f.read()
            size = len(data)
            reference, err = load([data], "reference")
            self.assertIsNone(err)
            want = svnadmin_dump(reference)
            headers = REVISIONS + 1
            signals = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
            for i in range(20):
                if rng.random() < 0.5:
                    point = ("limit", rng.randrange(1, size))
                else:
                    point = (rng.choice(signals).name,
                             rng.randrange(1, headers - 2))
                with self.subTest(point=i, at=point):
                    data, note = self.interrupt(url, point)
                    self.assertCleanPrefix(mode, data, note, "cut")
                    self.assertResumes(mode, data, note, base, "resumed")
                    self.assertEqual(
                        svnadmin_dump(os.path.join(WORK, "resumed")), want,
                        "the continued pair differs from the uninterrupted "
                        "dump")

    def interrupt(self, url, point):
        kind, where = point
        if kind == "limit":
            path = os.path.join(WORK, "limited.dump")
            status, err, left = run_to_file(
                [url], path, preexec_fn=lambda: resource.setrlimit(
                    resource.RLIMIT_FSIZE, (where, where)))
            self.assertEqual(left, [])
            note = self.assertFailedWithNote(status, err,
                                             r"ERROR: .*File too large")
            with open(path, "rb") as f:
                data = f.read()
            self.assertLessEqual(len(data), where)
            return data, note
        signum = getattr(signal, kind)
        with Run([url]) as run:
            run.read_headers(where)
            os.kill(run.proc.pid, signum)
            status, data, err = run.finish()
            self.assertEqual(run.temp_left(), [])
        return data, self.assertFailedWithNote(status, err,
                                               signal_error(signum))


def svnadmin_dump(repo):
    """svnadmin dump of repo without its UUID."""
    out = subprocess.run(["svnadmin", "dump", "-q", repo], check=True,
                         capture_output=True, timeout=BOUND).stdout
    return re.sub(rb"\nUUID: [^\n]*\n", b"\n", out, count=1)


class Arguments(Case):

    def dump(self, args):
        with Run(args) as run:
            status, data, err = run.finish()
            return status, data, err, run.temp_left()

    def test_prefix_with_and_without_slash(self):
        url = servers.file_url(SOURCE) + "/trunk"
        for prefix in ("x", "vendor/lib"):
            with self.subTest(prefix=prefix):
                runs = [self.dump(["--prefix", p, url])
                        for p in (prefix, prefix + "/")]
                for status, _, err, left in runs:
                    self.assertEqual((status, left), (0, []), err)
                self.assertEqual(runs[0][1], runs[1][1])
                target, err = load([runs[0][1]], "prefixed")
                self.assertIsNone(err)
                mismatch = compare.compare(
                    RepoState(SOURCE), RepoState(target),
                    Mode(subdir="trunk", prefix=prefix + "/"))
                self.assertIsNone(mismatch, str(mismatch))

    REFUSED_PREFIXES = ["..", ".", "a/../b", "./a", "a/.", "a/./b", "../a",
                        "a\nb", "a\nRevision-number: 7", "a\rb", "a\tb",
                        "a\x1bb", "a\x7fb"]

    def test_refused_prefixes(self):
        url = servers.file_url(SOURCE)
        for prefix in self.REFUSED_PREFIXES:
            with self.subTest(prefix=prefix):
                status, data, err, left = self.dump(["--prefix", prefix, url])
                self.assertEqual(status, 1, err)
                self.assertEqual(data, b"")
                self.assertEqual(left, [])
                self.assertTrue(err.startswith("ERROR: Invalid prefix '"),
                                err)

    def test_early_failures(self):
        """Failures before the dump starts: the configuration directory
        that cannot be set up and a repository that is not there."""
        url = servers.file_url(SOURCE)
        a_file = os.path.join(WORK, "a-file")
        with open(a_file, "w") as f:
            f.write("not a directory\n")
        cases = [(["--config-dir", a_file, url],
                  "ERROR: Can't set up the configuration directory '%s'"
                  % a_file),
                 (["--config-dir", a_file + "/sub", url],
                  "ERROR: Can't set up the configuration directory '%s/sub'"
                  % a_file),
                 ([servers.file_url(WORK) + "/no-such-repo"], "ERROR: ")]
        for args, error in cases:
            with self.subTest(args=args):
                status, data, err, left = self.dump(args)
                self.assertEqual(status, 1, err)
                self.assertEqual(data, b"")
                self.assertEqual(left, [])
                self.assertIn(error, err)

    def test_database_modes_under_umask_000(self):
        url = servers.file_url(SOURCE)
        with Run([url], preexec_fn=lambda: os.umask(0)) as run:
            deadline = time.monotonic() + BOUND
            found = {}
            while len(found) < 2:
                self.assertIsNone(run.proc.poll(),
                                  "the dump ended before its pipe filled")
                self.assertLess(time.monotonic(), deadline)
                for d in run.temp_left():
                    for name in ("paths.db", "props.db"):
                        p = os.path.join(run.tmp, d, name)
                        if os.path.exists(p):
                            found[name] = p
                time.sleep(0.05)
            # Nothing reads the pipe: vornhald holds its databases open.
            for name, p in sorted(found.items()):
                self.assertEqual(stat.S_IMODE(os.stat(p).st_mode), 0o600,
                                 name)
            self.assertIsNone(run.proc.poll())
            status, _, err = run.finish()
            self.assertEqual(status, 0, err)
            self.assertEqual(run.temp_left(), [])


if __name__ == "__main__":
    unittest.main()
