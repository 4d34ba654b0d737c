"""Round trips with vornhald as the subject: every loadable corpus file,
generated histories in every mode, and small histories made with svnmucc
that show the hard cases (replaces, kind changes, copies of copies,
deletions the server does not report, property deletions, copies of old
versions, sibling copy sources, empty texts).

Each case dumps a source repository, loads the dump with svnadmin into a
fresh repository and compares every revision (revision properties, paths,
kinds, texts and properties) with the source; copies that the dump could
keep must be kept.

VORNHALD_SEEDS (default 20) sets the number of generated histories and
VORNHALD_SEED_REVS (default 60) their length; VORNHALD_ALL_MODES=1 runs
every mode on every seed instead of a rotating share of them.
"""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))

import corpus  # noqa: E402
import generator  # noqa: E402
import harness  # noqa: E402
from modes import Mode  # noqa: E402
from repostate import DIR, RepoState  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")
SUBJECT = [VORNHALD, "-q", "{flags}", "{url}"]
SEEDS = int(os.environ.get("VORNHALD_SEEDS", "20"))
SEED_REVS = int(os.environ.get("VORNHALD_SEED_REVS", "60"))
ALL_MODES = os.environ.get("VORNHALD_ALL_MODES") == "1"
EMPTY_MD5 = "d41d8cd98f00b204e9800998ecf8427e"


def variants(subdir, start=None, end=None):
    """The mode and its --keep-revnums and --prefix forms, each also with
    --deltas."""
    base = [Mode(subdir=subdir, start=start, end=end),
            Mode(subdir=subdir, start=start, end=end, keep_revnums=True),
            Mode(subdir=subdir, start=start, end=end, prefix="p/"),
            Mode(subdir=subdir, start=start, end=end, prefix="a/b/")]
    return base + [Mode(subdir=m.subdir, start=m.start, end=m.end,
                        keep_revnums=m.keep_revnums, prefix=m.prefix,
                        deltas=True) for m in base]


def dirs_at_head(repo):
    """Every directory path of the repository at HEAD."""
    state = RepoState(repo)
    head = state.youngest()
    out, todo = [], [""]
    while todo:
        path = todo.pop()
        for name, (kind, _) in state.entries(head, path).items():
            child = path + "/" + name if path else name
            if kind == DIR:
                out.append(child)
                todo.append(child)
    return sorted(out)


def seed_modes(repo, seed):
    """The modes for one generated history: the whole repository from 0 and
    with a range, trunk, a branch and a deep directory, each in all
    variants, and dry runs."""
    dirs = dirs_at_head(repo)
    head = RepoState(repo).youngest()
    branch = next((d for d in dirs if re.fullmatch(r"branches/[^/]+", d)),
                  None)
    deep = next((d for d in dirs if d.startswith("trunk/")
                 and d.count("/") >= 2), None) or \
        next((d for d in dirs if d.startswith("trunk/")), None)
    modes = [Mode(), Mode(deltas=True),
             Mode(start=3, end=head - 5), Mode(start=3, end=head - 5,
                                                deltas=True),
             Mode(dry_run=True), Mode(subdir="trunk", dry_run=True)]
    for subdir in filter(None, ("trunk", branch, deep)):
        modes += variants(subdir)
    modes += variants("trunk", start=5)
    if ALL_MODES:
        return modes
    # A rotating share: every mode is met by several seeds.
    share = 4
    return modes[:2] + [m for i, m in enumerate(modes[2:])
                        if i % share == seed % share]


class RoundTrip(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="rt-vornhald-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def assert_roundtrip(self, repo, mode, protocol="file", bypass=False,
                         label=""):
        result = harness.roundtrip(SUBJECT, repo, mode, protocol=protocol,
                                   bypass=bypass)
        what = "%s %s over %s" % (label, mode.name(), protocol)
        self.assertTrue(result.ok, what + ": " + result.message)
        if not mode.dry_run:
            self.assertEqual(result.copies_kept, result.copies_source,
                             what + ": copies kept")
        return result

    def dump(self, url, *flags):
        r = subprocess.run([VORNHALD, "-q", *flags, url],
                           capture_output=True, check=True)
        return r.stdout


class CorpusTest(RoundTrip):
    def test_every_loadable_corpus_file(self):
        for i, entry in enumerate(corpus.loadable()):
            repo = os.path.join(self.work, "c%d" % i)
            corpus.load_entry(entry, repo)
            with self.subTest(entry.name):
                self.assert_roundtrip(repo, Mode(), "file", entry.bypass,
                                      entry.name)
                self.assert_roundtrip(repo, Mode(deltas=True), "svn",
                                      entry.bypass, entry.name)


class GeneratedTest(RoundTrip):
    def test_generated_histories(self):
        for seed in range(1, SEEDS + 1):
            repo = os.path.join(self.work, "g%d" % seed)
            generator.generate(repo, seed, SEED_REVS)
            protocol = ("file", "svn")[seed % 2]
            for mode in seed_modes(repo, seed):
                with self.subTest(seed=seed, mode=mode.name()):
                    self.assert_roundtrip(repo, mode, protocol,
                                          label="seed %d" % seed)
            shutil.rmtree(repo, ignore_errors=True)

    def test_dry_run_writes_no_texts(self):
        repo = os.path.join(self.work, "g")
        generator.generate(repo, 7, 30)
        dump = self.dump(pathlib.Path(repo).as_uri(), "-n")
        lengths = re.findall(rb"^Text-content-length: (\d+)$", dump, re.M)
        self.assertTrue(lengths)
        self.assertEqual({b"0"}, set(lengths))


# Small histories, each a list of svnmucc commands per revision, and the
# modes whose round trips show the case.
WHOLE = [Mode(), Mode(deltas=True)]
TRUNK = [Mode(subdir="trunk"), Mode(subdir="trunk", deltas=True)]
RANGE = [Mode(start=3), Mode(start=3, deltas=True)]

EDGE_CASES = {
    # A replace by a copy and a replace by a new node, of a file and of a
    # directory; the directory's replace keeps some names of the old one.
    "replaces": ([
        ["mkdir", "trunk", "put", "{a}", "trunk/f", "put", "{b}", "trunk/g",
         "mkdir", "trunk/d", "put", "{a}", "trunk/d/x",
         "put", "{b}", "trunk/d/y", "mkdir", "trunk/e",
         "put", "{c}", "trunk/e/x", "put", "{a}", "trunk/e/z"],
        ["rm", "trunk/f", "cp", "1", "trunk/g", "trunk/f"],
        ["rm", "trunk/g", "put", "{c}", "trunk/g"],
        ["rm", "trunk/d", "cp", "1", "trunk/e", "trunk/d",
         "put", "{b}", "trunk/d/x"],
        ["rm", "trunk/e", "mkdir", "trunk/e", "put", "{b}", "trunk/e/x"],
        ["rm", "trunk/d", "cp", "3", "trunk/d", "trunk/d"],
    ], WHOLE + TRUNK + RANGE),
    # A file becomes a directory and a directory a file.
    "kind changes": ([
        ["mkdir", "trunk", "put", "{a}", "trunk/f", "mkdir", "trunk/d",
         "put", "{b}", "trunk/d/x"],
        ["rm", "trunk/f", "mkdir", "trunk/f", "put", "{c}", "trunk/f/y",
         "rm", "trunk/d", "put", "{a}", "trunk/d"],
        ["rm", "trunk/f", "cp", "1", "trunk/f", "trunk/f"],
    ], WHOLE + TRUNK + RANGE),
    # A branch of trunk, a tag of the branch, a copy of a file of the tag.
    "copies of copies": ([
        ["mkdir", "trunk", "mkdir", "branches", "mkdir", "tags",
         "put", "{a}", "trunk/f", "mkdir", "trunk/d",
         "put", "{b}", "trunk/d/x"],
        ["cp", "1", "trunk", "branches/b", "put", "{c}", "branches/b/f"],
        ["cp", "2", "branches/b", "tags/t"],
        ["cp", "3", "tags/t/d", "trunk/d2", "cp", "3", "tags/t/f",
         "trunk/f2"],
    ], WHOLE + TRUNK + RANGE + [Mode(subdir="branches"),
                                Mode(subdir="tags", keep_revnums=True)]),
    # Deletions inside a copy made in the same revision: the server adds
    # the copy without them, the log lists them.
    "deletion listed but not driven": ([
        ["mkdir", "trunk", "mkdir", "branches", "put", "{a}", "trunk/f",
         "mkdir", "trunk/d", "put", "{b}", "trunk/d/x",
         "put", "{c}", "trunk/d/y"],
        ["cp", "1", "trunk", "branches/b", "rm", "branches/b/f",
         "rm", "branches/b/d/x"],
        ["put", "{c}", "branches/b/d/z"],
    ], WHOLE + RANGE + [Mode(subdir="branches"),
                        Mode(subdir="branches", deltas=True)]),
    # A copy from a sibling whose name begins like trunk's is a copy from
    # outside the dumped directory: the dump writes it as an add.
    "sibling copy source": ([
        ["mkdir", "trunk", "mkdir", "trunk2", "put", "{a}", "trunk2/f",
         "mkdir", "trunk2/d", "put", "{b}", "trunk2/d/x"],
        ["cp", "1", "trunk2/f", "trunk/f", "cp", "1", "trunk2/d", "trunk/d"],
        ["cp", "2", "trunk/d", "trunk/e"],
    ], TRUNK + [Mode(subdir="trunk", keep_revnums=True)]),
    # Empty texts, written and copied.
    "empty texts": ([
        ["mkdir", "trunk", "put", "{empty}", "trunk/e",
         "put", "{a}", "trunk/f"],
        ["put", "{empty}", "trunk/f", "cp", "1", "trunk/e", "trunk/e2"],
    ], WHOLE + TRUNK),
    # A deleted property stays deleted when the node is written again.
    "property deletion": ([
        ["mkdir", "trunk", "put", "{a}", "trunk/f",
         "propset", "p", "1", "trunk/f", "propset", "q", "2", "trunk/f",
         "propset", "p", "1", "trunk"],
        ["propdel", "p", "trunk/f", "propdel", "p", "trunk"],
        ["put", "{b}", "trunk/f", "propset", "r", "3", "trunk"],
        ["cp", "3", "trunk/f", "trunk/g", "propdel", "q", "trunk/g"],
    ], WHOLE + TRUNK),
    # A copy of an old version whose text was changed in the same revision
    # into the source's current text.
    "copy of an old version": ([
        ["mkdir", "trunk", "put", "{a}", "trunk/f"],
        ["put", "{b}", "trunk/f"],
        ["cp", "1", "trunk/f", "trunk/g", "put", "{b}", "trunk/g"],
        ["rm", "trunk/f", "put", "{c}", "trunk/f"],
        ["cp", "2", "trunk/f", "trunk/h", "put", "{c}", "trunk/h"],
    ], WHOLE + TRUNK + RANGE),
    # A range starting above 1 with copies from several earlier dumped
    # revisions.
    "copies in a range": ([
        ["mkdir", "trunk", "put", "{a}", "trunk/f"],
        ["put", "{b}", "trunk/f"],
        ["put", "{c}", "trunk/f", "mkdir", "trunk/d"],
        ["put", "{a}", "trunk/f", "put", "{b}", "trunk/d/x"],
        ["cp", "3", "trunk/f", "trunk/f3", "cp", "4", "trunk/f", "trunk/f4",
         "cp", "4", "trunk/d", "trunk/d4"],
        ["cp", "5", "trunk/f3", "trunk/f5", "cp", "3", "trunk/d", "trunk/d3"],
    ], [Mode(start=3), Mode(start=3, deltas=True), Mode(start=4, end=6),
        Mode(subdir="trunk", start=3)]),
}


class EdgeCaseTest(RoundTrip):
    def make_repo(self, name, revisions):
        texts = {"a": b"alpha\n", "b": b"beta\nbeta\n",
                 "c": b"gamma\n" * 40, "empty": b""}
        paths = {}
        for key, data in texts.items():
            paths[key] = os.path.join(self.work, key + ".txt")
            with open(paths[key], "wb") as f:
                f.write(data)
        repo = os.path.join(self.work, name.replace(" ", "-"))
        subprocess.run(["svnadmin", "create", repo], check=True)
        url = pathlib.Path(repo).as_uri()
        for i, commands in enumerate(revisions, 1):
            argv = [c.format(**paths) for c in commands]
            subprocess.run(["svnmucc", "-m", "r%d" % i, "-U", url]
                           + argv, check=True, capture_output=True)
        return repo

    def test_edge_cases(self):
        for name, (revisions, modes) in EDGE_CASES.items():
            repo = self.make_repo(name, revisions)
            for mode in modes:
                for protocol in ("file", "svn"):
                    with self.subTest(name, mode=mode.name(), over=protocol):
                        self.assert_roundtrip(repo, mode, protocol,
                                              label=name)

    def test_empty_text_has_its_digest(self):
        repo = self.make_repo("empty texts", EDGE_CASES["empty texts"][0])
        dump = self.dump(pathlib.Path(repo).as_uri()).decode()
        record = re.search(r"Node-path: trunk/e\nNode-kind: file\n"
                           r"Node-action: add\n(.*?)\n\n", dump, re.S)
        self.assertIsNotNone(record)
        self.assertIn("Text-content-length: 0\n", record.group(1))
        self.assertIn("Text-content-md5: " + EMPTY_MD5, record.group(1))

    def test_replace_is_a_deletion_then_an_add(self):
        repo = self.make_repo("replaces", EDGE_CASES["replaces"][0])
        dump = self.dump(pathlib.Path(repo).as_uri()).decode("utf-8",
                                                             "replace")
        r2 = dump.split("Revision-number: 2\n")[1].split("Revision-number")[0]
        self.assertRegex(r2, r"Node-path: trunk/f\nNode-action: delete\n\n\n"
                             r"Node-path: trunk/f\nNode-kind: file\n"
                             r"Node-action: add\nNode-copyfrom-rev: 1\n"
                             r"Node-copyfrom-path: trunk/g\n")


if __name__ == "__main__":
    unittest.main()
