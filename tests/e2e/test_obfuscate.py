"""Obfuscated dumps (--obfuscate) keep the structure and hide the names.

For every loadable corpus file and a few generated histories, a plain dump
and an obfuscated dump of the same URL are made, of the whole repository and
of one directory; both must load with `svnadmin load`, the two rebuilt
repositories must agree in structure (per revision: the paths of each kind
and depth, the multiset of kind, text checksum and properties, the date, the
copies kept), and no component name, author or log message of the plain dump
may show in a Node-path, a Node-copyfrom-path or a revision property of the
obfuscated one. Incremental dumps from the middle of history cannot be
loaded without their base, so their streams are compared record by record.

A random word can equal a real name by chance; a name found in the
obfuscated stream only counts as leaked when a second run (with the word
generator seeded a second later) shows it again.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))

import corpus  # noqa: E402
import generator  # noqa: E402
import obfuscation_check as check  # noqa: E402
import servers  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")

# Generated histories: (seed, revisions, incremental start).
SEEDS = ((2, 40, 17), (9, 40, 25), (23, 60, 31))

# Directories dumped on their own in generated histories: the usual one and a
# sibling whose name continues it.
SUBDIRS = ("trunk", "trunk2")


def vornhald(flags, url):
    proc = subprocess.run([VORNHALD, "-q"] + flags + [url], capture_output=True)
    if proc.returncode != 0:
        raise AssertionError(
            "vornhald %s %s failed (%d): %s"
            % (
                " ".join(flags),
                url,
                proc.returncode,
                proc.stderr.decode(errors="replace"),
            )
        )
    return proc.stdout


def top_directory(repo):
    """trunk when the repository has it at HEAD, else the first directory
    below the root, or None."""
    out = subprocess.run(
        ["svnlook", "tree", "--full-paths", "--non-recursive", str(repo)],
        capture_output=True,
        check=True,
    ).stdout.decode()
    dirs = sorted(l[:-1] for l in out.splitlines() if l.endswith("/") and l != "/")
    if "trunk" in dirs:
        return "trunk"
    return dirs[0] if dirs else None


class ObfuscatedDumps(unittest.TestCase):
    def setUp(self):
        base = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="vh-obf-", dir=base))
        self.count = 0

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def fresh(self, name):
        self.count += 1
        return str(self.tmp / ("%s%d" % (name, self.count)))

    def load(self, stream, bypass):
        """A new repository with `stream` loaded into it."""
        path = self.fresh("dump")
        pathlib.Path(path).write_bytes(stream)
        repo = corpus.create_repo(self.fresh("repo"))
        err = corpus.load(repo, [path], bypass)
        self.assertIsNone(err)
        return repo

    def assert_hidden(self, plain, hidden, flags, url, sub):
        extra = [c.encode() for c in sub.split("/") if c]
        leaks = check.leaked_names(plain, hidden, extra)
        if leaks:
            time.sleep(1.1)
            again = vornhald(flags + ["--obfuscate"], url)
            leaks = sorted(set(leaks) & set(check.leaked_names(plain, again, extra)))
        self.assertEqual(leaks, [], "names shown by the obfuscated dump")

    def check(self, repo, sub="", bypass=False, flags=(), own_r0=None,
              repo_url=None):
        """Dumps `repo` (a local repository) or its directory `sub` plainly
        and obfuscated, loads both and compares them. `own_r0` says whether
        the dumps hold revision 0 (by default: when the whole repository is
        dumped). `repo_url` names the repository on a server."""
        url = (repo_url or servers.file_url(repo)) + ("/" + sub if sub else "")
        flags = list(flags)
        plain = vornhald(flags, url)
        hidden = vornhald(flags + ["--obfuscate"], url)
        diff = check.compare_structure(
            check.structure(self.load(plain, bypass)),
            check.structure(self.load(hidden, bypass)),
            own_r0=not sub if own_r0 is None else own_r0,
        )
        self.assertIsNone(diff)
        self.assert_hidden(plain, hidden, flags, url, sub)
        return plain, hidden

    def check_incremental(self, repo, start, sub=""):
        """Compares the streams of a plain and an obfuscated incremental
        dump from `start`."""
        url = servers.file_url(repo) + ("/" + sub if sub else "")
        flags = ["--incremental", "-r", "%d:HEAD" % start]
        plain = vornhald(flags, url)
        hidden = vornhald(flags + ["--obfuscate"], url)
        diff = check.compare_structure(
            check.stream_structure(plain), check.stream_structure(hidden)
        )
        self.assertIsNone(diff)
        self.assert_hidden(plain, hidden, flags, url, sub)

    def test_checks_catch_plain_names_and_changed_trees(self):
        # The checks themselves: a stream compared with itself shows every
        # name, and two different histories differ in structure.
        a = corpus.find("svnrdump__copy-and-modify")
        b = corpus.find("svnrdump__move-and-modify")
        data = pathlib.Path(a.path).read_bytes()
        self.assertIn(b"foo.txt", check.leaked_names(data, data))
        self.assertIn(b"rooneg", check.leaked_names(data, data))
        ra = corpus.load_entry(a, self.fresh("a"))
        rb = corpus.load_entry(b, self.fresh("b"))
        self.assertIsNotNone(
            check.compare_structure(check.structure(ra), check.structure(rb))
        )

    def test_corpus(self):
        for entry in corpus.loadable():
            repo = corpus.load_entry(entry, self.fresh("src"))
            with self.subTest(corpus=entry.name):
                self.check(repo, bypass=entry.bypass)
            sub = top_directory(repo)
            if sub:
                with self.subTest(corpus=entry.name, sub=sub):
                    self.check(repo, sub=sub, bypass=entry.bypass)

    def test_generated_histories(self):
        for seed, revisions, start in SEEDS:
            repo = generator.generate(self.fresh("gen"), seed, revisions)
            with self.subTest(seed=seed):
                self.check(repo)
            for sub in SUBDIRS:
                with self.subTest(seed=seed, sub=sub):
                    self.check(repo, sub=sub)
            with self.subTest(seed=seed, range=start):
                self.check(repo, flags=["-r", "%d:HEAD" % start], own_r0=False)
            with self.subTest(seed=seed, sub="trunk", keep_revnums=True):
                self.check(repo, sub="trunk", flags=["--keep-revnums", "--deltas"])
            with self.subTest(seed=seed, incremental=start):
                self.check_incremental(repo, start)
            with self.subTest(seed=seed, sub="trunk", incremental=start):
                self.check_incremental(repo, start, sub="trunk")

    def test_servers(self):
        # The names come over svn:// and http:// as they do over file://.
        repo = generator.generate(self.fresh("served"), 5, 30)
        for protocol in ("svn", "http"):
            with servers.serve(protocol, str(self.tmp)) as base:
                url = base + "/" + os.path.basename(repo)
                for sub in ("", "trunk"):
                    with self.subTest(protocol=protocol, sub=sub):
                        self.check(repo, sub=sub, repo_url=url)

    def mucc(self, url, *args):
        subprocess.run(["svnmucc", "-m", "change", "-U", url] + list(args),
                       check=True, capture_output=True)

    def test_escaped_directory_name(self):
        # The URL of a directory whose name needs escapes carries them, the
        # log names it as it is: the dump must still find its changes.
        repo = corpus.create_repo(self.fresh("esc"))
        url = servers.file_url(repo)
        self.mucc(url, "mkdir", "my dir", "mkdir", "my dir/sub",
                  "put", "/dev/null", "my dir/sub/f")
        self.mucc(url, "cp", "1", "my dir/sub", "my dir/copy")
        plain, hidden = self.check(repo, sub="my dir")
        self.assertTrue(b"Node-copyfrom-path: " in hidden, "the copy is lost")

    def test_incremental_after_copy_from_outside(self):
        # Before the start, trunk/d is copied from outside trunk, so the
        # preparation asks the server for the tree below it: under the real
        # names, which it must then obfuscate like every other name, or the
        # later copy of trunk/d/e is not found and written as an add.
        repo = corpus.create_repo(self.fresh("out"))
        url = servers.file_url(repo)
        text = self.fresh("text")
        pathlib.Path(text).write_text("hello\n")
        self.mucc(url, "mkdir", "trunk", "mkdir", "other", "mkdir", "other/d",
                  "mkdir", "other/d/e", "put", text, "other/d/e/f")
        self.mucc(url, "cp", "1", "other/d", "trunk/d")
        self.mucc(url, "put", text, "trunk/x")
        self.mucc(url, "cp", "2", "trunk/d/e", "trunk/g")
        self.check_incremental(repo, 3, sub="trunk")
        hidden = vornhald(["--incremental", "-r", "3:HEAD", "--obfuscate"],
                          url + "/trunk")
        self.assertTrue(b"Node-copyfrom-path: " in hidden, "the copy is lost")


if __name__ == "__main__":
    unittest.main()
