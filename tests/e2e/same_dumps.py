"""Checks that two vornhald binaries write byte-identical dumps.

    /usr/bin/python3 tests/e2e/same_dumps.py OLD NEW [--seeds N]
        [--revisions R] [--protocols file,svn] [--corpus]

For every source (generated histories of seeds 1..N, and with --corpus every
loadable corpus file) and every mode (the whole repository, a range, a
subdirectory dense, with --keep-revnums and with --prefix, a branch, deltas,
-n, an incremental dump from the middle), both binaries dump the same URL and
their standard output and exit status are compared. A refactoring or a new
engine that must not change what is written runs this against the binary it
replaces. Prints one line per difference and a summary; exits with 1 when
anything differs. This is a developer's tool, not a CTest case.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))

import corpus  # noqa: E402
import generator  # noqa: E402
import servers  # noqa: E402
from repostate import DIR, RepoState  # noqa: E402


def modes_for(repo):
    state = RepoState(repo)
    head = state.youngest()
    top = state.entries(head, "")
    branch = None
    if "branches" in top:
        names = sorted(n for n, (k, _) in
                       state.entries(head, "branches").items() if k == DIR)
        branch = "branches/" + names[0] if names else None
    out = [("", []), ("", ["--deltas"]), ("", ["-n"]),
           ("", ["-r", "3:%d" % max(3, head - 5)]),
           ("", ["--incremental", "-r", "%d:HEAD" % max(1, head // 2)]),
           ("", ["--incremental", "--keep-revnums", "-r",
                 "%d:HEAD" % max(1, head // 2)])]
    for sub in filter(None, ("trunk" if "trunk" in top else None, branch)):
        out += [(sub, []), (sub, ["--keep-revnums"]), (sub, ["--prefix", "p/"]),
                (sub, ["--prefix", "a/b/", "--deltas"]),
                (sub, ["--keep-revnums", "--deltas"]),
                (sub, ["-r", "5:HEAD"]),
                (sub, ["--incremental", "-r", "%d:HEAD" % max(1, head // 2)])]
    return out


def dump(binary, url, flags, tmp):
    env = dict(os.environ, TMPDIR=tmp)
    r = subprocess.run([binary, "-q", *flags, url], capture_output=True,
                       env=env, timeout=600)
    return r.returncode, r.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--seeds", type=int, default=6)
    ap.add_argument("--revisions", type=int, default=60)
    ap.add_argument("--protocols", default="file,svn")
    ap.add_argument("--corpus", action="store_true")
    args = ap.parse_args()

    work = tempfile.mkdtemp(prefix="same-dumps-")
    tmp = os.path.join(work, "tmp")
    os.mkdir(tmp)
    repos_dir = os.path.join(work, "repos")
    os.mkdir(repos_dir)
    names = []
    try:
        for seed in range(1, args.seeds + 1):
            name = "g%d" % seed
            generator.generate(os.path.join(repos_dir, name), seed,
                               args.revisions)
            names.append(name)
        if args.corpus:
            for i, entry in enumerate(corpus.loadable()):
                name = "c%d" % i
                corpus.load_entry(entry, os.path.join(repos_dir, name))
                names.append(name)
        cases = differ = 0
        for protocol in args.protocols.split(","):
            with servers.serve(protocol, repos_dir) as base:
                for name in names:
                    for sub, flags in modes_for(os.path.join(repos_dir, name)):
                        url = base + "/" + name + ("/" + sub if sub else "")
                        a = dump(args.old, url, flags, tmp)
                        b = dump(args.new, url, flags, tmp)
                        cases += 1
                        if a != b:
                            differ += 1
                            print("DIFFERS: %s %s %s (status %d/%d, %d/%d "
                                  "bytes)" % (protocol, name + "/" + sub,
                                              " ".join(flags), a[0], b[0],
                                              len(a[1]), len(b[1])))
        print("%d cases, %d differ" % (cases, differ))
        return 1 if differ else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
