"""Round trips with Subversion's own svnrdump as the dump program.

They show that the harness judges a sound dump program as sound (the whole
loadable corpus and a few generated histories, full and incremental, over
file:// and svn://) and that it names the first revision, path and
difference of a damaged dump.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "lib"))

import corpus  # noqa: E402
import dumpfile  # noqa: E402
import generator  # noqa: E402
import harness  # noqa: E402
import servers  # noqa: E402
from modes import Mode  # noqa: E402
from repostate import RepoState  # noqa: E402

SVNRDUMP = ["svnrdump", "dump", "-q", "--non-interactive", "{flags}", "{url}"]

# svnrdump rewrites the CRLF line endings of these log messages to LF; the
# harness must see that as a difference of svn:log.
SVNRDUMP_CHANGES_LOG = {
    "svnrdump__copy-bad-line-endings.dump",
    "svnrdump__copy-bad-line-endings2.dump",
    "svnsync__copy-bad-line-endings.dump",
    "svnsync__copy-bad-line-endings2.dump",
}

# Generated histories: (seed, revisions, incremental start).
SEEDS = ((1, 60, 31), (2, 60, 17), (3, 40, 39))

PROTOCOLS = ("file", "svn")


def verbose(name, result):
    """One line per case: pass or fail, copies, time, memory, size."""
    if not os.environ.get("ROUNDTRIP_QUIET"):
        print("%s: %s" % (name, result.summary()), file=sys.stderr)


class Workdir(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="rt-svnrdump-")
        self.addCleanup(shutil.rmtree, self.dir, True)


class CorpusRoundTrip(Workdir):
    """Every loadable corpus file, dumped whole and incrementally."""

    def test_corpus(self):
        entries = corpus.loadable()
        self.assertGreater(len(entries), 60)
        root = os.path.join(self.dir, "src")
        os.mkdir(root)
        for e in entries:
            corpus.load_entry(e, os.path.join(root, e.name[:-len(".dump")]))
        for protocol in PROTOCOLS:
            with servers.serve(protocol, root) as base:
                for e in entries:
                    src = os.path.join(root, e.name[:-len(".dump")])
                    ms = [Mode()]
                    if e.youngest >= 1:
                        ms.append(Mode(incremental_from=(e.youngest + 1) // 2))
                    for mode in ms:
                        with self.subTest(file=e.name, mode=mode.name(),
                                          protocol=protocol):
                            r = harness.roundtrip(
                                SVNRDUMP, src, mode, protocol,
                                bypass=e.bypass, url_base=base,
                                workdir=tempfile.mkdtemp(dir=self.dir))
                            known = e.name in SVNRDUMP_CHANGES_LOG
                            verbose("%s %s %s%s" % (
                                e.name, mode.name(), protocol,
                                " (expected to fail: svnrdump rewrites CRLF)"
                                if known else ""), r)
                            if known:
                                self.assertFalse(r.ok)
                                self.assertIsNone(r.mismatch.path)
                                self.assertIn("svn:log: expected",
                                              r.mismatch.difference)
                                self.assertIn("\\r", r.mismatch.difference)
                                continue
                            self.assertTrue(r.ok, r.message)
                            self.assertEqual(r.copies_kept, r.copies_source)


class GeneratedRoundTrip(Workdir):
    """A few seeded histories, dumped whole and incrementally."""

    def test_seeds(self):
        for seed, revs, inc in SEEDS:
            src = generator.generate(os.path.join(self.dir, "seed%d" % seed),
                                     seed, revs)
            for protocol in PROTOCOLS:
                for mode in (Mode(), Mode(incremental_from=inc)):
                    with self.subTest(seed=seed, mode=mode.name(),
                                      protocol=protocol):
                        r = harness.roundtrip(SVNRDUMP, src, mode, protocol)
                        verbose("seed %d %s %s" % (seed, mode.name(),
                                                   protocol), r)
                        self.assertTrue(r.ok, r.message)
                        self.assertEqual(r.revisions, revs + 1)
                        self.assertGreater(r.copies_source, 0)
                        self.assertEqual(r.copies_kept, r.copies_source)
                        self.assertGreater(r.size, 0)
                        self.assertGreater(r.peak_kb, 0)


class DamagedDump(Workdir):
    """A damaged dump fails, naming the first revision, path and
    difference."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="rt-damage-")
        cls.src = generator.generate(os.path.join(cls.tmp, "src"), 5, 25)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def damaged(self, damage):
        found = {}

        def transform(data):
            out = damage(data)
            found["where"] = out[1:]
            return out[0]
        r = harness.roundtrip(SVNRDUMP, self.src, Mode(), "file",
                              transform=transform)
        self.assertFalse(r.ok)
        self.assertIsNotNone(r.mismatch, r.message)
        return r.mismatch, found["where"]

    def test_damage(self):
        cases = (
            # damage, expected text of the difference (beginning)
            (dumpfile.corrupt_log, "svn:log: expected "),
            (dumpfile.corrupt_node_prop, "property '%(prop)s': expected "),
            (dumpfile.corrupt_text, "text: expected md5 "),
            (dumpfile.drop_file_add, "missing in rebuilt repository"),
        )
        for damage, text in cases:
            with self.subTest(damage=damage.__name__):
                m, where = self.damaged(damage)
                self.assertEqual(m.revision, where[0])
                if len(where) > 1:
                    self.assertEqual(m.path, where[1])
                prop = where[2] if len(where) > 2 else ""
                self.assertTrue(m.difference.startswith(text % {"prop": prop}),
                                m.difference)
                self.assertIn("revision %d" % where[0], str(m))

    def test_missing_revision(self):
        """A dump that stops early names the first missing revision."""
        def cut(data):
            records = dumpfile.parse(data)
            i = next(i for i, r in enumerate(records)
                     if r.get(b"Revision-number") == b"20")
            return dumpfile.unparse(records[:i])
        r = harness.roundtrip(SVNRDUMP, self.src, Mode(), "file",
                              transform=cut)
        self.assertFalse(r.ok)
        self.assertEqual(r.mismatch.revision, 20)
        self.assertIn("ends at revision 19, expected 25", r.message)

    def test_failing_subject(self):
        r = harness.roundtrip(["sh", "-c", "echo broken >&2; exit 3", "sh"],
                              self.src, Mode(), "file")
        self.assertFalse(r.ok)
        self.assertIn("status 3", r.message)
        self.assertIn("broken", r.message)


class Mapping(Workdir):
    """What the harness expects of each kind of dump, on a small history in
    which trunk changes only in revisions 5, 9, 10 and 11."""

    @classmethod
    def setUpClass(cls):
        import subprocess
        cls.tmp = tempfile.mkdtemp(prefix="rt-mapping-")
        repo = os.path.join(cls.tmp, "r")
        corpus.create_repo(repo)
        url = servers.file_url(repo)
        steps = (["mkdir", "other"], ["put", "/dev/null", "other/a"],
                 ["propset", "p", "1", "other/a"],
                 ["propset", "p", "2", "other/a"],
                 ["mkdir", "trunk", "put", "/dev/null", "trunk/f"],
                 ["propset", "p", "3", "other/a"],
                 ["propset", "p", "4", "other/a"],
                 ["propset", "p", "5", "other/a"],
                 ["propset", "p", "6", "trunk/f"],
                 ["cp", "4", "other", "trunk/o"],
                 ["cp", "9", "trunk/f", "trunk/g"],
                 ["propset", "p", "7", "other/a"])
        for step in steps:
            subprocess.run(["svnmucc", "-m", "m", "-U", url] + step,
                           check=True, capture_output=True)
        cls.src = RepoState(repo)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, True)

    def test_revisions(self):
        from modes import expected_revisions, runs
        cases = (
            # mode, [(local, kind, source revision)] after revision 0
            (Mode(), [(i, "real", i) for i in range(1, 13)]),
            (Mode(subdir="trunk"),
             [(1, "real", 5), (2, "real", 9), (3, "real", 10),
              (4, "real", 11)]),
            (Mode(subdir="trunk", keep_revnums=True),
             [(1, "padding", None), (2, "padding", None),
              (3, "padding", None), (4, "padding", None), (5, "real", 5),
              (6, "padding", 5), (7, "padding", 5), (8, "padding", 5),
              (9, "real", 9), (10, "real", 10), (11, "real", 11)]),
            (Mode(subdir="trunk", end=8), [(1, "real", 5)]),
            (Mode(subdir="trunk", start=7), [(1, "real", 9), (2, "real", 10),
                                             (3, "real", 11)]),
            (Mode(start=10, end=11), [(1, "real", 10), (2, "real", 11)]),
            (Mode(start=11, keep_revnums=True),
             [(i, "padding", None) for i in range(1, 11)]
             + [(11, "real", 11), (12, "real", 12)]),
        )
        for mode, want in cases:
            with self.subTest(mode=mode.name()):
                got = expected_revisions(self.src, mode)
                first = (0, "real", 0) if not mode.subdir and not mode.start \
                    else (0, "fresh", None)
                self.assertEqual([(e.local, e.kind, e.source_rev)
                                  for e in got], [first] + want)
        self.assertEqual(runs(Mode(subdir="trunk", incremental_from=9,
                                   keep_revnums=True)),
                         [["-r", "0:8", "--keep-revnums"],
                          ["-r", "9:HEAD", "--incremental",
                           "--keep-revnums"]])

    def test_copies_in_scope(self):
        from modes import settle_range, source_copies
        cases = ((Mode(), 2), (Mode(subdir="trunk"), 1),
                 (Mode(subdir="trunk", start=10), 0),
                 (Mode(subdir="other"), 0))
        for mode, want in cases:
            with self.subTest(mode=mode.name()):
                revs = settle_range(self.src, mode)
                self.assertEqual(source_copies(self.src, mode, revs), want)


class Generator(Workdir):
    def test_same_seed_same_repository(self):
        a = generator.generate(os.path.join(self.dir, "a"), 11, 30)
        b = generator.generate(os.path.join(self.dir, "b"), 11, 30)
        c = generator.generate(os.path.join(self.dir, "c"), 12, 30)
        dumps = [self._svnadmin_dump(p) for p in (a, b, c)]
        self.assertEqual(dumps[0], dumps[1])
        self.assertNotEqual(dumps[0], dumps[2])

    def _svnadmin_dump(self, repo):
        import subprocess
        return subprocess.run(["svnadmin", "dump", "-q", repo], check=True,
                              capture_output=True).stdout

    def test_history_has_what_it_promises(self):
        src = RepoState(generator.generate(os.path.join(self.dir, "g"), 1,
                                           120))
        seen = set()
        for rev in range(1, src.youngest() + 1):
            props = src.revprops(rev)
            if "svn:author" not in props:
                seen.add("no author")
            if props.get("svn:log") == b"":
                seen.add("empty log")
            changes = src.changes(rev)
            if not changes:
                seen.add("empty revision")
            if changes and all(c[0] == 0 for c in changes.values()) and all(
                    src.kind(rev, p) == 2 or src.text(rev, p)
                    == src.text(rev - 1, p) for p in changes):
                seen.add("property-only revision")
            for path, (ck, nk, cf_path, cf_rev) in changes.items():
                if cf_path is not None:
                    seen.add("copy from r%s" % ("older" if cf_rev < rev - 1
                                                else "previous"))
                    if path.startswith("trunk/") and \
                            not cf_path.startswith("trunk"):
                        seen.add("copy into trunk from outside")
                    if path.startswith(("branches/", "tags/")) and \
                            cf_path == "trunk":
                        seen.add("branch or tag of trunk")
                if ck == 3:
                    before = src.kind(rev - 1, path)
                    if before != nk:
                        seen.add("replace changing kind")
                for ch in " %#":
                    if ch in path:
                        seen.add("name with %r" % ch)
                if any(ord(ch) > 127 for ch in path):
                    seen.add("non-ASCII name")
                if nk == 1 and ck != 2:
                    text = src.text(rev, path)
                    if not text:
                        seen.add("empty file")
                    if b"\0" in text:
                        seen.add("binary file")
                if ck != 2:
                    for v in src.props(rev, path).values():
                        if b"\0" in v:
                            seen.add("NUL in property")
                        if b"\n" in v:
                            seen.add("newline in property")
            if changes and all(p.split("/")[0] not in ("", "trunk")
                               for p in changes):
                seen.add("revision outside trunk")
            if "" in changes and src.props(rev, "") != src.props(rev - 1, ""):
                seen.add("root property")
            if "trunk2" in changes and changes["trunk2"][0] == 3:
                seen.add("trunk2 made again")
        for feature in ("no author", "empty log", "property-only revision",
                        "copy from rolder", "copy into trunk from outside",
                        "branch or tag of trunk", "replace changing kind",
                        "name with ' '", "name with '%'", "name with '#'",
                        "non-ASCII name", "empty file", "binary file",
                        "NUL in property", "newline in property",
                        "trunk2 made again", "root property",
                        "revision outside trunk", "empty revision"):
            self.assertIn(feature, seen)


if __name__ == "__main__":
    unittest.main()
