"""The command line and the program's lifecycle, end to end: usage and
version texts, scan errors, the temporary directory (where it is made, kept
and named after a failed dump, gone after a successful one) and the exit
status."""

import os
import pathlib
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import servers  # noqa: E402

VORNHALD = os.environ["VORNHALD"]
HINT = "Please run with --help for usage information.\n"
# The last line of a failed dump: where the dump ends.
NOTE = re.compile(r"^NOTE: (no revision was written completely; run the same "
                  r"command again\.|the dump ends with revision \d+ .*)$", re.M)
NOT_YET = "dumping is not available yet"


def run(args, tmpdir, home, unset_tmpdir=False):
    """Runs vornhald with TMPDIR=tmpdir (or without TMPDIR); returns the
    completed process with text output."""
    env = dict(os.environ, HOME=home, LC_ALL="C")
    env.pop("TMPDIR", None)
    if not unset_tmpdir:
        env["TMPDIR"] = tmpdir
    return subprocess.run([VORNHALD] + args, env=env, capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=120,
                          errors="replace")


class Cli(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="vh-cli-")
        cls.home = os.path.join(cls.base, "home")
        os.mkdir(cls.home)
        repo = os.path.join(cls.base, "repo")
        subprocess.run(["svnadmin", "create", repo], check=True)
        cls.url = servers.file_url(repo)
        subprocess.run(["svnmucc", "-U", cls.url, "-m", "one", "mkdir",
                        "trunk"], check=True, stdout=subprocess.DEVNULL)
        cls.repo = repo
        # A text larger than a pipe holds: a dump of it whose output nobody
        # reads stays running, with its temporary directory in place.
        big = os.path.join(cls.base, "big.bin")
        with open(big, "wb") as f:
            f.write(os.urandom(2 << 20))
        held = os.path.join(cls.base, "held")
        subprocess.run(["svnadmin", "create", held], check=True)
        cls.held_url = servers.file_url(held)
        subprocess.run(["svnmucc", "-U", cls.held_url, "-m", "big", "put",
                        big, "big.bin"], check=True, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.base, ignore_errors=True)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=self.base, prefix="tmp-")

    def vornhald(self, *args, **kw):
        p = run(list(args), kw.pop("tmpdir", self.tmp), self.home, **kw)
        self.assertGreaterEqual(p.returncode, 0, "killed by a signal")
        return p

    def assertNoTempDir(self, p):
        self.assertEqual(os.listdir(self.tmp), [], p.stderr)

    def failed_dump(self, *args, **kw):
        """A dump that fails before it writes anything (the range ends after
        HEAD): the error, no note on where the dump ends, and no temporary
        directory left."""
        p = self.vornhald(*args, "-r", "5:6", self.url, **kw)
        self.assertEqual(p.returncode, 1, p.stderr)
        self.assertIsNone(NOTE.search(p.stderr), p.stderr)
        self.assertNoTempDir(p)
        return p

    def held_temp_dir(self, tmpdir, unset_tmpdir=False):
        """The temporary directory of a running dump whose output is not
        read, found in `tmpdir` (or /tmp); the dump is then let finish."""
        parent = "/tmp" if unset_tmpdir else (tmpdir or "/")
        before = set(os.listdir(parent))
        env = dict(os.environ, HOME=self.home)
        env.pop("TMPDIR", None)
        if not unset_tmpdir:
            env["TMPDIR"] = tmpdir
        proc = subprocess.Popen([VORNHALD, "-q", self.held_url], env=env,
                                stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        try:
            found = None
            for _ in range(600):
                new = [n for n in set(os.listdir(parent)) - before
                       if n.startswith("vornhald")]
                if new:
                    found = os.path.join(parent, new[0])
                    break
                time.sleep(0.05)
            self.assertIsNotNone(found, "no temporary directory appeared")
            mode = os.stat(found).st_mode
        finally:
            proc.stdout.read()
            proc.wait(timeout=120)
        self.assertEqual(proc.returncode, 0)
        self.assertFalse(os.path.exists(found))
        return found, mode

    def test_missing_url_is_a_usage_error(self):
        # A forgotten URL must not write the usage text where the dump
        # would go: a hint on standard error, status 1.
        for args in ([], ["-q"], ["-r", "3", "--deltas"]):
            with self.subTest(args=args):
                p = self.vornhald(*args)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stdout, "")
                self.assertEqual(p.stderr,
                                 "ERROR: Missing repository URL.\n" + HINT)
                self.assertNoTempDir(p)

    def test_help_and_version(self):
        for args in ([self.url, "-h"], ["--help", "--bogus"]):
            p = self.vornhald(*args)
            self.assertEqual(p.returncode, 0, args)
            self.assertIn("USAGE: vornhald", p.stdout)
            self.assertIn("    --config-dir ARG ", p.stdout)
            for option in ("--obfuscate", "-F [--file] FILE",
                           "--password-from-stdin", "--config-option ARG",
                           "--trust-server-cert-failures ARG",
                           "--force-interactive"):
                self.assertIn(option, p.stdout)
            self.assertTrue(p.stdout.startswith("vornhald "), p.stdout)
            self.assertTrue(p.stdout.endswith(">\n"))
            self.assertEqual(p.stderr, "")
        p = self.vornhald("--version", "--bogus")
        self.assertEqual(p.returncode, 0)
        lines = p.stdout.splitlines()
        self.assertEqual(len(lines), 2, p.stdout)
        self.assertRegex(lines[0], r"^vornhald \d+\.\d+\.\d+$")
        self.assertNoTempDir(p)

    def test_unwritable_standard_output_is_a_failure(self):
        for args in (["--version"], ["--help"]):
            with self.subTest(args=args), open("/dev/full", "w") as full:
                p = subprocess.run([VORNHALD] + args, stdout=full,
                                   stderr=subprocess.PIPE, text=True,
                                   timeout=60)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(
                    p.stderr, "ERROR: Unable to write to standard output.\n")
        # A dump that cannot be written is a failed dump.
        with open("/dev/full", "w") as full:
            env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp)
            p = subprocess.run([VORNHALD, "-q", self.url], stdout=full,
                               stderr=subprocess.PIPE, text=True, env=env,
                               timeout=120)
        self.assertEqual(p.returncode, 1)
        self.assertIn("ERROR: ", p.stderr)
        self.assertIsNotNone(NOTE.search(p.stderr), p.stderr)

    def test_scan_errors(self):
        cases = [
            (["bogus", "--help"],
             "ERROR: Unknown argument or malformed url 'bogus'.\n" + HINT),
            ([""], "ERROR: Unknown argument or malformed url ''.\n" + HINT),
            ([self.url, "-r"], "ERROR: Missing argument for option: -r\n" +
             HINT),
            ([self.url, self.url + "/trunk"],
             "ERROR: multiple URLs detected.\n" + HINT),
            (["-r", "HEAD:3", self.url],
             "ERROR: invalid revision range 'HEAD:3'.\n"),
            (["-q", "--stop", "0", self.url],
             "WARNING: the '--stop' option is deprecated. Please use "
             "'--revision'.\n"
             "         The resulting dump WILL DIFFER from the one obtained "
             "with\n"
             "         previous versions of the program if you are dumping a "
             "subdirectory.\n"
             "ERROR: invalid revision number '0'.\n"),
        ]
        for args, err in cases:
            with self.subTest(args=args):
                p = self.vornhald(*args)
                self.assertEqual(p.returncode, 1)
                self.assertEqual(p.stderr, err)
                self.assertEqual(p.stdout, "")
                self.assertNoTempDir(p)

    def test_bad_input_never_crashes(self):
        cases = [
            ["svn://"], ["file://"], ["http://[::1"], ["xyz://host/"],
            ["file://" + self.base + "/missing"],
            [self.url + "/trunk/../.."],
            ["file:///tmp/\udcff"], ["-r", "9" * 40, self.url],
            ["--prefix", "x" * 100000, "file://" + self.base + "/missing"],
            ["-u"], ["--config-dir"],
        ]
        for args in cases:
            with self.subTest(args=args[:2]):
                args = [a.encode("utf-8", "surrogateescape") for a in args]
                env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp)
                p = subprocess.run([VORNHALD.encode()] + args, env=env,
                                   capture_output=True, timeout=120,
                                   stdin=subprocess.DEVNULL)
                self.assertEqual(p.returncode, 1, p.stderr)
                self.assertTrue(p.stderr.startswith(b"ERROR: "), p.stderr)
                self.assertNotIn(b"NOTE:", p.stderr)
                self.assertNoTempDir(p)

    def test_missing_repository(self):
        missing = "file://" + self.base + "/nothing-here"
        p = self.vornhald(missing)
        self.assertEqual(p.returncode, 1)
        lines = p.stderr.splitlines()
        self.assertGreaterEqual(len(lines), 1)
        for line in lines:
            self.assertTrue(line.startswith("ERROR: "), p.stderr)
        self.assertIn(missing, p.stderr)
        self.assertEqual(p.stdout, "")
        self.assertNoTempDir(p)

    def test_failed_dump_removes_the_temp_dir(self):
        for quiet in ([], ["-q"]):
            with self.subTest(quiet=quiet):
                p = self.failed_dump(*quiet)
                self.assertIn("ERROR: ", p.stderr)

    def test_tmpdir_forms(self):
        # The private directory, 0700, made while the dump runs.
        path, mode = self.held_temp_dir(self.tmp)
        self.assertEqual(os.path.dirname(path), self.tmp)
        self.assertRegex(os.path.basename(path), r"^vornhald[A-Za-z0-9]{6}$")
        self.assertTrue(stat.S_ISDIR(mode))
        self.assertEqual(stat.S_IMODE(mode), 0o700)
        # TMPDIR with a trailing slash: no doubled slash in the path.
        path, _ = self.held_temp_dir(self.tmp + "/")
        self.assertEqual(os.path.dirname(path), self.tmp)
        # Without TMPDIR: under /tmp.
        path, _ = self.held_temp_dir(None, unset_tmpdir=True)
        self.assertRegex(path, r"^/tmp/vornhald[A-Za-z0-9]{6}$")
        # A TMPDIR that does not exist.
        p = self.vornhald(self.url, tmpdir=self.tmp + "/missing")
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr,
                         "ERROR: Unable to create temporary directory.\n")
        # An empty TMPDIR names the file-system root.
        if os.access("/", os.W_OK):
            path, _ = self.held_temp_dir("")
            self.assertRegex(path, r"^/vornhald[A-Za-z0-9]{6}$")
        else:
            p = self.vornhald(self.url, tmpdir="")
            self.assertEqual(p.returncode, 1)
            self.assertEqual(p.stderr,
                             "ERROR: Unable to create temporary directory.\n")

    def test_successful_dump_removes_the_temp_dir(self):
        p = self.vornhald("-q", self.url)
        if p.returncode != 0 and NOT_YET in p.stderr:
            self.skipTest("the dump driver is not there yet")
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertEqual(p.stderr, "")
        self.assertNoTempDir(p)
        self.assertTrue(p.stdout.startswith("SVN-fs-dump-format-version: "))
        loaded = os.path.join(self.tmp, "..", "loaded-" + os.path.basename(
            self.tmp))
        subprocess.run(["svnadmin", "create", loaded], check=True)
        subprocess.run(["svnadmin", "load", "-q", loaded], input=p.stdout,
                       text=True, check=True)
        out = subprocess.run(["svnlook", "youngest", loaded], check=True,
                             capture_output=True, text=True).stdout
        self.assertEqual(out.strip(), "1")


if __name__ == "__main__":
    unittest.main()
