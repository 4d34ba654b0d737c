"""The options that came with the apr_getopt_long scan, end to end over
file://, svn:// and http://: -F (the dump is renamed into place only after a
successful run), --password-from-stdin and --config-option against servers
that ask for passwords, and dates in revision ranges, which pick the
revisions that `svn log -r {DATE}` picks."""

import contextlib
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

VORNHALD = os.environ["VORNHALD"]
USER, PASSWORD = "alice", "pw from stdin"
ACCESS = servers.Access(users={USER: PASSWORD})
PROTOCOLS = ("file", "svn", "http")
DUMPED = re.compile(r"^\* Dumped revision (\d+)", re.M)
# Revision N of "dated" was committed at noon of 2020-01-0N.
DATED_REVS = 5


class Options(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="vh-options-")
        cls.home = os.path.join(cls.base, "home")
        cls.served = os.path.join(cls.base, "served")
        os.mkdir(cls.home)
        os.mkdir(cls.served)
        generator.generate(os.path.join(cls.served, "gen"), 3, 12)
        cls.make_dated(os.path.join(cls.served, "dated"))
        cls.stack = contextlib.ExitStack()
        cls.open_bases = {p: cls.stack.enter_context(
            servers.serve(p, cls.served)) for p in PROTOCOLS}
        cls.closed_bases = {p: cls.stack.enter_context(
            servers.serve(p, cls.served, ACCESS)) for p in ("svn", "http")}

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()
        shutil.rmtree(cls.base, ignore_errors=True)

    @classmethod
    def make_dated(cls, repo):
        subprocess.run(["svnadmin", "create", repo], check=True)
        url = servers.file_url(repo)
        for rev in range(1, DATED_REVS + 1):
            subprocess.run(["svnmucc", "-U", url, "-m", "r%d" % rev, "mkdir",
                            "d%d" % rev], check=True,
                           stdout=subprocess.DEVNULL)
            date = "2020-01-%02dT12:00:00.000000Z" % rev
            subprocess.run(["svnadmin", "setrevprop", repo,
                            "-r", str(rev), "svn:date", "/dev/stdin"],
                           input=date.encode(), check=True)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=self.base, prefix="tmp-")
        self.work = tempfile.mkdtemp(dir=self.base, prefix="work-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)

    def run_vornhald(self, *args, stdin=None):
        env = dict(os.environ, HOME=self.home, TMPDIR=self.tmp,
                   LC_ALL="C.UTF-8")
        # A session of its own has no controlling terminal, so that a
        # prompt can only read standard input.
        p = subprocess.run([VORNHALD, *args], env=env, capture_output=True,
                           input=stdin if stdin is not None else b"",
                           timeout=300, start_new_session=True)
        self.assertGreaterEqual(p.returncode, 0, "killed by a signal")
        return p

    def youngest_of_load(self, path):
        repo = os.path.join(self.work, "loaded")
        shutil.rmtree(repo, ignore_errors=True)
        subprocess.run(["svnadmin", "create", repo], check=True)
        with open(path, "rb") as f:
            subprocess.run(["svnadmin", "load", "-q", repo], stdin=f,
                           check=True)
        return int(subprocess.run(["svnlook", "youngest", repo], check=True,
                                  capture_output=True).stdout)

    # -F

    def test_file_is_renamed_into_place_after_success(self):
        for protocol in PROTOCOLS:
            with self.subTest(protocol=protocol):
                url = self.open_bases[protocol] + "/gen"
                target = os.path.join(self.work, "gen-%s.dump" % protocol)
                p = self.run_vornhald("-F", target, url)
                self.assertEqual(p.returncode, 0, p.stderr)
                self.assertEqual(p.stdout, b"")
                # Revisions 0 to 12.
                self.assertEqual(len(DUMPED.findall(p.stderr.decode())), 13)
                self.assertFalse(os.path.exists(target + ".partial"))
                plain = self.run_vornhald("-q", url)
                self.assertEqual(plain.returncode, 0, plain.stderr)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), plain.stdout)
                self.assertEqual(self.youngest_of_load(target), 12)
                self.assertEqual(os.listdir(self.tmp), [])

    def test_failed_run_leaves_nothing_at_file(self):
        """A run that fails before writing removes its empty partial file;
        one that fails after writing keeps it under its own name, cut back
        to its last complete revision, and says so. FILE itself never
        appears, nor a temporary directory."""
        broken = os.path.join(self.work, "broken")
        shutil.copytree(os.path.join(self.served, "dated"), broken)
        # Revision 3 is gone: the log of the range cannot be read, after
        # the dump's header has been written.
        os.remove(os.path.join(broken, "db", "revs", "0", "3"))
        cases = [
            ("fails before writing", ["-r", "15:16",
                                      self.open_bases["file"] + "/gen"],
             False),
            ("fails after writing", [servers.file_url(broken)], True),
        ]
        for what, args, keeps in cases:
            with self.subTest(what):
                target = os.path.join(self.work, "out.dump")
                p = self.run_vornhald("-q", "-F", target, *args)
                err = p.stderr.decode()
                self.assertEqual(p.returncode, 1, err)
                self.assertFalse(os.path.exists(target), err)
                self.assertEqual(p.stdout, b"")
                self.assertEqual(os.listdir(self.tmp), [])
                partial = target + ".partial"
                kept = "NOTE: The incomplete dump is kept in %s\n" % partial
                if keeps:
                    self.assertIn(kept, err)
                    with open(partial, "rb") as f:
                        self.assertTrue(f.read().startswith(
                            b"SVN-fs-dump-format-version: 2\n"))
                    os.remove(partial)
                else:
                    self.assertNotIn(kept, err)
                    self.assertFalse(os.path.exists(partial))
        # A directory that cannot be written: nothing is made, before any
        # connection.
        p = self.run_vornhald("-F", "/nonexistent/dir/out.dump",
                              self.open_bases["file"] + "/gen")
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stderr.decode().startswith(
            "ERROR: Can't open '/nonexistent/dir/out.dump.partial' for "
            "writing: "), p.stderr)
        self.assertEqual(os.listdir(self.tmp), [])

    # --password-from-stdin and --config-option

    def test_password_from_stdin(self):
        for protocol, base in self.closed_bases.items():
            url = base + "/gen/trunk"
            cases = [("line end", PASSWORD.encode() + b"\n", 0),
                     ("CRLF", PASSWORD.encode() + b"\r\n", 0),
                     ("no line end", PASSWORD.encode(), 0),
                     ("first line only", PASSWORD.encode() + b"\nmore\n", 0),
                     ("wrong", b"not it\n", 1),
                     ("empty input", b"", 1)]
            for what, stdin, status in cases:
                with self.subTest(protocol=protocol, case=what):
                    p = self.run_vornhald("-q", "--no-auth-cache", "-u", USER,
                                          "--password-from-stdin", url,
                                          stdin=stdin)
                    self.assertEqual(p.returncode, status, p.stderr)
                    if status == 0:
                        self.assertEqual(p.stderr, b"")
                        self.assertTrue(p.stdout.startswith(
                            b"SVN-fs-dump-format-version: "))
                    else:
                        self.assertEqual(p.stdout, b"")
                        self.assertTrue(p.stderr.startswith(b"ERROR: "),
                                        p.stderr)
                        self.assertEqual(os.listdir(self.tmp), [])

    def test_prompts_only_when_forced_without_a_terminal(self):
        """Standard input is no terminal: without --force-interactive the
        run does not prompt and fails for want of a password; with it, the
        password prompt reads standard input."""
        for protocol, base in self.closed_bases.items():
            for forced in (False, True):
                with self.subTest(protocol=protocol, forced=forced):
                    extra = ["--force-interactive"] if forced else []
                    p = self.run_vornhald("-q", "--no-auth-cache", "-u", USER,
                                          *extra, base + "/gen/trunk",
                                          stdin=PASSWORD.encode() + b"\n")
                    err = p.stderr.decode()
                    if forced:
                        self.assertEqual(p.returncode, 0, err)
                        self.assertIn("Password for '%s': " % USER, err)
                        self.assertTrue(p.stdout.startswith(
                            b"SVN-fs-dump-format-version: "))
                    else:
                        self.assertEqual(p.returncode, 1, err)
                        self.assertNotIn("Password for", err)
                        self.assertTrue(err.startswith("ERROR: "), err)

    def auth_files(self, config_dir):
        found = []
        for dirpath, _, names in os.walk(os.path.join(config_dir, "auth")):
            found += [os.path.join(dirpath, n) for n in names]
        return found

    def test_config_option_overrides_the_configuration(self):
        """store-auth-creds=no (in either file) keeps a run that would
        cache its credentials from caching them."""
        settings = [None, "config:auth:store-auth-creds=no",
                    "servers:global:store-auth-creds=no"]
        for protocol, base in self.closed_bases.items():
            for setting in settings:
                with self.subTest(protocol=protocol, setting=setting):
                    config_dir = tempfile.mkdtemp(dir=self.work)
                    extra = ["--config-option", setting] if setting else []
                    p = self.run_vornhald("-q", "--config-dir", config_dir,
                                          *extra, "-u", USER,
                                          "--password-from-stdin",
                                          base + "/gen/trunk",
                                          stdin=PASSWORD.encode() + b"\n")
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertEqual(len(self.auth_files(config_dir)),
                                     0 if setting else 1)
        p = self.run_vornhald("--config-option", "servers:global",
                              self.open_bases["file"] + "/gen")
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stderr.startswith(
            b"ERROR: invalid argument 'servers:global' for --config-option"))

    # Dates in ranges

    def svn_log_revisions(self, url, rev_arg):
        out = subprocess.run(["svn", "log", "-q", "--non-interactive",
                              "-r", rev_arg, url], check=True,
                             capture_output=True, text=True,
                             env=dict(os.environ, HOME=self.home)).stdout
        return [int(r) for r in re.findall(r"^r(\d+) \|", out, re.M)]

    def test_dates_pick_the_revisions_svn_log_picks(self):
        ranges = ["{2020-01-02}:{2020-01-04}",
                  "{2020-01-02T12:00:00Z}:{2020-01-04T11:59:59Z}",
                  "{2020-01-03T18:00Z}:HEAD", "2:{2020-01-05T23:00Z}",
                  "{2019-06-01}:{2020-01-02T13:00Z}"]
        for protocol in PROTOCOLS:
            url = self.open_bases[protocol] + "/dated"
            for rng in ranges:
                with self.subTest(protocol=protocol, range=rng):
                    p = self.run_vornhald("-r", rng, url)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    # A dump from revision 0 writes it, svn log shows no
                    # revision 0 (it changed nothing).
                    dumped = [int(r) for r in
                              DUMPED.findall(p.stderr.decode()) if r != "0"]
                    self.assertEqual(dumped,
                                     self.svn_log_revisions(url, rng))
            # A single date is the range N-1:N, as a single number is.
            for date in ("{2020-01-03T13:00Z}", "{2020-01-05T12:00Z}"):
                with self.subTest(protocol=protocol, date=date):
                    picked = self.svn_log_revisions(url, date)
                    self.assertEqual(len(picked), 1)
                    p = self.run_vornhald("-r", date, url)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    dumped = [int(r) for r in
                              DUMPED.findall(p.stderr.decode())]
                    self.assertEqual(dumped, [picked[0] - 1, picked[0]])
        # A range that runs backwards once the dates are known.
        p = self.run_vornhald("-r", "4:{2020-01-02T13:00Z}",
                              self.open_bases["file"] + "/dated")
        self.assertEqual(p.returncode, 1)
        self.assertEqual(p.stderr, b"ERROR: invalid revision range "
                                   b"'4:{2020-01-02T13:00Z}'.\n")
        self.assertEqual(p.stdout, b"")
        self.assertEqual(os.listdir(self.tmp), [])


if __name__ == "__main__":
    unittest.main()
