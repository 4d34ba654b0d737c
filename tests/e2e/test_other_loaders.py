"""Loaders and converters besides svnadmin read vornhald's dumps as they read
svnadmin's.

- `svnrdump load` loads vornhald's dumps of a generated history and of a
  corpus history that changes a file below a fresh copy (the whole
  repository and trunk, with and without --deltas) through svnserve into a
  repository with a pre-revprop-change hook that allows everything; the
  result is compared with the source as after `svnadmin load`
  (lib/compare.py: revision properties, trees, changed paths).
- reposurgeon, a converter to git that reads dump files, builds the same
  commits (branch, parents, author, committer and date, message), branches
  and tags from vornhald's format-2 dump of a whole repository with
  branches and tags as from `svnadmin dump` of it. Skipped where the
  `reposurgeon` command is missing (scripts/setup.sh installs it).
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
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
REVISIONS = 40


def vornhald(url, flags):
    proc = subprocess.run([VORNHALD, "-q"] + flags + [url],
                          capture_output=True)
    if proc.returncode != 0:
        raise AssertionError("vornhald %s %s failed: %s" % (
            " ".join(flags), url, proc.stderr.decode(errors="replace")))
    return proc.stdout


def branched_history(path):
    """A generated history whose HEAD holds branches and tags: the first
    seed that gives one. Returns the seed."""
    for seed in range(1, 50):
        shutil.rmtree(path, ignore_errors=True)
        generator.generate(path, seed, REVISIONS)
        state = RepoState(path)
        head = state.youngest()
        if state.entries(head, "branches") and state.entries(head, "tags"):
            return seed
    raise AssertionError("no seed gives branches and tags")


class Source(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="other-loaders-")
        cls.source = os.path.join(cls.work, "source")
        cls.seed = branched_history(cls.source)
        cls.url = servers.file_url(cls.source)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)


# A corpus file whose changes below a fresh copy svnrdump load must find.
MOVE_AND_MODIFY = "svnrdump__move-and-modify.dump"


class SvnrdumpLoad(Source):
    def sources(self):
        """(label, repository) pairs: the generated history and, where the
        corpus is found, a history that moves trunk and changes a file
        below the copy in the same revision."""
        out = [("seed %d" % self.seed, self.source)]
        try:
            entry = corpus.find(MOVE_AND_MODIFY)
        except (KeyError, RuntimeError, OSError) as e:
            print("skipping %s: corpus not found (%s)" % (MOVE_AND_MODIFY, e),
                  file=sys.stderr)
            return out
        repo = os.path.join(self.work, "move-and-modify")
        if not os.path.exists(repo):
            corpus.load_entry(entry, repo)
        return out + [(entry.name, repo)]

    def test_loads_into_an_equal_repository(self):
        served = os.path.join(self.work, "served")
        os.mkdir(served)
        n = 0
        with servers.svnserve(served, writable=True) as base:
            for label, source in self.sources():
                for mode in (Mode(), Mode(deltas=True), Mode(subdir="trunk"),
                             Mode(subdir="trunk", deltas=True)):
                    n += 1
                    with self.subTest(label, mode=mode.name()):
                        self.load_and_compare(source, mode, served, base,
                                              "t%d" % n, label)

    def load_and_compare(self, source, mode, served, base, name, label):
        dump = vornhald(servers.file_url(source) + "/" + mode.subdir,
                        modes.runs(mode)[0])
        target = corpus.create_repo(os.path.join(served, name))
        hook = os.path.join(target, "hooks", "pre-revprop-change")
        with open(hook, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(hook, 0o755)
        load = subprocess.run(["svnrdump", "load", "-q", "--non-interactive",
                               base + "/" + name], input=dump,
                              capture_output=True)
        what = "%s, %s" % (label, mode.name())
        self.assertEqual(0, load.returncode, "%s: svnrdump load: %s" % (
            what, load.stderr.decode(errors="replace").strip()))
        mismatch = compare.compare(RepoState(source), RepoState(target), mode)
        self.assertIsNone(mismatch, "%s: %s" % (what, mismatch))


def fast_import_records(data):
    """The commits, tags and resets of a git fast-import stream, in order:
    (kind, ref, from, merges, author, committer, tagger, message), with each
    mark replaced by the number of its commit in the stream (blobs, and so
    the marks they take, are left out)."""
    pos, recs, cur = 0, [], None
    while pos < len(data):
        nl = data.find(b"\n", pos)
        nl = len(data) if nl < 0 else nl
        line, pos = data[pos:nl], nl + 1
        if line.startswith(b"data "):
            n = int(line[5:])
            if cur is not None:
                cur["data"] = data[pos:pos + n]
            pos += n
            continue
        word, _, rest = line.partition(b" ")
        if word in (b"commit", b"tag", b"reset", b"blob"):
            cur = {"kind": word.decode(), "ref": rest.decode(errors="replace")}
            recs.append(cur)
        elif cur is not None and word in (b"mark", b"from", b"merge",
                                          b"author", b"committer", b"tagger"):
            cur.setdefault(word.decode(), []).append(rest)
    marks, out = {}, []
    for r in recs:
        if r["kind"] == "blob":
            continue

        def field(key):
            return tuple(marks.get(v, v.decode(errors="replace"))
                         for v in r.get(key, ()))
        if r["kind"] == "commit":
            marks[r["mark"][0]] = "commit %d" % (len(marks) + 1)
        out.append((r["kind"], r["ref"], field("from"), field("merge"),
                    field("author"), field("committer"), field("tagger"),
                    r.get("data")))
    return out


def refs(records):
    """The branches and tags that the records name, sorted."""
    return sorted({r[1] if r[0] != "tag" else "tag " + r[1]
                   for r in records})


@unittest.skipUnless(shutil.which("reposurgeon"),
                     "reposurgeon is not installed (apt-get install "
                     "reposurgeon, or bash scripts/setup.sh)")
class Reposurgeon(Source):
    def convert(self, dump, name):
        """reposurgeon's git fast-import stream of a dump, as records."""
        path = os.path.join(self.work, name + ".dump")
        with open(path, "wb") as f:
            f.write(dump)
        out = path + ".fi"
        proc = subprocess.run(["reposurgeon", "read <" + path,
                               "write >" + out], capture_output=True,
                              cwd=self.work)
        self.assertEqual(0, proc.returncode,
                         "reposurgeon on %s: %s" % (name, proc.stderr))
        with open(out, "rb") as f:
            return fast_import_records(f.read())

    def test_same_commits_branches_and_tags_as_from_svnadmin_dump(self):
        want = self.convert(subprocess.run(
            ["svnadmin", "dump", "-q", self.source], capture_output=True,
            check=True).stdout, "svnadmin")
        got = self.convert(vornhald(self.url, []), "vornhald")
        what = "seed %d" % self.seed
        self.assertTrue(any(r[1].startswith("refs/tags/") for r in want),
                        "%s: svnadmin's dump gives no tags: %s"
                        % (what, refs(want)))
        self.assertEqual(refs(want), refs(got), what + ": branches and tags")
        for i, (w, g) in enumerate(zip(want, got)):
            self.assertEqual(w, g, "%s: record %d of reposurgeon's stream"
                             % (what, i + 1))
        self.assertEqual(len(want), len(got), what + ": number of records")


if __name__ == "__main__":
    unittest.main()
