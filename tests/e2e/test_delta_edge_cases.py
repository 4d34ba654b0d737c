"""Round trips of small histories made with svnmucc that show the hard cases
of the delta editor and the node dumper: replaces with and without copy
source (also those the server compares with the old node), kind changes,
copies of copies, deletions the server does not report, property
deletions, copies of old versions, copy sources in a sibling that shares
trunk's prefix, ranges with copies from several dumped revisions, and
empty texts with their digest line.

Each case is dumped over file:// and svn://, loaded with svnadmin and
compared revision by revision with its source; copies that the dump could
keep must be kept.
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

import harness  # noqa: E402
from modes import Mode  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")
SUBJECT = [VORNHALD, "-q", "{flags}", "{url}"]
EMPTY_MD5 = "d41d8cd98f00b204e9800998ecf8427e"

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
        # The old directory's texts come back on top of the copy: the
        # server, comparing with the old directory, reports nothing.
        ["rm", "trunk/d", "cp", "5", "trunk/e", "trunk/d",
         "put", "{a}", "trunk/d/x", "put", "{b}", "trunk/d/y"],
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
                                Mode(subdir="tags", keep_revnums=True),
                                # Directories that came with a copy of
                                # their parent and never changed since.
                                Mode(subdir="branches/b/d"),
                                Mode(subdir="tags/t/d", keep_revnums=True)]),
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
    # Replaces of a directory by a copy from outside and by a new directory
    # that keep a name of the old one with the same text: the server
    # compares the new directory with the old one.
    "replace from outside": ([
        ["mkdir", "trunk", "mkdir", "trunk2", "mkdir", "trunk/d",
         "put", "{a}", "trunk/d/x", "put", "{b}", "trunk/d/y",
         "mkdir", "trunk2/d", "put", "{a}", "trunk2/d/x",
         "put", "{c}", "trunk2/d/z", "put", "{c}", "trunk/k"],
        ["rm", "trunk/d", "cp", "1", "trunk2/d", "trunk/d",
         "cp", "1", "trunk/k", "trunk/d/y", "rm", "trunk/d/z"],
        ["rm", "trunk/d", "mkdir", "trunk/d", "put", "{a}", "trunk/d/x"],
        ["rm", "trunk/d/x", "cp", "1", "trunk/d/y", "trunk/d/x"],
    ], WHOLE + TRUNK + RANGE),
    # Deleting a directory leaves the texts and properties of a sibling
    # whose name merely extends it.
    "deletion beside a longer name": ([
        ["mkdir", "trunk", "mkdir", "trunk/b", "put", "{c}", "trunk/b/x",
         "mkdir", "trunk/bc", "put", "{c}", "trunk/bc/x",
         "propset", "p", "1", "trunk/bc/x"],
        ["rm", "trunk/b"],
        ["put", "{b}", "trunk/bc/x"],
    ], WHOLE + TRUNK),
    # A copy of the root from revision 0: with --prefix its source (the
    # prefix directory) does not exist yet, so the copy becomes an add.
    "copy of the root from revision 0": ([
        ["cp", "0", "", "full"],
        ["mkdir", "full/x", "cp", "1", "", "again"],
    ], [Mode(), Mode(prefix="p/"), Mode(prefix="a/b/", deltas=True)]),
    # Empty texts, written and copied.
    "empty texts": ([
        ["mkdir", "trunk", "put", "{empty}", "trunk/e",
         "put", "{a}", "trunk/f"],
        ["put", "{empty}", "trunk/f", "cp", "1", "trunk/e", "trunk/e2"],
    ], WHOLE + TRUNK),
    # A deleted property stays deleted when the node is written again; a
    # property change of the dumped directory keeps its other properties; a
    # copy that drops a property of its source does not get it back.
    "property deletion": ([
        ["mkdir", "trunk", "put", "{a}", "trunk/f",
         "propset", "p", "1", "trunk/f", "propset", "q", "2", "trunk/f",
         "propset", "p", "1", "trunk", "propset", "s", "4", "trunk"],
        ["propdel", "p", "trunk/f", "propdel", "p", "trunk"],
        ["put", "{b}", "trunk/f", "propset", "r", "3", "trunk"],
        ["cp", "3", "trunk/f", "trunk/g", "propdel", "q", "trunk/g"],
    ], WHOLE + TRUNK),
    # A directory that loses its last property in the first revision of a
    # range, or below a copy that cannot be kept, arrives as an add that the
    # log calls a change: it is still a new directory for the loader.
    "last property of an added directory": ([
        ["mkdir", "trunk", "mkdir", "trunk/d", "propset", "q", "1", "trunk/d",
         "put", "{a}", "trunk/d/x"],
        ["propdel", "q", "trunk/d"],
        ["cp", "1", "trunk", "branch", "propdel", "q", "branch/d"],
    ], [Mode(), Mode(start=2), Mode(subdir="trunk", start=2), Mode(start=3)]),
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


class EdgeCaseTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="rt-edge-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def assert_roundtrip(self, repo, mode, protocol, label):
        result = harness.roundtrip(SUBJECT, repo, mode, protocol=protocol)
        what = "%s %s over %s" % (label, mode.name(), protocol)
        self.assertTrue(result.ok, what + ": " + result.message)
        # Copies from revision 0 cannot be kept below a prefix.
        lost = 1 if mode.prefix and label.endswith("revision 0") else 0
        self.assertEqual(result.copies_kept, result.copies_source - lost,
                         what + ": copies kept")

    def dump(self, url, *flags):
        r = subprocess.run([VORNHALD, "-q", *flags, url],
                           capture_output=True, check=True)
        return r.stdout

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
