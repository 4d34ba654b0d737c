"""The corpus of real dump files from Subversion's own test suite.

MANIFEST.tsv (in the corpus directory) lists every file with whether it
loads ("yes", "bypass": needs `svnadmin load --bypass-prop-validation`,
"no") and its youngest revision.

The corpus is not part of the repository: it is the corpus/ directory below
$VORNHALD_SHARED, or ../shared/corpus beside the clone. Where neither
exists, the tests that read it are skipped (and say so); the generated
histories exercise every mode without it.
"""

import os
import pathlib
import subprocess
import sys
import unittest

import dataclasses

# The clone's top directory (tests/e2e/lib/ is three levels down).
_CLONE = pathlib.Path(__file__).resolve().parents[3]
_reported = False


@dataclasses.dataclass(frozen=True)
class Entry:
    name: str
    path: str
    bypass: bool
    youngest: int


def corpus_dir(shared=None):
    """The corpus directory: corpus/ below shared, else below
    $VORNHALD_SHARED, else ../shared/corpus beside the clone; None when
    the one looked at has no MANIFEST.tsv."""
    shared = shared or os.environ.get("VORNHALD_SHARED")
    d = (os.path.join(shared, "corpus") if shared
         else str(_CLONE.parent / "shared" / "corpus"))
    return d if os.path.isfile(os.path.join(d, "MANIFEST.tsv")) else None


def available(shared=None):
    return corpus_dir(shared) is not None


def require(shared=None):
    """The corpus directory; skips the calling test (with a line on
    standard error, so that a summary shows it) when there is none."""
    global _reported
    d = corpus_dir(shared)
    if d is None:
        where = (os.path.join(shared or os.environ["VORNHALD_SHARED"],
                              "corpus")
                 if shared or os.environ.get("VORNHALD_SHARED")
                 else str(_CLONE.parent / "shared" / "corpus"))
        msg = ("corpus not found at %s (set VORNHALD_SHARED to the "
               "directory that holds corpus/): skipped" % where)
        if not _reported:
            print("NOTE: " + msg, file=sys.stderr)
            _reported = True
        raise unittest.SkipTest(msg)
    return d


def loadable(shared=None):
    """Every corpus file that loads, in manifest order; skips the calling
    test when there is no corpus."""
    d = require(shared)
    out = []
    with open(os.path.join(d, "MANIFEST.tsv"), encoding="utf-8") as f:
        next(f)
        for line in f:
            name, loads, youngest = line.rstrip("\n").split("\t")
            if loads in ("yes", "bypass"):
                out.append(Entry(name, os.path.join(d, name),
                                 loads == "bypass", int(youngest)))
    return out


def find(name, shared=None):
    """The loadable entry whose file name is name (or name + ".dump")."""
    for e in loadable(shared):
        if e.name in (name, name + ".dump", os.path.basename(name)):
            return e
    raise KeyError("no loadable corpus file %r" % name)


def create_repo(path):
    subprocess.run(["svnadmin", "create", path], check=True)
    return path


def load(repo, dump_paths, bypass=False):
    """Loads the dump files into repo in order. Returns None on success,
    else svnadmin's error text."""
    argv = ["svnadmin", "load", "-q", "--no-flush-to-disk"]
    if bypass:
        argv.append("--bypass-prop-validation")
    for p in dump_paths:
        with open(p, "rb") as f:
            r = subprocess.run(argv + [repo], stdin=f, capture_output=True)
        if r.returncode != 0:
            return "svnadmin load of %s failed: %s" % (
                os.path.basename(p),
                r.stderr.decode("utf-8", "replace").strip())
    return None


def load_entry(entry, repo):
    """Creates repo and loads the corpus entry into it."""
    create_repo(repo)
    err = load(repo, [entry.path], entry.bypass)
    if err:
        raise RuntimeError(err)
    return repo
