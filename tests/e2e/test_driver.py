"""The dump driver end to end: range settlement and its messages, the stream
head, revision and padding records, prefix directories and summary lines,
over file:// and svn:// against a repository made with svnmucc.

The source history (HEAD is 7):
  r1 other, other/o             alice  "first"
  r2 trunk, trunk/f             bob    ""  (an empty message)
  r3 trunkfoo, trunkfoo/x, trunk2      (touches no path inside trunk)
  r4 trunk/g                    no author
  r5 other/o2                   no log, author or date
  r6 trunk/f changed            no log message
  r7 trunk2/y
so trunk was touched by r2, r4 and r6 only.
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

import corpus as corpus_lib  # noqa: E402
import dumpfile  # noqa: E402
import servers  # noqa: E402
from svn import core, fs, repos  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")
HEAD = 7
TRUNK_REVS = [2, 4, 6]
PADDING_LOG = b"This is an empty revision for padding."


def parse_dump(data):
    """Splits a dump stream into records: a list of (headers, props), where
    headers maps names to values (str) and props maps names to values (bytes)
    or is None when the record has no property block."""
    return [({k.decode(): v.decode() for k, v in headers.items()}, props)
            for headers, props in dumpfile.records(data)]


def revisions(records):
    """The revision records as (number, headers, props)."""
    return [(int(h["Revision-number"]), h, p or {})
            for h, p in records if "Revision-number" in h]


def tree(repo, rev, subtree=""):
    """{path relative to subtree: MD5 of a file's text, or None for a
    directory} of revision `rev` of the repository at `repo`; empty when the
    subtree does not exist there."""
    # The repository and file-system objects must outlive the root.
    handle = repos.open(str(repo))
    fsobj = repos.fs(handle)
    root = fs.revision_root(fsobj, rev)
    top = ("/" + subtree).encode()
    out = {}

    def walk(path, rel):
        for name, entry in fs.dir_entries(root, path).items():
            child = path.rstrip(b"/") + b"/" + name
            key = (rel + "/" + name.decode()).lstrip("/")
            if entry.kind == core.svn_node_dir:
                out[key] = None
                walk(child, key)
            else:
                out[key] = core.svn_checksum_to_cstring(fs.file_checksum(
                    core.svn_checksum_md5, root, child, True))

    if fs.check_path(root, top) == core.svn_node_dir:
        walk(top, "")
    del root, fsobj, handle
    return out


def svnmucc(url, user, message, *actions):
    args = ["svnmucc", "-U", url, "-m", message, "--no-auth-cache"]
    if user:
        args += ["--username", user]
    subprocess.run(args + list(actions), check=True, capture_output=True)


class DriverTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = pathlib.Path(tempfile.mkdtemp(prefix="vh_driver_"))
        cls.root = cls.tmp / "repos"
        cls.root.mkdir()
        repo = cls.root / "src"
        cls.src_repo = repo
        subprocess.run(["svnadmin", "create", str(repo)], check=True)
        url = servers.file_url(repo)
        cls.src_url = url
        f1 = cls.tmp / "f1"
        f1.write_text("one\n")
        f2 = cls.tmp / "f2"
        f2.write_text("two\n")
        svnmucc(url, "alice", "first", "mkdir", "other",
                "put", str(f1), "other/o")
        svnmucc(url, "bob", "", "mkdir", "trunk", "put", str(f1), "trunk/f")
        svnmucc(url, "carol", "outside", "mkdir", "trunkfoo",
                "put", str(f1), "trunkfoo/x", "mkdir", "trunk2")
        svnmucc(url, "dave", "no author", "put", str(f2), "trunk/g")
        svnmucc(url, "erin", "bare", "put", str(f2), "other/o2")
        svnmucc(url, "frank", "no message", "put", str(f2), "trunk/f")
        svnmucc(url, "grace", "last", "mkdir", "trunk2/y")
        admin = ["svnadmin", "delrevprop", str(repo)]
        for rev, name in [(4, "svn:author"), (5, "svn:log"),
                          (5, "svn:author"), (5, "svn:date"), (6, "svn:log")]:
            subprocess.run(admin + ["-r", str(rev), name], check=True)
        cls.uuid = subprocess.run(["svnlook", "uuid", str(repo)], check=True,
                                  capture_output=True).stdout.strip().decode()
        dump = subprocess.run(["svnadmin", "dump", "-q", str(repo)],
                              check=True, capture_output=True).stdout
        cls.src_revprops = {n: p for n, _, p in revisions(parse_dump(dump))}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def run_vh(self, url, *args, stdout=subprocess.PIPE):
        # Failed runs leave their temporary directory behind by design.
        env = dict(os.environ, TMPDIR=str(self.tmp))
        proc = subprocess.run([VORNHALD] + list(args) + [url], env=env,
                              stdout=stdout, stderr=subprocess.PIPE,
                              timeout=120)
        return proc.returncode, proc.stdout, proc.stderr.decode()

    def dump(self, url, *args):
        rc, out, err = self.run_vh(url, *args)
        self.assertEqual(rc, 0, err)
        return out, err

    def load(self, stream):
        target = pathlib.Path(tempfile.mkdtemp(dir=self.tmp)) / "r"
        subprocess.run(["svnadmin", "create", str(target)], check=True)
        proc = subprocess.run(["svnadmin", "load", "-q", str(target)],
                              input=stream, capture_output=True)
        self.assertEqual(proc.returncode, 0, proc.stderr.decode())
        return target

    def check_trees(self, loaded, expected, subtree="", prefix=""):
        """Each local revision of the loaded repository holds the tree of
        its source revision (the previous one's for padding), below
        `prefix`."""
        source = {}
        for local in sorted(expected):
            if expected[local] is not None:
                source = tree(self.src_repo, expected[local], subtree)
            self.assertEqual(tree(loaded, local, prefix), source,
                             "local %d from r%s" % (local, expected[local]))

    def check_revisions(self, stream, expected):
        """The stream's revision records are numbered as `expected` says
        (local number -> source revision, or None for padding) and carry
        exactly the source revision's properties."""
        revs = revisions(parse_dump(stream))
        self.assertEqual([n for n, _, _ in revs], list(expected))
        for local, headers, props in revs:
            source = expected[local]
            if source is None:
                self.assertEqual(props, {b"svn:log": PADDING_LOG})
                self.assertEqual(headers["Prop-content-length"], "66")
                self.assertEqual(headers["Content-length"], "66")
            else:
                self.assertEqual(props, self.src_revprops[source],
                                 "local %d from r%d" % (local, source))

    def test_full_dump_over_both_protocols(self):
        for protocol in ("file", "svn"):
            with self.subTest(protocol=protocol), \
                    servers.serve(protocol, self.root) as base:
                out, err = self.dump(base + "/src")
                head = ("SVN-fs-dump-format-version: 2\n\nUUID: %s\n\n"
                        "Revision-number: 0\n" % self.uuid).encode()
                self.assertTrue(out.startswith(head), out[:200])
                self.check_revisions(out, {r: r for r in range(HEAD + 1)})
                self.assertEqual(
                    err, "".join("* Dumped revision %d.\n" % r
                                 for r in range(HEAD + 1)))
                # A record without log, author and date is bare; an empty
                # message is a 17-byte entry.
                self.assertRegex(out, rb"Revision-number: 5\nProp-content-"
                                 rb"length: 0\nContent-length: 0\n\n"
                                 rb"(Node-path|Revision-number): ")
                self.assertIn(b"K 7\nsvn:log\nV 0\n\nK 10\nsvn:author\n", out)
                loaded = self.load(out)
                self.check_trees(loaded, {r: r for r in range(HEAD + 1)})
                for rev in range(HEAD + 1):
                    props = subprocess.run(
                        ["svnlook", "pl", "-v", "--revprop", "-r", str(rev),
                         str(loaded)], check=True,
                        capture_output=True).stdout.decode()
                    if rev != 5:
                        self.assertIn(
                            self.src_revprops[rev][b"svn:date"].decode(),
                            props)
                    if rev in (4, 5):
                        self.assertNotIn("svn:author", props)

    def test_subdirectory_dump_over_both_protocols(self):
        for protocol in ("file", "svn"):
            with self.subTest(protocol=protocol), \
                    servers.serve(protocol, self.root) as base:
                # The default end (HEAD) lies beyond trunk's last change.
                out, err = self.dump(base + "/src/trunk")
                self.assertTrue(out.startswith(
                    b"SVN-fs-dump-format-version: 2\n\nRevision-number: 1\n"))
                self.check_revisions(
                    out, {i + 1: r for i, r in enumerate(TRUNK_REVS)})
                self.assertEqual(
                    err, "".join("* Dumped revision %d (local %d).\n"
                                 % (r, i + 1)
                                 for i, r in enumerate(TRUNK_REVS)))
                self.check_trees(
                    self.load(out),
                    {i + 1: r for i, r in enumerate(TRUNK_REVS)}, "trunk")

    def test_keep_revnums_pads(self):
        url = self.src_url + "/trunk"
        out, err = self.dump(url, "--keep-revnums")
        expected = {1: None, 2: 2, 3: None, 4: 4, 5: None, 6: 6}
        self.check_revisions(out, expected)
        self.assertEqual(err, "* Padded revision 1.\n* Dumped revision 2.\n"
                         "* Padded revision 3.\n* Dumped revision 4.\n"
                         "* Padded revision 5.\n* Dumped revision 6.\n")
        self.check_trees(self.load(out), expected, "trunk")

    def test_revision_ranges(self):
        trunk = self.src_url + "/trunk"
        # The first revision of a range arrives as the whole tree.
        cases = [
            # (url, -r argument, local number -> source revision)
            (self.src_url, "4", {1: 3, 2: 4}),
            (self.src_url, "2:5", {1: 2, 2: 3, 3: 4, 4: 5}),
            (self.src_url, "HEAD", {1: HEAD}),
            (self.src_url, "0:3", {0: 0, 1: 1, 2: 2, 3: 3}),
            (trunk, "HEAD", {1: 6}),
            (trunk, "3:7", {1: 4, 2: 6}),
            (trunk, "0:5", {1: 2, 2: 4}),
            (trunk, "2:2", {1: 2}),
        ]
        for url, rng, expected in cases:
            with self.subTest(url=url, rng=rng):
                out, _ = self.dump(url, "-q", "-r", rng)
                self.check_revisions(out, expected)
                if url == trunk:
                    self.assertNotIn(b"UUID:", out)
                self.check_trees(self.load(out), expected,
                                 "trunk" if url == trunk else "")

    def test_missing_urls_and_files(self):
        cases = [
            # (path, -r argument or None, message)
            ("trunk2/y", "0:5",
             "ERROR: URL '%s' not found in HEAD revision\n"),
            ("nothere", None,
             "ERROR: URL '%s' not found in HEAD revision\n"),
            ("trunk/g", "2:7",
             "ERROR: URL '%s' not found in revision 2\n"),
            ("trunk/f", None, "ERROR: '%s' refers to a file.\n"),
        ]
        for path, rng, message in cases:
            with self.subTest(path=path, rng=rng):
                url = self.src_url + "/" + path
                args = ["-r", rng] if rng else []
                rc, out, err = self.run_vh(url, *args)
                self.assertEqual(rc, 1)
                self.assertEqual(out, b"")
                self.assertIn(message % url, err)

    def test_subdirectory_with_an_escaped_name(self):
        """The log's paths are decoded: a subtree whose URL needs escapes
        still finds its changes, and a copy inside it stays a copy."""
        repo = self.root / "spaced"
        subprocess.run(["svnadmin", "create", str(repo)], check=True)
        url = servers.file_url(repo)
        text = self.tmp / "t"
        text.write_text("t\n")
        svnmucc(url, "u", "m1", "mkdir", "sub dir", "mkdir", "sub dirx",
                "put", str(text), "sub dir/f")
        svnmucc(url, "u", "m2", "cp", "1", "sub dir/f", "sub dir/g",
                "put", str(text), "sub dirx/h")
        svnmucc(url, "u", "m3", "put", str(text), "sub dirx/i")
        for protocol in ("file", "svn"):
            with self.subTest(protocol=protocol), \
                    servers.serve(protocol, self.root) as base:
                out, err = self.dump(base + "/spaced/sub%20dir")
                self.assertEqual(err, "* Dumped revision 1 (local 1).\n"
                                 "* Dumped revision 2 (local 2).\n")
                self.assertIn(b"Node-path: g\nNode-kind: file\n"
                              b"Node-action: add\nNode-copyfrom-rev: 1\n"
                              b"Node-copyfrom-path: f\n", out)
                loaded = self.load(out)
                for local in (1, 2):
                    self.assertEqual(tree(loaded, local),
                                     tree(repo, local, "sub dir"))

    def test_unwritable_output_fails(self):
        with open("/dev/full", "wb") as full:
            rc, _, err = self.run_vh(self.src_url, "-q", stdout=full)
        self.assertEqual(rc, 1)
        self.assertIn("ERROR: Error writing to standard output", err)

    def test_prefix_directories(self):
        for url in (self.src_url, self.src_url + "/trunk"):
            with self.subTest(url=url):
                out, _ = self.dump(url, "-q", "--prefix", "a//b/c/")
                self.assertNotIn(b"UUID:", out)
                self.assertIn(
                    b"PROPS-END\n\nNode-path: a\nNode-kind: dir\n"
                    b"Node-action: add\n\nNode-path: a/b\nNode-kind: dir\n"
                    b"Node-action: add\n\nNode-path: a/b/c\nNode-kind: dir\n"
                    b"Node-action: add\n\n", out)
                records = parse_dump(out)
                paths = [h["Node-path"] for h, _ in records
                         if "Node-path" in h]
                for d in ("a", "a/b", "a/b/c"):
                    self.assertEqual(paths.count(d), 1)
                # They follow the record of local revision 1.
                numbers = [h.get("Revision-number") for h, _ in records]
                first = numbers.index("1")
                self.assertEqual(
                    [h.get("Node-path") for h, _ in records[first + 1:first + 4]],
                    ["a", "a/b", "a/b/c"])
                if url == self.src_url:
                    subtree, revs = "", {r: r for r in range(1, HEAD + 1)}
                else:
                    subtree = "trunk"
                    revs = {i + 1: r for i, r in enumerate(TRUNK_REVS)}
                self.check_trees(self.load(out), revs, subtree, "a/b/c")

    def test_incremental_prefix_is_settled_without_its_directories(self):
        # The directories came with the earlier dump; the node paths of the
        # later one still read a/b/c/..., never a//b/c/...
        out, _ = self.dump(self.src_url, "-q", "--incremental", "-r",
                           "3:HEAD", "--prefix", "a//b/c/")
        paths = [h["Node-path"] for h, _ in parse_dump(out)
                 if "Node-path" in h]
        self.assertTrue(paths)
        for p in paths:
            self.assertTrue(p.startswith("a/b/c/"), p)

    def test_prefix_with_keep_revnums_follows_padding(self):
        out, _ = self.dump(self.src_url + "/trunk", "-q", "--keep-revnums",
                           "--prefix", "x/")
        self.assertIn(PADDING_LOG + b"\nPROPS-END\n\nNode-path: x\n"
                      b"Node-kind: dir\nNode-action: add\n\n"
                      b"Revision-number: 2\n", out)
        self.load(out)

    def test_deltas_announce_version_3(self):
        out, _ = self.dump(self.src_url, "-q", "--deltas")
        self.assertTrue(out.startswith(b"SVN-fs-dump-format-version: 3\n\n"))
        self.load(out)

    def test_corpus_revision_properties(self):
        """Every loadable corpus history: a whole dump carries exactly the
        revision properties of each source revision (custom ones too) and
        loads, also when a broken svn:date keeps svn_ra_stat from
        answering."""
        corpus = pathlib.Path(corpus_lib.require())
        rows = (corpus / "MANIFEST.tsv").read_text().splitlines()[1:]
        for name, loads, youngest in (r.split("\t") for r in rows):
            if loads == "no":
                continue
            with self.subTest(name=name):
                bypass = ["--bypass-prop-validation"] if loads == "bypass" \
                    else []
                repo = pathlib.Path(tempfile.mkdtemp(dir=self.tmp)) / "r"
                subprocess.run(["svnadmin", "create", str(repo)], check=True)
                with open(corpus / name, "rb") as f:
                    subprocess.run(["svnadmin", "load", "-q"] + bypass
                                   + [str(repo)], stdin=f, check=True,
                                   capture_output=True)
                source = subprocess.run(
                    ["svnadmin", "dump", "-q", str(repo)], check=True,
                    capture_output=True).stdout
                expected = {n: p for n, _, p in revisions(parse_dump(source))}
                out, _ = self.dump(servers.file_url(repo), "-q")
                got = {n: p for n, _, p in revisions(parse_dump(out))}
                self.assertEqual(got, expected)
                self.assertEqual(max(got), int(youngest))
                target = pathlib.Path(tempfile.mkdtemp(dir=self.tmp)) / "r"
                subprocess.run(["svnadmin", "create", str(target)], check=True)
                proc = subprocess.run(["svnadmin", "load", "-q"] + bypass
                                      + [str(target)], input=out,
                                      capture_output=True)
                self.assertEqual(proc.returncode, 0, proc.stderr.decode())

    def test_summary_lines_by_verbosity(self):
        url = self.src_url + "/trunk"
        _, quiet = self.dump(url, "-q")
        self.assertEqual(quiet, "")
        _, verbose = self.dump(url, "-v", "--keep-revnums")
        for rev in TRUNK_REVS:
            self.assertIn(">>> Dumping new revision, based on original "
                          "revision %d\n" % rev, verbose)
            self.assertIn("\n------ Dumped revision %d <<<\n\n" % rev,
                          verbose)
        self.assertIn("------ Padded revision 1 <<<\n\n", verbose)
        self.assertNotIn("* Dumped", verbose)
        self.assertTrue(re.search("Determining start and end revision\\.\\.\\."
                                  " done\n", verbose), verbose)


if __name__ == "__main__":
    unittest.main()
