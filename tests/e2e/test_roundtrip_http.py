"""Round trips over http://, through Apache with mod_dav_svn: every loadable
corpus file whole, with --deltas and as a subdirectory, and a few generated
histories in several modes, and incremental dumps of the corpus. The corpus holds log messages with carriage
returns, which the log report over http:// turns into line feeds.

One Apache serves every repository of the run (anonymous read); each case
dumps with vornhald, loads the dump with svnadmin and compares every
revision with the source (see lib/harness.py).

VORNHALD_HTTP_SEEDS (default 3) sets the number of generated histories.
"""

import os
import pathlib
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))

import corpus  # noqa: E402
import generator  # noqa: E402
import harness  # noqa: E402
import servers  # noqa: E402
from modes import Mode  # noqa: E402
from repostate import DIR, RepoState  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")
SUBJECT = [VORNHALD, "-q", "{flags}", "{url}"]
SEEDS = int(os.environ.get("VORNHALD_HTTP_SEEDS", "3"))
SEED_REVS = 40


def subdir_of(repo):
    """A directory at HEAD to dump on its own: "trunk" if there is one,
    else the first top-level directory, else None."""
    state = RepoState(repo)
    dirs = sorted(name for name, (kind, _) in
                  state.entries(state.youngest(), "").items() if kind == DIR)
    if "trunk" in dirs:
        return "trunk"
    return dirs[0] if dirs else None


class HttpRoundTrip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="rt-http-")
        cls.served = os.path.join(cls.work, "served")
        os.mkdir(cls.served)
        cls.entries = []
        # Without the corpus only the generated histories are served.
        for i, entry in enumerate(corpus.loadable()
                                  if corpus.available() else []):
            repo = os.path.join(cls.served, "c%d" % i)
            corpus.load_entry(entry, repo)
            cls.entries.append((entry, repo))
        cls.seeds = []
        for seed in range(1, SEEDS + 1):
            repo = os.path.join(cls.served, "g%d" % seed)
            generator.generate(repo, seed, SEED_REVS)
            cls.seeds.append((seed, repo))
        cls.server = servers.apache(cls.served)
        cls.base = cls.server.__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.server.__exit__(None, None, None)
        shutil.rmtree(cls.work, ignore_errors=True)

    def assert_roundtrip(self, repo, mode, bypass=False, label=""):
        r = harness.roundtrip(SUBJECT, repo, mode, protocol="http",
                              bypass=bypass, url_base=self.base)
        what = "%s %s over http" % (label, mode.name())
        self.assertTrue(r.ok, what + ": " + r.message)
        if not mode.dry_run:
            self.assertEqual(r.copies_kept, r.copies_source,
                             what + ": copies kept")

    def test_corpus(self):
        corpus.require()
        for entry, repo in self.entries:
            modes = [Mode(), Mode(deltas=True)]
            # An incremental dump writes the log messages that it fetched
            # as a whole, which must be exact too.
            if RepoState(repo).youngest() >= 2:
                modes.append(Mode(incremental_from=2))
            sub = subdir_of(repo)
            if sub:
                modes.append(Mode(subdir=sub))
            for mode in modes:
                with self.subTest(entry.name, mode=mode.name()):
                    self.assert_roundtrip(repo, mode, entry.bypass,
                                          entry.name)

    def test_generated(self):
        modes = [Mode(), Mode(deltas=True, start=3, end=30),
                 Mode(subdir="trunk", keep_revnums=True),
                 Mode(subdir="trunk", deltas=True, prefix="p/"),
                 Mode(subdir="trunk", start=5)]
        for seed, repo in self.seeds:
            for mode in modes:
                with self.subTest(seed=seed, mode=mode.name()):
                    self.assert_roundtrip(repo, mode, label="seed %d" % seed)


if __name__ == "__main__":
    unittest.main()
