#!/usr/bin/python3
"""Benchmark of remote dumps: vornhald against svnrdump and svnadmin dump.

Serves a repository over svn:// (svnserve) and http:// (Apache with
mod_dav_svn) on 127.0.0.1, puts a delaying TCP relay of its own in front of
each server for a chosen round-trip time, and dumps the repository with each
subject, reporting wall time, revisions per second, bytes received from the
server, peak resident memory and peak temporary disk, with the ratios of
vornhald to its peers. Not a test: run it by hand (see bench/README.md).

    /usr/bin/python3 bench/remote_bench.py --quick
    /usr/bin/python3 bench/remote_bench.py --seed 1 --revisions 2000 \\
        --rtt 0,10,50 --max-revisions 50:400 --json out.json

Everything it starts (servers, relays, subjects) runs on 127.0.0.1 and is
stopped by its own PID before the script ends.
"""

import argparse
import contextlib
import json
import mmap
import os
import queue
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zlib

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e", "lib"))

import generator  # noqa: E402
import servers  # noqa: E402

from svn import core, fs, repos  # noqa: E402

HOST = servers.HOST
TIME = "/usr/bin/time"
MiB = 1024.0 * 1024.0


def log(msg):
    print(msg, file=sys.stderr, flush=True)


# ---- the relay ------------------------------------------------------------

class Relay:
    """A TCP relay on 127.0.0.1 (a free port) in front of a server on
    127.0.0.1:upstream_port. Every chunk read from one side is written to
    the other side half the round-trip time later, in order: per connection
    and direction one thread reads and stamps each chunk with its delivery
    time, another sleeps until that time and writes it. Bytes from the
    server to the client are counted. The relay buffers without limit, so
    the link has no bandwidth cap, only latency. Use as a context manager;
    leaving it closes the listener and every connection."""

    CHUNK = 256 * 1024

    def __init__(self, upstream_port, rtt_ms):
        self.upstream_port = upstream_port
        self.delay = rtt_ms / 2000.0
        self.lock = threading.Lock()
        self.down_bytes = 0     # server -> client
        self.up_bytes = 0       # client -> server
        self.connections = 0
        self.errors = []
        self._socks = set()
        self._threads = []
        self._stopping = False
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((HOST, 0))
        self.listener.listen(64)
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self._acceptor = threading.Thread(target=self._accept, daemon=True)

    def __enter__(self):
        self._acceptor.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    def _accept(self):
        while not self._stopping:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            try:
                server = socket.create_connection((HOST, self.upstream_port),
                                                  timeout=10)
                server.settimeout(None)
            except OSError as e:
                self.errors.append("connect to server: %s" % e)
                client.close()
                continue
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.connections += 1
                self._socks.update((client, server))
            done = [0]
            pair = (client, server)
            self._pump(client, server, False, done, pair)
            self._pump(server, client, True, done, pair)

    def _pump(self, src, dst, downstream, done, pair):
        q = queue.SimpleQueue()

        def read():
            while True:
                try:
                    data = src.recv(self.CHUNK)
                except OSError:
                    data = b""
                if not data:
                    q.put((0.0, None))
                    return
                with self.lock:
                    if downstream:
                        self.down_bytes += len(data)
                    else:
                        self.up_bytes += len(data)
                q.put((time.monotonic() + self.delay, data))

        def write():
            broken = False
            while True:
                at, data = q.get()
                if data is None:
                    break
                if broken:
                    continue
                wait = at - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                try:
                    dst.sendall(data)
                except OSError:
                    broken = True
                    with contextlib.suppress(OSError):
                        src.shutdown(socket.SHUT_RD)
            with contextlib.suppress(OSError):
                dst.shutdown(socket.SHUT_WR)
            with self.lock:
                done[0] += 1
                last = done[0] == 2
                if last:
                    for s in pair:
                        self._socks.discard(s)
            if last:
                for s in pair:
                    s.close()

        for fn in (read, write):
            t = threading.Thread(target=fn, daemon=True)
            t.start()
            self._threads.append(t)

    def reset(self):
        with self.lock:
            self.down_bytes = self.up_bytes = self.connections = 0

    def stop(self):
        self._stopping = True
        with contextlib.suppress(OSError):
            self.listener.close()
        self._acceptor.join(timeout=2)
        with self.lock:
            socks = list(self._socks)
        for s in socks:
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
        for t in self._threads:
            t.join(timeout=2)


def relayed_url(base, port):
    """base ("svn://127.0.0.1:P" or "http://127.0.0.1:P/svn") with the port
    of the relay instead of the server's."""
    u = urllib.parse.urlsplit(base)
    return urllib.parse.urlunsplit(u._replace(netloc="%s:%d" % (HOST, port)))


def server_port(base):
    return urllib.parse.urlsplit(base).port


# ---- sources ----------------------------------------------------------------

def _text_lines(seed, path, n):
    rng = random.Random("%d:%s" % (seed, path))
    words = generator.WORDS
    return ["%s %d %s\n" % (path, i, " ".join(rng.choice(words)
                                                for _ in range(rng.randrange(
                                                    2, 12))))
            for i in range(n)]


def _tags_text(seed, path, lines, version):
    text = _text_lines(seed, path, lines)
    for j in range(1, version + 1):
        i = zlib.crc32(("%s#%d" % (path, j)).encode()) % lines
        text[i] = "edit %d of %s\n" % (j, path)
    return "".join(text).encode()


def generate_tags_history(path, seed, revisions, files):
    """A repository at path with a large trunk (about `files` files in
    two levels of directories, made in revision 1) and `revisions`
    revisions in all: edits on trunk, tags and branches copied from trunk
    (tags also from older revisions), and edits on branches."""
    rng = random.Random(seed)
    repo = repos.create(path, None, None, None, {"no-flush-to-disk": "1"})
    f = repos.fs(repo)
    fs.change_rev_prop(f, 0, "svn:date", b"2021-01-01T00:00:00.000000Z")
    trunk = {}          # path below trunk -> (lines, version)
    branches = {}       # branch dir -> {path below it -> (lines, version)}
    tags = 0

    def put(root, p, data):
        s = fs.apply_text(root, p, None)
        core.svn_stream_write(s, data)
        core.svn_stream_close(s)

    def edit(root, top, files_of, count):
        for p in rng.sample(sorted(files_of), min(count, len(files_of))):
            lines, version = files_of[p]
            files_of[p] = (lines, version + 1)
            put(root, top + "/" + p,
                _tags_text(seed, p, lines, version + 1))

    for rev in range(1, revisions + 1):
        txn = fs.begin_txn2(f, rev - 1, 0)
        root = fs.txn_root(txn)
        msg = "r%d" % rev
        if rev == 1:
            for d in ("trunk", "branches", "tags"):
                fs.make_dir(root, d)
            per_dir, per_top = 25, 8
            for k in range(files):
                leaf, top = k // per_dir, k // (per_dir * per_top)
                d = "mod%03d/part%02d" % (top, leaf % per_top)
                if k % per_dir == 0:
                    if leaf % per_top == 0:
                        fs.make_dir(root, "trunk/mod%03d" % top)
                    fs.make_dir(root, "trunk/" + d)
                p = "%s/file%05d.c" % (d, k)
                lines = rng.choice((5, 20, 40, 80, 160)) \
                    if rng.random() > 0.01 else 3000
                fs.make_file(root, "trunk/" + p)
                put(root, "trunk/" + p, _tags_text(seed, p, lines, 0))
                trunk[p] = (lines, 0)
            fs.change_node_prop(root, "trunk", "svn:ignore", b"*.o\n")
            msg = "import of a large tree"
        else:
            r = rng.random()
            if r < 0.25:
                tags += 1
                src = rng.randrange(max(1, rev - 10), rev)
                dst = "tags/v%d.%d" % (tags // 10, tags % 10)
                fs.copy(fs.revision_root(f, src), "trunk", root, dst)
                msg = "tag %s from r%d" % (dst, src)
            elif r < 0.35:
                dst = "branches/b%d" % (len(branches) + 1)
                fs.copy(fs.revision_root(f, rev - 1), "trunk", root, dst)
                branches[dst] = dict(trunk)
                msg = "branch " + dst
            elif r < 0.45 and branches:
                b = rng.choice(sorted(branches))
                edit(root, b, branches[b], rng.randrange(1, 4))
                msg = "work on " + b
            else:
                edit(root, "trunk", trunk, rng.randrange(1, 7))
                if rng.random() < 0.1:
                    p = rng.choice(sorted(trunk))
                    new = p[:-2] + "-%d.h" % rev
                    fs.make_file(root, "trunk/" + new)
                    put(root, "trunk/" + new, _tags_text(seed, new, 10, 0))
                    trunk[new] = (10, 0)
                msg = "work on trunk"
        fs.change_txn_prop(txn, "svn:log", msg.encode())
        fs.change_txn_prop(txn, "svn:author", rng.choice(
            generator.AUTHORS).encode())
        conflict, new_rev = fs.commit_txn(txn)
        assert new_rev == rev, (conflict, new_rev)
        fs.change_rev_prop(f, rev, "svn:date", (
            "%s.000000Z" % generator._iso(1609459200 + rev * 97)).encode())
    return path


def cached_repo(cache_dir, name, make):
    """The repository cache_dir/name, made by make(path) if it is not
    there yet (into a temporary name first, so that an interrupted run
    leaves nothing half made)."""
    path = os.path.join(cache_dir, name)
    if os.path.isdir(path):
        return path
    os.makedirs(cache_dir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix=".tmp-" + name + "-", dir=cache_dir)
    os.rmdir(tmp)
    log("generating %s (cached in %s) ..." % (name, cache_dir))
    t0 = time.monotonic()
    try:
        make(tmp)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise
    os.rename(tmp, path)
    log("generated %s in %.1f s" % (name, time.monotonic() - t0))
    return path


def tree_text_sizes(repo_path, subpaths, start, end):
    """For each path in subpaths ("" for the root), the largest total size
    of the file texts below it over revisions start..end. Sizes are cached
    by node-revision ID, so an unchanged subtree is summed only once."""
    f = repos.fs(repos.open(repo_path))
    cache = {}

    def size(root, path, kind, nid):
        v = cache.get(nid)
        if v is None:
            if kind == core.svn_node_file:
                v = fs.file_length(root, path)
            else:
                v = 0
                for name, e in fs.dir_entries(root, path).items():
                    name = name.decode() if isinstance(name, bytes) else name
                    v += size(root, path + "/" + name if path else name,
                              e.kind, fs.unparse_id(e.id))
            cache[nid] = v
        return v

    best = {p: 0 for p in subpaths}
    for rev in range(start, end + 1):
        root = fs.revision_root(f, rev)
        for p in subpaths:
            kind = fs.check_path(root, p)
            if kind == core.svn_node_none:
                continue
            best[p] = max(best[p], size(root, p, kind,
                                        fs.unparse_id(fs.node_id(root, p))))
    return best


def youngest(repo_path):
    return fs.youngest_rev(repos.fs(repos.open(repo_path)))


# ---- running a subject ------------------------------------------------------

def tree_bytes(path):
    total = 0
    for dirpath, dirnames, filenames in os.walk(path):
        for name in filenames:
            with contextlib.suppress(OSError):
                total += os.lstat(os.path.join(dirpath, name)).st_size
    return total


REVISION_LINE = re.compile(rb"(?m)^Revision-number: ")


def count_revisions(dump_path):
    if os.path.getsize(dump_path) == 0:
        return 0
    with open(dump_path, "rb") as f, \
            mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        if not m[:64].startswith(b"SVN-fs-dump-format-version: "):
            raise RuntimeError("%s is not a dump stream" % dump_path)
        return sum(1 for _ in REVISION_LINE.finditer(m))


class SubjectFailed(Exception):
    pass


def run_subject(name, argv, work, timeout, relay=None):
    """Runs argv with its own TMPDIR and its standard output in a file
    below work; returns the measurements. Raises SubjectFailed on a
    non-zero exit status or a timeout."""
    run_dir = tempfile.mkdtemp(prefix="run-", dir=work)
    tmpdir = os.path.join(run_dir, "tmp")
    os.mkdir(tmpdir)
    dump = os.path.join(run_dir, "out.dump")
    err = os.path.join(run_dir, "stderr")
    timing = os.path.join(run_dir, "time")
    env = {k: v for k, v in os.environ.items()
           if k.lower() not in ("http_proxy", "https_proxy", "all_proxy")}
    env["TMPDIR"] = tmpdir
    peak_tmp = [0]
    finished = threading.Event()

    def poll():
        while not finished.wait(0.05):
            peak_tmp[0] = max(peak_tmp[0], tree_bytes(tmpdir))

    if relay is not None:
        relay.reset()
    poller = threading.Thread(target=poll, daemon=True)
    with open(dump, "wb") as out, open(err, "wb") as errf:
        t0 = time.monotonic()
        proc = subprocess.Popen(
            [TIME, "-q", "-f", "%M %U %S", "-o", timing] + argv,
            stdin=subprocess.DEVNULL, stdout=out, stderr=errf, env=env,
            start_new_session=True)
        poller.start()
        timed_out = False
        try:
            status = proc.wait(timeout=timeout)
        except BaseException as e:
            # The session of the subject is ours: /usr/bin/time and the
            # subject under it.
            with contextlib.suppress(ProcessLookupError):
                os.killpg(proc.pid, signal.SIGKILL)
            status = proc.wait()
            if not isinstance(e, subprocess.TimeoutExpired):
                raise
            timed_out = True
        finally:
            wall = time.monotonic() - t0
            finished.set()
            poller.join()
    peak_tmp[0] = max(peak_tmp[0], tree_bytes(tmpdir))
    with open(err, "rb") as f:
        stderr = f.read().decode(errors="replace")
    if timed_out:
        raise SubjectFailed("%s did not finish in %g s: %s (its output is in "
                            "%s)\n%s" % (name, timeout, " ".join(argv),
                                          run_dir, stderr[-3000:]))
    if status != 0:
        raise SubjectFailed("%s failed with status %d: %s (its output is in "
                            "%s)\n%s" % (name, status, " ".join(argv),
                                          run_dir, stderr[-3000:]))
    with open(timing) as f:
        words = f.read().split()
    left = tree_bytes(tmpdir)
    result = {
        "subject": name, "argv": argv, "wall": wall,
        "cpu": float(words[1]) + float(words[2]),
        "peak_rss": int(words[0]) * 1024,
        "peak_tmp": peak_tmp[0],
        "tmp_left": left,
        "dump_bytes": os.path.getsize(dump),
        "revisions_written": count_revisions(dump),
        "server_bytes": relay.down_bytes if relay else None,
        "client_bytes": relay.up_bytes if relay else None,
        "connections": relay.connections if relay else None,
        "stderr": stderr[-2000:],
    }
    if relay is not None and relay.errors:
        raise SubjectFailed("relay: %s" % "; ".join(relay.errors))
    shutil.rmtree(run_dir, ignore_errors=True)
    return result


# ---- the plan -----------------------------------------------------------------

def parse_caps(text):
    """"N" (every non-zero round-trip time) or "RTT:N,RTT:N"."""
    if not text:
        return {}
    caps = {}
    for part in text.split(","):
        if ":" in part:
            rtt, n = part.split(":", 1)
            caps[float(rtt)] = int(n)
        else:
            caps[None] = int(part)
    return caps


def cap_for(caps, rtt):
    if rtt <= 0:
        return None
    return caps.get(rtt, caps.get(None))


def subjects_for(mode, proto, url, path, rng_args, opts, subdir):
    """[(name, argv)] of a mode: vornhald first, then its peers."""
    vh = [opts.vornhald, "-q", "--non-interactive", "--config-dir",
          opts.config_dir] + rng_args
    rd = ["svnrdump", "dump", "-q", "--non-interactive", "--config-dir",
          opts.config_dir] + rng_args
    if mode == "deltas":
        out = [("vornhald --deltas", vh + ["--deltas", url]),
               ("svnrdump", rd + [url])]
        if proto == "file" and opts.svnadmin_deltas:
            out.append(("svnadmin --deltas",
                        ["svnadmin", "dump", "-q", "--deltas"] + rng_args +
                        [path]))
        return out
    if mode == "full":
        out = [("vornhald", vh + [url])]
        if proto == "file":
            out.append(("svnadmin dump",
                        ["svnadmin", "dump", "-q"] + rng_args + [path]))
        out.append(("svnrdump (deltas)", rd + [url]))
        return out
    if mode == "subdir":
        sub = url + "/" + urllib.parse.quote(subdir)
        return [("vornhald --deltas " + subdir, vh + ["--deltas", sub]),
                ("svnrdump " + subdir, rd + [sub])]
    raise ValueError(mode)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def summarize(runs, range_revs):
    if not runs:
        return None
    m = {k: median([r[k] for r in runs])
         for k in ("wall", "cpu", "peak_rss", "peak_tmp", "dump_bytes",
                   "server_bytes", "client_bytes", "connections",
                   "revisions_written")}
    m["range_revisions"] = range_revs
    m["rev_per_s"] = range_revs / m["wall"] if m["wall"] else None
    m["ms_per_rev"] = 1000.0 * m["wall"] / range_revs if range_revs else None
    m["runs"] = len(runs)
    return m


# (heading, key, format, whether a vornhald/peer ratio is shown). The
# temporary disk is set against the largest tree instead: the peers keep
# next to nothing there.
COLUMNS = [("wall s", "wall", lambda v: "%.2f" % v, True),
           ("rev/s", "rev_per_s", lambda v: "%.1f" % v, True),
           ("ms/rev", "ms_per_rev", lambda v: "%.2f" % v, True),
           ("server MiB", "server_bytes", lambda v: "%.2f" % (v / MiB), True),
           ("RSS MiB", "peak_rss", lambda v: "%.1f" % (v / MiB), True),
           ("tmp MiB", "peak_tmp", lambda v: "%.2f" % (v / MiB), False),
           ("dump MiB", "dump_bytes", lambda v: "%.2f" % (v / MiB), True),
           ("cpu s", "cpu", lambda v: "%.2f" % v, True),
           ("revs", "revisions_written", lambda v: "%d" % v, False)]


def table(rows):
    widths = [max(len(str(r[i])) for r in rows) for i in range(len(rows[0]))]
    lines = []
    for r in rows:
        lines.append("  ".join(
            (str(c).ljust(w) if i == 0 else str(c).rjust(w))
            for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return "\n".join(lines)


def format_mode(mode, summaries, largest, whole=None):
    """The table of one mode: a line a subject, then vornhald/peer ratios
    (for rev/s a ratio above 1 is vornhald faster; for everything else a
    ratio below 1 is vornhald smaller or faster)."""
    rows = [["%s:" % mode] + [c[0] for c in COLUMNS]]
    names = list(summaries)
    for name in names:
        s = summaries[name]
        if s is None:
            rows.append(["  " + name + " (failed)"] + [""] * len(COLUMNS))
            continue
        rows.append(["  " + name] + [
            "-" if s[key] is None else fmt(s[key])
            for _, key, fmt, _ in COLUMNS])
    first = summaries[names[0]]
    for name in names[1:]:
        s = summaries[name]
        if s is None:
            continue
        row = ["  ratio vornhald/%s" % name]
        for _, key, fmt, ratio in COLUMNS:
            a, b = first[key], s[key]
            if ratio and a is not None and b:
                v = a / b
                row.append(("%.2fx" if v >= 0.1 else "%.2gx") % v)
            else:
                row.append("")
        rows.append(row)
    out = table(rows)
    if largest:
        out += "\n  largest tree's texts %.2f MiB; peak tmp of %s %.2fx of it" \
            % (largest / MiB, names[0], first["peak_tmp"] / largest)
    if whole is not None:
        out += ("\n  per revision: %.2f ms (subdirectory) vs %.2f ms (whole "
                "repository, deltas mode) = %.2fx" % (
                    first["ms_per_rev"], whole["ms_per_rev"],
                    first["ms_per_rev"] / whole["ms_per_rev"]))
    return out


# ---- main -------------------------------------------------------------------

def parse_args(argv):
    p = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Source: --seed/--revisions (generated), --repo PATH or "
               "--tags-history.")
    src = p.add_argument_group("source")
    src.add_argument("--seed", type=int, default=None,
                     help="seed of a generated history (default 1)")
    src.add_argument("--revisions", type=int, default=None,
                     help="revisions to generate (default 2000; "
                          "--tags-history 600)")
    src.add_argument("--repo", help="an existing repository (local path), "
                     "served from its parent directory (which, as root, "
                     "servers.py makes readable for Apache's user)")
    src.add_argument("--tags-history", action="store_true",
                     help="a large tree with many tags and branches "
                          "copied from it")
    src.add_argument("--tree-files", type=int, default=3000,
                     help="files in the tree of --tags-history "
                          "(default 3000)")
    src.add_argument("--cache", default=os.path.join(
        tempfile.gettempdir(), "vornhald-bench-cache"),
        help="directory of the generated repositories (default %(default)s)")
    p.add_argument("--vornhald", default=os.environ.get(
        "VORNHALD", os.path.join(TOP, "build", "vornhald")),
        help="the program (default $VORNHALD or build/vornhald)")
    p.add_argument("--protocols", default="file,svn,http",
                   help="comma-separated, of file, svn, http "
                        "(default %(default)s)")
    p.add_argument("--rtt", default=None,
                   help="round-trip times in ms, comma-separated "
                        "(default 0,10,50); file:// runs only at 0")
    p.add_argument("--modes", default="deltas,full,subdir",
                   help="deltas (vornhald --deltas vs svnrdump), full "
                        "(vornhald vs svnadmin dump and svnrdump), subdir "
                        "(a subdirectory dump); default %(default)s")
    p.add_argument("--subdir", default="trunk",
                   help="the subdirectory of the subdir mode "
                        "(default %(default)s)")
    p.add_argument("-r", "--revision", default=None,
                   help="the revision range A:B of every run "
                        "(default 0:HEAD)")
    p.add_argument("--max-revisions", default=None,
                   help="cap runs at a non-zero round-trip time to the "
                        "first N revisions of the range: N for every such "
                        "time, or RTT:N,... for some")
    p.add_argument("--repeat", type=int, default=None,
                   help="interleaved repetitions; medians are reported "
                        "(default 3, --quick 1)")
    p.add_argument("--timeout", type=float, default=3600,
                   help="seconds a single run may take (default %(default)s)")
    p.add_argument("--svnadmin-deltas", action="store_true",
                   help="also run svnadmin dump --deltas in the deltas mode "
                        "over file://")
    p.add_argument("--json", help="write every run and the medians here")
    p.add_argument("--quick", action="store_true",
                   help="a small preset: 200 revisions, rtt 0,10, once")
    p.add_argument("--work", default=None,
                   help="directory for dumps and TMPDIRs (default a fresh "
                        "one under $TMPDIR, removed at the end)")
    o = p.parse_args(argv)
    if o.repo and (o.tags_history or o.seed is not None):
        p.error("--repo excludes --seed and --tags-history")
    if o.quick:
        o.revisions = o.revisions or (200 if not o.tags_history else 100)
        o.tree_files = min(o.tree_files, 1000)
        o.rtt = o.rtt or "0,10"
        o.repeat = o.repeat or 1
    o.seed = 1 if o.seed is None else o.seed
    o.revisions = o.revisions or (600 if o.tags_history else 2000)
    o.rtt = [float(x) for x in (o.rtt or "0,10,50").split(",")]
    o.repeat = o.repeat or 3
    o.protocols = o.protocols.split(",")
    for proto in o.protocols:
        if proto not in servers.PROTOCOLS:
            p.error("unknown protocol %r" % proto)
    o.modes = o.modes.split(",")
    for mode in o.modes:
        if mode not in ("deltas", "full", "subdir"):
            p.error("unknown mode %r" % mode)
    o.caps = parse_caps(o.max_revisions)
    if not os.access(o.vornhald, os.X_OK):
        p.error("no program at %s (build it, or give --vornhald)"
                % o.vornhald)
    o.vornhald = os.path.abspath(o.vornhald)
    for tool in (TIME, shutil.which("svnrdump"), shutil.which("svnadmin")):
        if not tool or not os.access(tool, os.X_OK):
            p.error("missing %s (apt-get install time subversion)" % tool)
    return o


def fmt_rtt(rtt):
    return ("%g" % rtt)


def main(argv):
    o = parse_args(argv)
    if o.repo:
        repo = os.path.abspath(o.repo)
        source = "repository " + repo
    elif o.tags_history:
        name = "tags-s%d-f%d-r%d" % (o.seed, o.tree_files, o.revisions)
        repo = cached_repo(o.cache, name, lambda p: generate_tags_history(
            p, o.seed, o.revisions, o.tree_files))
        source = "tags history (seed %d, %d files, %d revisions)" % (
            o.seed, o.tree_files, o.revisions)
    else:
        name = "seed%d-rev%d" % (o.seed, o.revisions)
        repo = cached_repo(o.cache, name, lambda p: generator.generate(
            p, o.seed, o.revisions))
        source = "generated history (seed %d, %d revisions)" % (
            o.seed, o.revisions)
    head = youngest(repo)
    if o.revision:
        a, b = o.revision.split(":")
        start = int(a)
        end = head if b.upper() == "HEAD" else int(b)
    else:
        start, end = 0, head

    own_work = o.work is None
    work = tempfile.mkdtemp(prefix="vornhald-bench-") if own_work \
        else os.path.abspath(o.work)
    os.makedirs(work, exist_ok=True)
    o.config_dir = os.path.join(work, "config")
    os.makedirs(o.config_dir, exist_ok=True)
    report = {"source": source, "repo": repo, "range": [start, end],
              "vornhald": o.vornhald, "repeat": o.repeat, "results": []}
    vh_version = subprocess.run([o.vornhald, "--version"],
                                capture_output=True, text=True
                                ).stdout.split("\n")[0]
    rd_version = subprocess.run(["svnrdump", "--version", "-q"],
                                capture_output=True, text=True).stdout.strip()
    header = ["vornhald remote benchmark",
              "source: %s, HEAD %d, range %d:%d" % (source, head, start, end),
              "subjects: %s (%s), svnrdump %s, svnadmin dump" % (
                  o.vornhald, vh_version, rd_version),
              "svnrdump always writes text deltas (dump format 3): "
              "'full' compares vornhald's full texts with it as well as "
              "with svnadmin dump",
              "repeat %d, medians; relay on 127.0.0.1 delays each chunk by "
              "RTT/2 each way and counts bytes from the server" % o.repeat,
              "machine: %d CPUs, load %s" % (
                  os.cpu_count(), "%.2f %.2f %.2f" % os.getloadavg())]
    if o.caps:
        header.append("--max-revisions %s: runs at a non-zero round-trip "
                      "time dump only the first revisions of the range"
                      % o.max_revisions)
    print("\n".join(header), flush=True)
    served_root = os.path.dirname(repo)
    repo_name = os.path.basename(repo)
    largest_cache = {}

    def largest(a, b):
        key = (a, b)
        if key not in largest_cache:
            largest_cache[key] = tree_text_sizes(repo, ["", o.subdir], a, b)
        return largest_cache[key]

    try:
        for proto in o.protocols:
            with servers.serve(proto, served_root) as base:
                rtts = [0.0] if proto == "file" else o.rtt
                # One untimed dump first, so that the first measured run
                # does not pay for a cold server (Apache starts its
                # children, the repository's files come into the cache).
                log("warming up %s:// ..." % proto)
                run_one(o, proto, 0.0, base, repo_name, "warm-up", 0,
                        "svnrdump", ["svnrdump", "dump", "-q",
                                     "--non-interactive", "--config-dir",
                                     o.config_dir, "-r", "%d:%d" % (
                                         start, end), "{url}"],
                        work, {})
                for rtt in rtts:
                    bench_point(o, proto, rtt, base, repo, repo_name, start,
                                end, work, largest, report)
    except SubjectFailed as e:
        print("\nFAILED: %s" % e, flush=True)
        own_work = False    # keep the failed run's output
        return 1
    finally:
        if o.json:
            with open(o.json, "w") as f:
                json.dump(report, f, indent=1)
        if own_work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


def run_one(o, proto, rtt, base, repo_name, mode, rep, name, argv, work,
            runs):
    """One run of one subject; a subject that reads the repository from
    its path (svnadmin) gets no URL and no relay."""
    with contextlib.ExitStack() as stack:
        relay = None
        if proto == "file" or not any("{url}" in w for w in argv):
            url = base
        else:
            relay = stack.enter_context(Relay(server_port(base), rtt))
            url = relayed_url(base, relay.port)
        url += "/" + urllib.parse.quote(repo_name)
        real = [w.replace("{url}", url) for w in argv]
        log("  %s %s:// %s ms, %s #%d ..." % (mode, proto, fmt_rtt(rtt),
                                            name, rep + 1))
        try:
            r = run_subject(name, real, work, o.timeout, relay)
        except SubjectFailed as e:
            # A peer that cannot dump this source (svnrdump rejects some
            # revision properties over http://) leaves its line empty; a
            # failing vornhald ends the benchmark.
            if name.startswith("vornhald"):
                raise
            log("    failed: %s" % e)
            runs.setdefault(name, [])
            return
    if r["server_bytes"] is None:
        log("    %.2f s" % r["wall"])
    else:
        log("    %.2f s, %.2f MiB from the server" % (
            r["wall"], r["server_bytes"] / MiB))
    runs.setdefault(name, []).append(r)


def bench_point(o, proto, rtt, base, repo, repo_name, start, end, work,
                largest, report):
    cap = cap_for(o.caps, rtt)
    a, b = start, end
    note = ""
    if cap is not None and b - a > cap:
        b = a + cap
        note = " (capped from %d:%d by --max-revisions)" % (start, end)
    # "-r 0:B" dumps B+1 revisions; count the real ones (revision 0 has no
    # changes), which keeps rev/s comparable between ranges.
    range_revs = b - a if a == 0 else b - a + 1
    rng_args = ["-r", "%d:%d" % (a, b)]
    print("\n== %s:// at %s ms round trip, revisions %d:%d%s ==" % (
        proto, fmt_rtt(rtt), a, b, note), flush=True)
    sizes = largest(a, b)
    whole = None
    for mode in o.modes:
        runs = {}
        subjects = subjects_for(mode, proto, "{url}", repo, rng_args, o,
                                o.subdir)
        for rep in range(o.repeat):
            # Interleaved: every other repetition runs the peers first.
            order = subjects if rep % 2 == 0 else subjects[::-1]
            for name, argv in order:
                run_one(o, proto, rtt, base, repo_name, mode, rep, name,
                        argv, work, runs)
        summaries = {}
        for name, _ in subjects:
            summaries[name] = summarize(runs[name], range_revs)
        largest_tree = sizes[o.subdir if mode == "subdir" else ""]
        print(format_mode(mode, summaries, largest_tree,
                          whole if mode == "subdir" else None), flush=True)
        if mode == "deltas":
            whole = summaries[subjects[0][0]]
        report["results"].append({
            "protocol": proto, "rtt_ms": rtt, "mode": mode,
            "range": [a, b], "capped": bool(note),
            "largest_tree_texts": largest_tree,
            "medians": summaries,
            "runs": {n: [{k: v for k, v in r.items() if k != "stderr"}
                         for r in rs] for n, rs in runs.items()}})


def _terminate(signum, frame):
    # Unwinds through the finally blocks, which stop the subject, the
    # relays and the servers.
    raise SystemExit(128 + signum)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, _terminate)
    signal.signal(signal.SIGHUP, _terminate)
    sys.exit(main(sys.argv[1:]))
