"""The corpus of real dump files from Subversion's own test suite.

MANIFEST.tsv (in the corpus directory) lists every file with whether it
loads ("yes", "bypass": needs `svnadmin load --bypass-prop-validation`,
"no") and its youngest revision.
"""

import os
import subprocess

import dataclasses


@dataclasses.dataclass(frozen=True)
class Entry:
    name: str
    path: str
    bypass: bool
    youngest: int


def corpus_dir(shared=None):
    """The corpus directory below VORNHALD_SHARED (or shared)."""
    shared = shared or os.environ.get("VORNHALD_SHARED")
    if not shared:
        raise RuntimeError("VORNHALD_SHARED is not set")
    return os.path.join(shared, "corpus")


def loadable(shared=None):
    """Every corpus file that loads, in manifest order."""
    d = corpus_dir(shared)
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
