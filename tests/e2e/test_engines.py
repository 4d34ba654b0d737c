"""Revisions fetched ahead, by replays where they stand for diffs, write the
dump that one session fetching each revision as it is written writes: byte
for byte, in every mode (the whole repository, a range, a subdirectory
dense, padded and under a prefix, a branch, deltas, incremental dumps from
the middle), over file:// and svn://, on a generated history with copies,
replaces, property changes and revisions without a log message.
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import generator  # noqa: E402
import servers  # noqa: E402
from same_dumps import modes_for  # noqa: E402

VORNHALD = os.environ.get("VORNHALD", "vornhald")


class EnginesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="vh_engines_")
        cls.tmp = os.path.join(cls.work, "tmp")
        os.mkdir(cls.tmp)
        cls.repos = os.path.join(cls.work, "repos")
        os.mkdir(cls.repos)
        generator.generate(os.path.join(cls.repos, "gen"), 2, 80)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def dump(self, url, flags):
        env = dict(os.environ, TMPDIR=self.tmp)
        return subprocess.run([VORNHALD, *flags, url], capture_output=True,
                              env=env, stdin=subprocess.DEVNULL, timeout=600)

    def test_fetched_ahead_equals_one_session(self):
        for protocol in ("file", "svn"):
            with servers.serve(protocol, self.repos) as base:
                # The fast path is taken: runs of revisions are replayed.
                p = self.dump(base + "/gen", ["-vvv"])
                self.assertEqual(p.returncode, 0, p.stderr[-2000:])
                self.assertIn(b"replayed r", p.stderr)
                for sub, flags in modes_for(os.path.join(self.repos, "gen")):
                    url = base + "/gen" + ("/" + sub if sub else "")
                    with self.subTest(protocol=protocol, sub=sub,
                                      flags=" ".join(flags)):
                        one = self.dump(url, ["-q", "--sessions", "1", *flags])
                        ahead = self.dump(url, ["-q", *flags])
                        # A range where the branch does not exist yet
                        # fails both alike.
                        self.assertEqual((one.returncode, one.stdout),
                                         (ahead.returncode, ahead.stdout))
                        self.assertEqual(os.listdir(self.tmp), [])


if __name__ == "__main__":
    unittest.main()
