"""The rebuilt history is the source's history, not only its trees.

Small histories made with svnmucc show, in every kind of dump, that a
loaded dump lists the same changed paths as the source (`svnlook changed`:
the action, the copy source, whether the text and whether the properties
changed) and the same revision properties:

- replaces: a file by a new file, a directory by a new directory, each also
  by a copy, a file by a directory, and a directory by a copy from outside
  the dumped subtree (which a subdirectory dump writes as a plain replace);
- changes of properties alone and of text alone, and copies whose
  properties equal their source's (no property block, as svnadmin dump);
- revision properties of the users' own besides svn:log, svn:author and
  svn:date, on some revisions, also where a subdirectory dump pads.

Each history is dumped whole, as trunk (dense, with --keep-revnums, with
--prefix), with -r A:B, incrementally and with --deltas, over file:// and
svn://, and once over http://; the dump is loaded with svnadmin load and
compared with the source (lib/compare.py). Two runs of the same dump write
the same bytes. The checks themselves pass svnadmin's dumps of these
histories and find each kind of fault made on purpose in them.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))

import corpus  # noqa: E402
import dumpfile  # noqa: E402
import harness  # noqa: E402
import servers  # noqa: E402
from modes import Mode  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")
SUBJECT = [VORNHALD, "-q", "{flags}", "{url}"]
# A sound dump of a whole repository in format 2, to damage.
SVNADMIN = ["sh", "-c", 'svnadmin dump -q "$(echo "${1#file://}" | sed '
            '"s/%20/ /g")"', "sh", "{url}"]


# Every history starts with these two revisions: a tree in r1 (the
# property p on trunk/d, trunk/f and trunk/e/m, q on trunk), a new text of
# trunk/g and other/x in r2.
BASE = [
    ["mkdir", "trunk", "mkdir", "trunk/d", "mkdir", "trunk/e", "mkdir",
     "other", "mkdir", "other/y", "put", "{a}", "trunk/f", "put", "{a}",
     "trunk/g", "put", "{a}", "trunk/d/n", "put", "{a}", "other/x", "put",
     "{a}", "other/y/z", "put", "{a}", "trunk/e/m", "propset", "p", "1",
     "trunk/d", "propset", "p", "1", "trunk/f", "propset", "p", "1",
     "trunk/e/m", "propset", "q", "1", "trunk"],
    ["put", "{b}", "trunk/g", "put", "{b}", "other/x"],
]

# name: the svnmucc commits after BASE, each a list of actions, or a pair
# of actions and revision properties ("NAME=VALUE").
HISTORIES = {
    # Replaces.
    "new file and directory": [
        ["rm", "trunk/f", "put", "{b}", "trunk/f",
         "rm", "trunk/d", "mkdir", "trunk/d", "put", "{b}", "trunk/d/n"],
        ["put", "{a}", "trunk/g"]],
    "copies of a file and a directory": [
        ["rm", "trunk/g", "cp", "1", "trunk/f", "trunk/g",
         "rm", "trunk/e", "cp", "2", "trunk/d", "trunk/e"],
        ["put", "{a}", "trunk/g"]],
    "file by directory and back": [
        ["rm", "trunk/f", "mkdir", "trunk/f", "rm", "trunk/e", "put", "{a}",
         "trunk/e"],
        ["put", "{a}", "trunk/g"]],
    "copies from outside trunk": [
        ["rm", "trunk/d", "cp", "2", "other/y", "trunk/d",
         "rm", "trunk/f", "cp", "2", "other/x", "trunk/f"],
        ["put", "{a}", "trunk/g"]],
    # Text and property changes.
    "text alone, properties alone": [
        ["put", "{b}", "trunk/f"], ["propset", "p", "2", "trunk/f"],
        ["propset", "p", "3", "trunk/d", "propset", "q", "2", "trunk"]],
    "properties alone below a copy": [
        ["cp", "2", "trunk/e", "trunk/c", "propset", "p", "2",
         "trunk/c/m"]],
    "text alone below a copy": [
        ["cp", "2", "trunk/e", "trunk/c", "put", "{b}", "trunk/c/m"]],
    "copies with their source's properties": [
        ["cp", "2", "trunk/d", "trunk/d2", "cp", "2", "trunk/f", "trunk/f2"],
        ["mkdir", "branches", "cp", "3", "trunk", "branches/b"]],
    "copy of an older text": [
        ["cp", "1", "trunk/g", "trunk/g1"]],
    # Revision properties (r4 leaves trunk alone: a padding revision of
    # a trunk dump with --keep-revnums).
    "revision properties": [
        (["propset", "p", "2", "trunk/f"],
         ["user:ticket=T-1", "user:note=two\nlines"]),
        (["put", "{a}", "other/x"], ["user:ticket=T-2"]),
        (["put", "{a}", "trunk/h"], ["user:empty="]),
        ["put", "{a}", "trunk/i"]],
}


def make_history(repo, work, commits):
    """Creates repo with BASE and commits on top of it."""
    texts = {}
    for key, text in (("{a}", "one\n"), ("{b}", "two\n")):
        texts[key] = os.path.join(work, key[1])
        with open(texts[key], "w") as f:
            f.write(text)
    corpus.create_repo(repo)
    url = servers.file_url(repo)
    for commit in BASE + commits:
        actions, revprops = commit if isinstance(commit, tuple) \
            else (commit, [])
        argv = ["svnmucc", "-U", url, "-m", "change"]
        for rp in revprops:
            argv += ["--with-revprop", rp]
        argv += [texts.get(a, a) for a in actions]
        subprocess.run(argv, check=True, capture_output=True)


# The kinds of dump.
MODES = (
    Mode(),
    Mode(deltas=True),
    Mode(subdir="trunk"),
    Mode(subdir="trunk", keep_revnums=True),
    Mode(subdir="trunk", prefix="p/"),
    Mode(subdir="trunk", keep_revnums=True, prefix="a/b/", deltas=True),
    Mode(start=2),
    Mode(subdir="trunk", start=2),
    Mode(incremental_from=3),
    Mode(subdir="trunk", incremental_from=3, deltas=True),
    Mode(dry_run=True),
)


class HistoryFidelity(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="fidelity-")
        cls.served = os.path.join(cls.work, "served")
        os.mkdir(cls.served)
        cls.repos = {}
        for i, (name, commits) in enumerate(HISTORIES.items()):
            repo = os.path.join(cls.served, "h%d" % i)
            make_history(repo, cls.work, commits)
            cls.repos[name] = repo

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def check(self, name, mode, protocol, url_base=None):
        r = harness.roundtrip(SUBJECT, self.repos[name], mode, protocol,
                              url_base=url_base)
        self.assertTrue(r.ok, "%s, %s over %s: %s"
                        % (name, mode.name(), protocol, r.message))
        if not mode.dry_run:
            self.assertEqual(r.copies_source, r.copies_kept,
                             "%s, %s: copies kept" % (name, mode.name()))

    def test_every_mode_over_file_and_svn(self):
        for name in HISTORIES:
            for protocol in ("file", "svn"):
                for mode in MODES:
                    with self.subTest(name, mode=mode.name(),
                                      protocol=protocol):
                        self.check(name, mode, protocol)

    def test_http(self):
        with servers.apache(self.served) as base:
            for name in HISTORIES:
                for mode in (Mode(), Mode(subdir="trunk", keep_revnums=True)):
                    with self.subTest(name, mode=mode.name()):
                        self.check(name, mode, "http", url_base=base)

    def test_two_runs_write_the_same_bytes(self):
        for name, repo in self.repos.items():
            url = servers.file_url(repo)
            for extra in ([], ["--deltas"], ["--keep-revnums"]):
                for target in (url, url + "/trunk"):
                    argv = [VORNHALD, "-q"] + extra + [target]
                    one, two = (subprocess.run(argv, capture_output=True,
                                               check=True).stdout
                                for _ in range(2))
                    self.assertEqual(one, two, " ".join(argv))


    def test_the_checks_catch_damaged_dumps(self):
        # A sound dump (svnadmin's) passes; each damage of the kinds above
        # is found where it was made.
        cases = (
            # history, damage, beginning of the difference ({} the name)
            ("new file and directory", dumpfile.replace_as_change,
             "action: expected R, got M"),
            ("text alone, properties alone", dumpfile.text_with_props,
             "text: expected unchanged, got changed"),
            ("copies with their source's properties", dumpfile.props_on_copy,
             "properties: expected unchanged, got changed"),
            ("revision properties", dumpfile.drop_revprop,
             "{}: expected "),
        )
        for name, damage, text in cases:
            with self.subTest(name, damage=damage.__name__):
                r = harness.roundtrip(SVNADMIN, self.repos[name], Mode())
                self.assertTrue(r.ok, r.message)
                found = {}

                def transform(data):
                    out = damage(data)
                    found["where"] = out[1:]
                    return out[0]
                r = harness.roundtrip(SVNADMIN, self.repos[name], Mode(),
                                      transform=transform)
                self.assertIsNotNone(r.mismatch, r.message)
                rev, what = found["where"]
                self.assertEqual(rev, r.mismatch.revision)
                if damage is dumpfile.drop_revprop:
                    self.assertIsNone(r.mismatch.path)
                else:
                    self.assertEqual(what, r.mismatch.path)
                self.assertTrue(r.mismatch.difference.startswith(
                    text.format(what)), r.mismatch.difference)


if __name__ == "__main__":
    unittest.main()
