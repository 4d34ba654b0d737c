"""Round trips with vornhald as the subject: every loadable corpus file and
generated histories in every mode.

Each case dumps a source repository, loads the dump with svnadmin into a
fresh repository and compares every revision (revision properties, paths,
kinds, texts and properties) with the source; copies that the dump could
keep must be kept.

VORNHALD_SEEDS (default 20) sets the number of generated histories and
VORNHALD_SEED_REVS (default 40) their length; VORNHALD_ALL_MODES=1 runs
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
SEED_REVS = int(os.environ.get("VORNHALD_SEED_REVS", "40"))
# Modes besides the whole repository that each seed dumps (all with
# VORNHALD_ALL_MODES=1).
PER_SEED = 2
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


def own_history(state, subdir):
    """Whether the directory exists at its own last-changed revision."""
    head = state.youngest()
    return state.kind(state.created_rev(head, subdir), subdir) == DIR


def seed_modes(repo, seed):
    """(mode, protocol) pairs for one generated history. The modes are the
    whole repository from 0 and with a range; trunk, a branch and a deep
    directory, each also with --keep-revnums and with --prefix (p/ and
    a/b/); trunk from revision 5; each with and without --deltas; and dry
    runs. Every seed dumps the whole repository and a rotating share of the
    rest, so that the seeds together meet every mode, over both protocols."""
    state = RepoState(repo)
    head = state.youngest()
    # A directory inside a copy keeps the last-changed revision of its copy
    # source, where it may not exist under its own name: such a directory
    # has no history of its own to dump.
    dirs = [d for d in dirs_at_head(repo) if own_history(state, d)]
    branch = next((d for d in dirs if re.fullmatch(r"branches/[^/]+", d)),
                  None)
    deep = next((d for d in dirs if d.startswith("trunk/")
                 and d.count("/") >= 2), None) or \
        next((d for d in dirs if d.startswith("trunk/")), None)
    rest = [Mode(start=3, end=head - 5), Mode(start=3, end=head - 5,
                                              deltas=True),
            Mode(dry_run=True), Mode(subdir="trunk", dry_run=True)]
    for subdir in filter(None, ("trunk", branch, deep)):
        rest += variants(subdir)
    rest += variants("trunk", start=5)
    whole = Mode(deltas=seed % 2 == 0)
    if ALL_MODES:
        chosen = [Mode(), Mode(deltas=True)] + rest
    else:
        first = (PER_SEED * (seed - 1)) % len(rest)
        chosen = [whole] + [rest[(first + i) % len(rest)]
                            for i in range(PER_SEED)]
    return [(m, ("file", "svn")[(seed + i) % 2])
            for i, m in enumerate(chosen)]


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
            for mode, protocol in seed_modes(repo, seed):
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


if __name__ == "__main__":
    unittest.main()
