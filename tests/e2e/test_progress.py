"""What a dump writes on standard error, on a terminal (a pty) and
elsewhere: on a terminal the "* Dumped revision N." lines with a status
line below them (done of total, the rate, the expected end) rewritten in
place; in a pipe or a file exactly those lines and nothing else, and with
-v -v no control sequences either."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import generator  # noqa: E402
import servers  # noqa: E402
import terminal  # noqa: E402

VORNHALD = os.environ["VORNHALD"]
REVS = 10
CLEAR = b"\r\x1b[0K"
STATUS = re.compile(rb"\r\x1b\[0K(\d+) of (\d+) revisions, [0-9.]+ per "
                    rb"second, expected end at \d\d:\d\d:\d\d")


class Progress(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="vh-progress-")
        cls.url = servers.file_url(generator.generate(
            os.path.join(cls.base, "gen"), 11, REVS))
        cls.env = dict(os.environ, HOME=cls.base, TMPDIR=cls.base,
                       LC_ALL="C.UTF-8")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.base, ignore_errors=True)

    def on_terminal(self, *args):
        """Runs vornhald with standard error on a pty; returns what it
        wrote there."""
        status, data = terminal.run_on_terminal([VORNHALD, *args],
                                                env=self.env)
        self.assertEqual(status, 0, data)
        return data

    def elsewhere(self, *args):
        p = subprocess.run([VORNHALD, *args], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           env=self.env, timeout=300)
        self.assertEqual(p.returncode, 0, p.stderr)
        return p.stderr

    @staticmethod
    def dumped_lines(first, last):
        return b"".join(b"* Dumped revision %d.\n" % r
                        for r in range(first, last + 1))

    # What today's runs without a terminal write is checked below; a run on
    # a terminal writes the same lines and the status line between them.

    def test_terminal_shows_a_status_line_below_the_lines(self):
        for args, first in ((["-r", "0:HEAD"], 0), (["-r", "4:HEAD"], 4)):
            with self.subTest(args=args):
                err = self.on_terminal(*args, self.url)
                total = REVS - first + 1
                counts = [(int(d), int(t)) for d, t in STATUS.findall(err)]
                # Shown at the start, then after every revision, counting
                # up.
                self.assertEqual([d for d, _ in counts],
                                 list(range(1, total + 1)), err)
                self.assertEqual({t for _, t in counts}, {total})
                self.assertTrue(err.startswith(
                    CLEAR + b"0 of %d revisions" % total), err)
                # Taken off the screen at the end; without the status
                # lines, exactly the lines of a run without a terminal.
                self.assertTrue(err.endswith(CLEAR), err)
                plain = re.sub(rb"\r\x1b\[0K[^\r\n]*?(?=\r|$)", b"", err)
                plain = plain.replace(CLEAR, b"").replace(b"\r", b"")
                self.assertEqual(plain, self.elsewhere(*args, self.url))

    def test_elsewhere_only_the_lines(self):
        self.assertEqual(self.elsewhere(self.url),
                         self.dumped_lines(0, REVS))
        # A whole-repository dump from revision 3 numbers it 1.
        self.assertEqual(self.elsewhere("-r", "3:7", self.url),
                         b"".join(b"* Dumped revision %d (local %d).\n"
                                  % (r, r - 2) for r in range(3, 8)))
        self.assertEqual(self.elsewhere("-q", self.url), b"")
        self.assertEqual(self.on_terminal("-q", self.url), b"")

    def test_counter_lines_are_rewritten_on_a_terminal_only(self):
        args = ["-v", "-v", "--incremental", "-r", "5:HEAD", self.url]
        logged = self.elsewhere(*args)
        self.assertNotIn(b"\r", logged)
        self.assertNotIn(b"\x1b", logged)
        for line in (b"Fetching logs... done\n",
                     b"Preparing tree history... done\n"):
            self.assertIn(line, logged)
        shown = self.on_terminal(*args)
        self.assertIn(CLEAR + b"Fetching logs... ", shown)
        self.assertIn(CLEAR + b"Fetching logs... done\n", shown)
        # -v and above show no status line.
        self.assertIsNone(STATUS.search(shown))


if __name__ == "__main__":
    unittest.main()
