"""Session setup against real repositories over file:// and svn://: the
subtree path worked out from the URL (seen in the debug line of
session_open), a file URL refused, credentials handed to the server, and a
missing repository reported with the temporary directory removed."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import servers  # noqa: E402

VORNHALD = os.environ["VORNHALD"]
OPENED = re.compile(r"^session_open\(\): encoded_url = (.*), root = (.*), "
                    r"repos_path = (.*)$", re.M)


class Session(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="vh-session-")
        cls.home = os.path.join(cls.base, "home")
        cls.served = os.path.join(cls.base, "served")
        os.mkdir(cls.home)
        os.mkdir(cls.served)
        text = os.path.join(cls.base, "file.txt")
        with open(text, "w") as f:
            f.write("text\n")
        for name in ("repo", "locked"):
            path = os.path.join(cls.served, name)
            subprocess.run(["svnadmin", "create", path], check=True)
            subprocess.run(["svnmucc", "-U", servers.file_url(path), "-m",
                            "init", "mkdir", "trunk", "mkdir",
                            "trunk/sub dir", "put", text,
                            "trunk/sub dir/file.txt"],
                           check=True, stdout=subprocess.DEVNULL)
        # "locked" lets only alice in, with password "s3cret".
        conf = os.path.join(cls.served, "locked", "conf")
        with open(os.path.join(conf, "svnserve.conf"), "w") as f:
            f.write("[general]\nanon-access = none\nauth-access = read\n"
                    "password-db = passwd\n")
        with open(os.path.join(conf, "passwd"), "w") as f:
            f.write("[users]\nalice = s3cret\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.base, ignore_errors=True)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=self.base, prefix="tmp-")

    def vornhald(self, *args):
        env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp, LC_ALL="C")
        p = subprocess.run([VORNHALD, "--non-interactive"] + list(args),
                           env=env, capture_output=True, text=True,
                           stdin=subprocess.DEVNULL, timeout=120)
        self.assertGreaterEqual(p.returncode, 0, "killed by a signal")
        return p

    def opened(self, p):
        m = OPENED.search(p.stderr)
        self.assertIsNotNone(m, p.stderr)
        return m.groups()

    def each_protocol(self, check):
        """Runs check(base) with the URL base of the served repositories over
        file:// and over svn://."""
        for protocol in ("file", "svn"):
            with self.subTest(protocol=protocol), \
                    servers.serve(protocol, self.served) as base:
                check(base)

    def test_subtree_path_from_the_url(self):
        cases = [
            ("/repo", ""),
            ("/repo/", ""),
            # The subtree path is kept decoded, as the log names paths.
            ("/repo/trunk/sub dir/", "trunk/sub dir"),
            ("/repo/trunk/sub%20dir", "trunk/sub dir"),
        ]
        def check(base):
            for suffix, repos_path in cases:
                p = self.vornhald("-v", "-v", "-v", base + suffix)
                url, root, path = self.opened(p)
                self.assertEqual(root, base + "/repo")
                self.assertEqual(path, repos_path, suffix)
                self.assertEqual(url, root + ("/" + urllib.parse.quote(path)
                                              if path else ""))
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(os.listdir(self.tmp), [])
        self.each_protocol(check)

    def test_a_file_url_is_refused(self):
        def check(base):
            p = self.vornhald(base + "/repo/trunk/sub dir/file.txt")
            self.assertEqual(p.returncode, 1)
            self.assertIn("ERROR: '%s/repo/trunk/sub%%20dir/file.txt' refers "
                          "to a file.\n" % base, p.stderr)
            self.assertNotIn("NOTE:", p.stderr)
            self.assertEqual(os.listdir(self.tmp), [])
        self.each_protocol(check)

    def test_credentials_reach_the_server(self):
        with servers.svnserve(self.served) as base:
            url = base + "/locked/trunk"
            p = self.vornhald("-v", "-v", "-v", "--no-auth-cache",
                              "--username", "alice", "-p", "s3cret", url)
            self.assertEqual(self.opened(p)[2], "trunk")
            self.assertEqual(p.returncode, 0, p.stderr)
            for args in (["-u", "alice", "-p", "wrong"], []):
                with self.subTest(args=args):
                    p = self.vornhald("--no-auth-cache", *args, url)
                    self.assertEqual(p.returncode, 1)
                    self.assertTrue(p.stderr.startswith("ERROR: "), p.stderr)
                    self.assertNotIn("NOTE:", p.stderr)
                    self.assertEqual(os.listdir(self.tmp), [])

    def test_missing_repository(self):
        def check(base):
            p = self.vornhald(base + "/nothing-here")
            self.assertEqual(p.returncode, 1)
            lines = p.stderr.splitlines()
            self.assertTrue(lines, p.stderr)
            for line in lines:
                self.assertTrue(line.startswith("ERROR: "), p.stderr)
            self.assertEqual(os.listdir(self.tmp), [])
        self.each_protocol(check)


if __name__ == "__main__":
    unittest.main()
