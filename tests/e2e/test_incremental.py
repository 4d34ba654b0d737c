"""Incremental dumps that start in the middle of history.

A user who dumped revisions 0..A-1 dumps A..HEAD with --incremental and
loads both, in order; the result must rebuild the source exactly.  The
round trips run on generated histories, on the corpus and on small
fixtures made with svnmucc, for the whole repository and for trunk, with
and without --keep-revnums and --deltas, over file:// and svn://.  One
history is longer than 1024 revisions so that the path repository's
snapshots are crossed.

Also covered: a subtree that is created at or after the start (written in
full, as a plain dump of it is), -r HEAD, --no-incremental-header, the
output of the preparation at -v, -v -v and -v -v -v, and copies and
replaces directly in the dumped directory or from the dumped directory
itself.
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
import harness  # noqa: E402
import modes  # noqa: E402
import terminal  # noqa: E402
from repostate import DIR, NONE, RepoState  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")
SUBJECT = [VORNHALD, "-q", "{flags}", "{url}"]

# Repositories and loads are many small commits: keep them in memory when
# the machine offers it.
if os.access("/dev/shm", os.W_OK):
    tempfile.tempdir = "/dev/shm"

FLAGS = ({}, {"keep_revnums": True}, {"deltas": True})


def mucc(url, *actions):
    subprocess.run(["svnmucc", "-U", url, "-m", "m"] + list(actions),
                   check=True, capture_output=True)


def vornhald(*args):
    proc = subprocess.run([VORNHALD] + list(args), capture_output=True)
    if proc.returncode != 0:
        raise AssertionError("vornhald %s failed: %s" % (
            " ".join(args), proc.stderr.decode(errors="replace")))
    return proc.stdout, proc.stderr


def load_and_compare(workdir, source_path, dumps, mode):
    """Loads the dump streams (bytes) in order into a fresh repository and
    compares it with the source as a plain dump in mode rebuilds it. Returns
    an error text or None."""
    target = os.path.join(workdir, "rebuilt")
    shutil.rmtree(target, ignore_errors=True)
    corpus.create_repo(target)
    paths = []
    for i, data in enumerate(dumps):
        p = os.path.join(workdir, "part%d" % i)
        with open(p, "wb") as f:
            f.write(data)
        paths.append(p)
    err = corpus.load(target, paths)
    if err:
        return err
    mismatch = compare.compare(RepoState(source_path), RepoState(target),
                               mode)
    return str(mismatch) if mismatch else None


def synthesized_dump(revisions):
    """A dump stream of a history of `revisions` revisions: trunk/a/f and
    branches/x/g in r1, then a change of other/log in every revision except
    these: a new directory in trunk every 50th revision (so that no trunk
    change falls on 1024), a copy of branches/x into trunk/y in r1040, a
    change of trunk/a/f in r1062 and of trunk/y/g in r1070, a copy of
    trunk/a@1030 to trunk/z in r1080 and a change below it in r1090."""

    def rev(n, nodes):
        props = b""
        for k, v in (("svn:log", "r%d" % n), ("svn:author", "gen"),
                     ("svn:date", "2020-01-01T00:%02d:%02d.000000Z"
                      % (n // 60 % 60, n % 60))):
            props += b"K %d\n%s\nV %d\n%s\n" % (len(k), k.encode(), len(v),
                                                v.encode())
        props += b"PROPS-END\n"
        head = b"Revision-number: %d\nProp-content-length: %d\n" \
               b"Content-length: %d\n\n" % (n, len(props), len(props))
        return head + props + b"\n" + b"".join(nodes)

    def node(path, kind, action, text=None, copy=None):
        h = b"Node-path: %s\nNode-kind: %s\nNode-action: %s\n" % (
            path.encode(), kind.encode(), action.encode())
        if copy:
            h += b"Node-copyfrom-rev: %d\nNode-copyfrom-path: %s\n" % (
                copy[1], copy[0].encode())
        if text is None:
            return h + b"\n"
        return h + b"Text-content-length: %d\nContent-length: %d\n\n%s\n\n" \
            % (len(text), len(text), text.encode())

    special = {
        1040: [node("trunk/y", "dir", "add", copy=("branches/x", 1039))],
        1062: [node("trunk/a/f", "file", "change", "f2")],
        1070: [node("trunk/y/g", "file", "change", "g2")],
        1080: [node("trunk/z", "dir", "add", copy=("trunk/a", 1030))],
        1090: [node("trunk/z/f", "file", "change", "f3")],
    }
    out = [b"SVN-fs-dump-format-version: 2\n\n", rev(0, []),
           rev(1, [node("trunk", "dir", "add"), node("trunk/a", "dir", "add"),
                   node("trunk/a/f", "file", "add", "f1"),
                   node("other", "dir", "add"),
                   node("other/log", "file", "add", "0"),
                   node("branches", "dir", "add"),
                   node("branches/x", "dir", "add"),
                   node("branches/x/g", "file", "add", "g")])]
    for n in range(2, revisions + 1):
        if n in special:
            nodes = special[n]
        elif n % 50 == 0:
            nodes = [node("trunk/d%d" % n, "dir", "add")]
        else:
            nodes = [node("other/log", "file", "change", str(n))]
        out.append(rev(n, nodes))
    return b"".join(out)


def starts_for(source, subdir):
    """Start revisions worth testing: 1, just after the first copy into the
    subtree from outside it, the middle, and HEAD; only those at which the
    subtree exists (a dump cannot start where its URL is missing)."""
    young = source.youngest()
    starts = {1, max(1, young // 2), young}
    found = False
    for r in range(1, young):
        for path, (_, _, cf_path, _) in source.changes(r).items():
            if (cf_path is not None and modes.in_subtree(subdir, path)
                    and path != subdir
                    and not modes.in_subtree(subdir, cf_path)):
                starts.add(r + 1)
                found = True
                break
        if found:
            break
    return sorted(s for s in starts if source.kind(s, subdir) != NONE)


def deepest_dir(source, top):
    """The deepest directory below top at HEAD (names may need quoting),
    or None."""
    young = source.youngest()
    best, todo = None, [top]
    while todo:
        path = todo.pop()
        for name, (kind, _) in sorted(source.entries(young, path).items()):
            if kind == DIR:
                child = path + "/" + name
                todo.append(child)
                if best is None or child.count("/") > best.count("/"):
                    best = child
    return best


class Incremental(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="vh-incremental-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def workdir(self, name):
        d = os.path.join(self.dir, "work-" + name)
        shutil.rmtree(d, ignore_errors=True)
        os.makedirs(d)
        return d

    def roundtrip(self, repo, subdir, start, protocol="file", **flags):
        """Dumps 0..start-1 and then --incremental start..HEAD and checks
        that both loaded in order rebuild the source. When the subtree does
        not exist before the start, the incremental dump is loaded alone:
        it must hold the subtree's first revision in full."""
        source = RepoState(repo)
        mode = modes.Mode(subdir=subdir, incremental_from=start, **flags)
        with self.subTest(repo=os.path.basename(repo), mode=mode.name(),
                          protocol=protocol):
            if subdir and source.kind(start - 1, subdir) == NONE:
                plain = modes.Mode(subdir=subdir, **flags)
                args = modes.runs(mode)[1]
                data, _ = vornhald("-q", *args, harness.repo_url(
                    "file://" + os.path.dirname(os.path.abspath(repo)),
                    os.path.basename(repo), subdir))
                err = load_and_compare(self.workdir("alone"), repo, [data],
                                       plain)
                self.assertIsNone(err, err)
                return
            result = harness.roundtrip(SUBJECT, repo, mode, protocol=protocol)
            self.assertTrue(result.ok, result.summary())

    def test_generated_histories(self):
        # Every start and mode on one history, the plain mode on another.
        for seed, flag_sets in ((3, FLAGS), (11, ({},))):
            repo = os.path.join(self.dir, "gen%d" % seed)
            generator.generate(repo, seed, 40)
            source = RepoState(repo)
            for subdir in ("", "trunk"):
                if source.kind(source.youngest(), subdir) == NONE:
                    continue
                for start in starts_for(source, subdir):
                    for flags in flag_sets:
                        self.roundtrip(repo, subdir, start, **flags)
            starts = starts_for(source, "trunk")
            self.roundtrip(repo, "trunk", starts[len(starts) // 2],
                           protocol="svn")
            deep = deepest_dir(source, "trunk")
            if deep:
                for start in starts_for(source, deep):
                    self.roundtrip(repo, deep, start)
        self.roundtrip(repo, "", 20, protocol="svn", deltas=True)

    def test_corpus(self):
        # Several starts where a file has copies, one start elsewhere.
        served = 0
        for entry in corpus.loadable():
            if entry.bypass or entry.youngest < 2:
                continue
            with open(entry.path, "rb") as f:
                has_copies = b"\nNode-copyfrom-path: " in f.read()
            repo = corpus.load_entry(entry,
                                     os.path.join(self.dir, "c-" + entry.name))
            starts = {entry.youngest // 2 + 1}
            if has_copies:
                starts |= {1, entry.youngest}
            for start in sorted(starts):
                self.roundtrip(repo, "", start)
            if has_copies and served < 3:
                served += 1
                self.roundtrip(repo, "", entry.youngest, deltas=True,
                               protocol="svn")

    def test_history_longer_than_a_snapshot_interval(self):
        repo = corpus.create_repo(os.path.join(self.dir, "long"))
        subprocess.run(["svnadmin", "load", "-q", "--no-flush-to-disk", repo],
                       input=synthesized_dump(1100), check=True)
        # Just after the copy from outside, beyond 1024, and after the copy
        # from inside whose source revision lies between two trunk changes.
        # With --keep-revnums trunk's entries skip 1024 itself.
        for start in (1041, 1050, 1085):
            self.roundtrip(repo, "trunk", start)
        for start in (1050, 1085):
            self.roundtrip(repo, "trunk", start, keep_revnums=True)
        self.roundtrip(repo, "", 1050, keep_revnums=True)
        self.roundtrip(repo, "trunk", 1041, protocol="svn",
                       keep_revnums=True)

    def fixture(self, name, *commits):
        repo = corpus.create_repo(os.path.join(self.dir, name))
        url = "file://" + repo
        for actions in commits:
            mucc(url, *actions.split())
        return repo, url

    def test_copies_in_and_of_the_dumped_directory(self):
        """A replace directly in trunk (its parent is the dumped directory
        itself) and a copy of trunk into trunk/sub (its source is the dumped
        directory), with changes and replaces below that copy."""
        repo, _ = self.fixture(
            "selfcopy",
            "mkdir trunk put /dev/null trunk/f mkdir trunk/d "
            "put /dev/null trunk/d/x mkdir other put /dev/null other/f2",
            "rm trunk/f cp 1 other/f2 trunk/f",
            "cp 2 trunk trunk/sub",
            "put /dev/null trunk/sub/d/y propset p v trunk/sub/d/x",
            "rm trunk/sub/f cp 4 other/f2 trunk/sub/f",
            "rm trunk/d cp 3 trunk/sub/d trunk/d")
        harness_result = harness.roundtrip(SUBJECT, repo,
                                           modes.Mode(subdir="trunk"))
        self.assertTrue(harness_result.ok, harness_result.summary())
        for start in range(2, 7):
            for flags in ({}, {"keep_revnums": True}):
                self.roundtrip(repo, "trunk", start, **flags)

    def test_subtree_that_came_with_a_copy_of_its_parent(self):
        """branches/b/sub came with the copy of trunk to branches/b: its log
        starts with an entry that names none of its paths, and later copies
        inside it need those paths."""
        repo, _ = self.fixture(
            "parentcopy",
            "mkdir trunk mkdir trunk/sub put /dev/null trunk/sub/f "
            "mkdir trunk/sub/d put /dev/null trunk/sub/d/x mkdir branches",
            "cp 1 trunk branches/b", "mkdir other",
            "propset p v branches/b/sub/f",
            "cp 4 branches/b/sub/d branches/b/sub/e",
            "propset q v branches/b/sub/e/x",
            "cp 6 branches/b/sub branches/b/sub/h")
        for start in (3, 5, 6, 7):
            for flags in ({}, {"keep_revnums": True}):
                self.roundtrip(repo, "branches/b/sub", start, **flags)

    def test_subtree_created_at_or_after_the_start(self):
        """trunk is created (by a copy from outside) in r3: there is no
        earlier history, so an incremental dump from r3 writes r3 in full
        and equals the plain dump of trunk; with -r HEAD the same holds for
        a subtree created in HEAD."""
        repo, url = self.fixture(
            "late", "mkdir other", "put /dev/null other/f",
            "cp 2 other trunk", "propset p v trunk/f", "mkdir newest")
        for extra in ([], ["--keep-revnums"], ["--deltas"]):
            plain, _ = vornhald("-q", *extra, url + "/trunk")
            incr, _ = vornhald("-q", "--incremental", "-r", "3:HEAD", *extra,
                               url + "/trunk")
            self.assertEqual(incr, plain, extra)
            err = load_and_compare(
                self.workdir("late"), repo, [incr],
                modes.Mode(subdir="trunk",
                           keep_revnums="--keep-revnums" in extra))
            self.assertIsNone(err, err)
        plain, _ = vornhald("-q", url + "/newest")
        head, _ = vornhald("-q", "--incremental", "-r", "HEAD",
                           url + "/newest")
        self.assertEqual(head, plain)

    def test_obfuscated_copy_from_outside(self):
        """trunk/y, copied from outside before the start, is listed from
        the server under its real names and enters the path repository
        under the words that the dumped revisions use: a later change below
        it stays a change."""
        _, url = self.fixture(
            "obfuscated", "mkdir trunk mkdir branches mkdir branches/x "
            "put /dev/null branches/x/g", "cp 1 branches/x trunk/y",
            "propset p v trunk/y/g")
        for extra in ([], ["--obfuscate"]):
            data, _ = vornhald("-q", "--incremental", "-r", "3:HEAD", *extra,
                               url + "/trunk")
            actions = [line for line in data.split(b"\n")
                       if line.startswith(b"Node-action: ")]
            self.assertEqual(actions, [b"Node-action: change"], extra)

    def test_head(self):
        """-r HEAD --incremental dumps the last change of the dumped path on
        top of a dump of everything before it."""
        repo, url = self.fixture(
            "head", "mkdir trunk put /dev/null trunk/f", "mkdir other",
            "cp 2 trunk trunk2", "put /dev/null trunk/g", "mkdir other/x")
        source = RepoState(repo)
        for subdir in ("", "trunk"):
            last = source.created_rev(source.youngest(), subdir)
            for extra in ([], ["--keep-revnums"]):
                base, _ = vornhald("-q", "-r", "0:%d" % (last - 1), *extra,
                                   url + "/" + subdir)
                head, _ = vornhald("-q", "--incremental", "-r", "HEAD",
                                   *extra, url + "/" + subdir)
                self.assertIn(b"Revision-number: ", head)
                err = load_and_compare(
                    self.workdir("head"), repo, [base, head],
                    modes.Mode(subdir=subdir,
                               keep_revnums="--keep-revnums" in extra))
                self.assertIsNone(err, "%s %s: %s" % (subdir, extra, err))

    def test_header(self):
        repo, url = self.fixture(
            "header", "mkdir trunk put /dev/null trunk/f", "mkdir other",
            "put /dev/null trunk/g")
        for subdir in ("", "trunk"):
            target = url + "/" + subdir
            base, _ = vornhald("-q", "-r", "0:2", target)
            incr, _ = vornhald("-q", "--incremental",
                               "--no-incremental-header", "-r", "3:HEAD",
                               target)
            self.assertTrue(incr.startswith(b"Revision-number: "), incr[:80])
            # Such a stream is appended to the earlier one.
            err = load_and_compare(self.workdir("header"), repo, [base + incr],
                                   modes.Mode(subdir=subdir))
            self.assertIsNone(err, err)
        # From 0 an incremental dump is a full dump, header and all.
        full, _ = vornhald("-q", url)
        for extra in ([], ["--no-incremental-header"]):
            incr, _ = vornhald("-q", "--incremental", "-r", "0:HEAD", *extra,
                               url)
            self.assertEqual(incr, full, extra)

    def test_preparation_output(self):
        _, url = self.fixture(
            "verbose", "mkdir trunk", "mkdir other", "mkdir trunk/a",
            "mkdir trunk/b")
        label = "Preparing tree history... "
        counter = "\r\x1b[0K" + label

        _, err = vornhald("-v", "--incremental", "-r", "3:HEAD", url)
        err = err.decode()
        self.assertIn(label + "done\n", err)
        self.assertIn("Fetching base revision... done\n", err)
        self.assertNotIn(counter, err)

        # Entries 0, 1 and 2 lie below the start. The counter is
        # rewritten in place on a terminal only; a log gets plain lines.
        args = ["-v", "-v", "--incremental", "-r", "3:HEAD", url]
        status, err = terminal.run_on_terminal([VORNHALD] + args)
        self.assertEqual(status, 0, err)
        self.assertIn(label + counter + "0" + counter + "1" + counter + "2"
                      + counter + "done\n", err.decode())
        _, err = vornhald(*args)
        err = err.decode()
        self.assertIn("\n" + label + "done\n", err)
        self.assertNotIn("\r", err)
        self.assertNotIn("\x1b", err)

        args = ["-v", "-v", "-v", "--incremental", "-r", "3:HEAD", url]
        status, err = terminal.run_on_terminal([VORNHALD] + args)
        self.assertEqual(status, 0, err)
        err = err.decode()
        self.assertIn(counter + "2done\n", err)
        self.assertNotIn(counter + "done", err)
        _, err = vornhald(*args)
        err = err.decode()
        self.assertNotIn("\r", err)
        self.assertNotIn("\x1b", err)
        self.assertIn("path_repo_commit(1): A trunk\n", err)
        self.assertIn("logs_fetched, opts->end set to 4\n", err)

        _, err = vornhald("--incremental", "-r", "3:HEAD", url)
        self.assertNotIn(label.encode(), err)


if __name__ == "__main__":
    unittest.main()
