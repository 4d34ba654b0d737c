"""Dumps from real servers with passwords: svnserve (anon-access = none, a
password file, authz rules) and Apache with mod_dav_svn (Basic
authentication, mod_authz_svn), both started here on 127.0.0.1.

Good credentials dump and round-trip; the credential cache in --config-dir
is written only without --no-auth-cache; a wrong password, no credentials
and a refused connection end with an "ERROR: " chain, status 1, no output
and no temporary directory; a directory and a file that the user may not
read are left out with a warning and the rest loads; URLs with a trailing
slash, blanks, non-ASCII letters and percent escapes name the same subtree
over every protocol; the password is blanked in the running process's
argument list.
"""

import contextlib
import os
import pathlib
import shutil
import subprocess
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

VORNHALD = os.environ["VORNHALD"]
USER, PASSWORD = "alice", "s3cret-pw"
# alice reads everything but a directory and a file of "hidden"; "gen" is a
# generated history that she reads whole.
HIDDEN_DIR, HIDDEN_FILE = "trunk/secret", "trunk/pub/private.txt"
AUTHZ = ("[/]\n%s = r\n[hidden:/%s]\n%s =\n[hidden:/%s]\n%s =\n"
         % (USER, HIDDEN_DIR, USER, HIDDEN_FILE, USER))
ACCESS = servers.Access(users={USER: PASSWORD, "bob": "other"}, authz=AUTHZ)
REMOTE = ("svn", "http")
# A subdirectory whose name needs escapes in a URL.
ODD_DIR = "trunk/sub dir/\u00fcn\u00ef"


def finish(proc):
    """The rest of a process's standard output (through the buffered reader
    that earlier reads used) and its standard error, once it has ended.
    Its standard error is small: -q."""
    out = proc.stdout.read()
    err = proc.stderr.read()
    proc.wait()
    proc.stdout.close()
    proc.stderr.close()
    return out, err


class Servers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="vh-servers-")
        cls.home = os.path.join(cls.base, "home")
        cls.served = os.path.join(cls.base, "served")
        os.mkdir(cls.home)
        os.mkdir(cls.served)
        cls.make_hidden(os.path.join(cls.served, "hidden"))
        generator.generate(os.path.join(cls.served, "gen"), 5, 30)
        cls.make_big(os.path.join(cls.served, "big"))
        cls.stack = contextlib.ExitStack()
        cls.bases = {p: cls.stack.enter_context(
            servers.serve(p, cls.served, ACCESS)) for p in REMOTE}
        cls.bases["file"] = servers.file_url(cls.served)

    @classmethod
    def tearDownClass(cls):
        cls.stack.close()
        shutil.rmtree(cls.base, ignore_errors=True)

    @classmethod
    def make_hidden(cls, repo):
        """A history in which the hidden directory is added, changed alone,
        changed with readable files, copied (to a readable place and out of
        itself) and deleted; the hidden file is added and changed."""
        subprocess.run(["svnadmin", "create", repo], check=True)
        url = servers.file_url(repo)
        texts = os.path.join(cls.base, "texts")
        os.makedirs(texts, exist_ok=True)

        def text(body):
            path = os.path.join(texts, str(abs(hash(body))))
            with open(path, "w") as f:
                f.write(body)
            return path

        def commit(*ops):
            subprocess.run(["svnmucc", "-U", url, "-m", "log %d" % commit.n]
                           + list(ops), check=True, stdout=subprocess.DEVNULL)
            commit.n += 1
        commit.n = 1
        commit("mkdir", "trunk", "mkdir", "trunk/secret", "mkdir",
               "trunk/pub", "put", text("a\n"), "trunk/pub/a.txt", "put",
               text("s\n"), "trunk/secret/s.txt", "put", text("p\n"),
               HIDDEN_FILE, "mkdir", "trunk/sub dir", "mkdir", ODD_DIR,
               "put", text("odd\n"), ODD_DIR + "/f \u00e9.txt")
        commit("put", text("s2\n"), "trunk/secret/s.txt")
        commit("put", text("s3\n"), "trunk/secret/s.txt", "put",
               text("a3\n"), "trunk/pub/a.txt", "propset", "p", "v",
               "trunk/secret", "put", text("p3\n"), HIDDEN_FILE)
        commit("mkdir", "branches", "cp", "3", "trunk", "branches/b")
        commit("cp", "4", "trunk/secret", "trunk/pub/leak")
        commit("rm", "trunk/secret")
        commit("cp", "3", "trunk/secret", "trunk/secret2", "put",
               text("a7\n"), "trunk/pub/a.txt")

    @classmethod
    def make_big(cls, repo):
        """Revision 1 adds a text far larger than a pipe's buffer, revision
        2 changes another file."""
        subprocess.run(["svnadmin", "create", repo], check=True)
        big = os.path.join(cls.base, "big.txt")
        with open(big, "w") as f:
            for i in range(60000):
                f.write("line %d of a text too big for a pipe\n" % i)
        url = servers.file_url(repo)
        for rev, target in ((1, "big.txt"), (2, "small.txt")):
            subprocess.run(["svnmucc", "-U", url, "-m", "r%d" % rev, "put",
                            big, target], check=True,
                           stdout=subprocess.DEVNULL)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=self.base, prefix="tmp-")
        self.work = tempfile.mkdtemp(dir=self.base, prefix="work-")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)
        shutil.rmtree(self.work, ignore_errors=True)

    def env(self):
        return dict(os.environ, HOME=self.home, TMPDIR=self.tmp,
                    LC_ALL="C.UTF-8")

    def vornhald(self, *args, user=USER, password=PASSWORD,
                 cache=False):
        creds = []
        if user is not None:
            creds += ["-u", user]
        if password is not None:
            creds += ["-p", password]
        if not cache:
            creds.append("--no-auth-cache")
        p = subprocess.run([VORNHALD, "-q", "--non-interactive"] + creds
                           + list(args), env=self.env(), capture_output=True,
                           stdin=subprocess.DEVNULL, timeout=300)
        self.assertGreaterEqual(p.returncode, 0, "killed by a signal")
        return p

    def load(self, dump, name="rebuilt"):
        path = os.path.join(self.work, name)
        corpus.create_repo(path)
        dump_path = path + ".dump"
        with open(dump_path, "wb") as f:
            f.write(dump)
        err = corpus.load(path, [dump_path])
        self.assertIsNone(err)
        return RepoState(path)

    def test_good_credentials_round_trip(self):
        subject = [VORNHALD, "-q", "--non-interactive", "--no-auth-cache",
                   "-u", USER, "-p", PASSWORD, "{flags}", "{url}"]
        repo = os.path.join(self.served, "gen")
        for protocol in REMOTE:
            for mode in (Mode(), Mode(subdir="trunk", deltas=True)):
                with self.subTest(protocol=protocol, mode=mode.name()):
                    r = harness.roundtrip(subject, repo, mode,
                                          protocol=protocol,
                                          url_base=self.bases[protocol],
                                          env=self.env())
                    self.assertTrue(r.ok, r.message)
                    self.assertEqual(r.copies_kept, r.copies_source)
                    self.assertEqual(os.listdir(self.tmp), [])

    def auth_files(self, config_dir):
        """Every file of the credential cache below config_dir, with its
        text."""
        out = {}
        for dirpath, _, names in os.walk(os.path.join(config_dir, "auth")):
            for name in names:
                with open(os.path.join(dirpath, name), "rb") as f:
                    out[os.path.join(dirpath, name)] = f.read()
        return out

    def test_credential_cache_in_config_dir(self):
        for protocol in REMOTE:
            url = self.bases[protocol] + "/gen/trunk"
            for cache in (False, True):
                with self.subTest(protocol=protocol, cache=cache):
                    config_dir = tempfile.mkdtemp(dir=self.work)
                    p = self.vornhald("--config-dir", config_dir, url,
                                      cache=cache)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    cached = self.auth_files(config_dir)
                    if cache:
                        self.assertEqual(len(cached), 1, cached)
                        entry = list(cached.values())[0]
                        self.assertIn(b"\n" + USER.encode() + b"\n", entry)
                    else:
                        self.assertEqual(cached, {})
                    # The default area is read, never written with
                    # credentials.
                    self.assertEqual(
                        self.auth_files(os.path.join(self.home,
                                                     ".subversion")), {})
            # Without --config-dir the default area is the cache.
            with self.subTest(protocol=protocol, config_dir=None):
                p = self.vornhald(url, cache=True)
                self.assertEqual(p.returncode, 0, p.stderr)
                default = os.path.join(self.home, ".subversion")
                self.assertEqual(len(self.auth_files(default)), 1)
                shutil.rmtree(default)

    def test_setup_failures(self):
        refused = {"svn": "svn://127.0.0.1:%d/gen",
                   "http": "http://127.0.0.1:%d/svn/gen"}
        for protocol in REMOTE:
            url = self.bases[protocol] + "/gen"
            cases = [("wrong password", url, USER, "wrong"),
                     ("unknown user", url, "mallory", PASSWORD),
                     ("no credentials", url, None, None),
                     ("refused", refused[protocol] % servers.free_port(),
                      USER, PASSWORD)]
            for what, target, user, password in cases:
                with self.subTest(protocol=protocol, case=what):
                    p = self.vornhald(target, user=user, password=password)
                    self.assertEqual(p.returncode, 1)
                    self.assertEqual(p.stdout, b"")
                    # The library's chain, one "ERROR: " line per link (a
                    # link's message may go on over a second line).
                    err = p.stderr.decode()
                    self.assertTrue(err.startswith("ERROR: "), err)
                    self.assertNotIn("NOTE:", err)
                    self.assertEqual(os.listdir(self.tmp), [])

    def visible_tree(self, state, rev, hidden, top=""):
        """Path to kind and text digest of every node below top at rev,
        leaving out the hidden paths and what lies below them."""
        out = {}
        todo = [top]
        while todo:
            path = todo.pop()
            for name, (kind, _) in state.entries(rev, path).items():
                child = path + "/" + name if path else name
                if child in hidden:
                    continue
                rel = child[len(top):].lstrip("/")
                out[rel] = state.md5(rev, child) if kind != DIR else "dir"
                if kind == DIR:
                    todo.append(child)
        return out

    def test_unreadable_paths_are_left_out_with_a_warning(self):
        source = RepoState(os.path.join(self.served, "hidden"))
        hidden = {HIDDEN_DIR, HIDDEN_FILE}
        for protocol in REMOTE:
            for subdir in ("", "trunk"):
                with self.subTest(protocol=protocol, subdir=subdir):
                    url = self.bases[protocol] + "/hidden"
                    p = self.vornhald(url + ("/" + subdir if subdir else ""))
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertEqual(os.listdir(self.tmp), [])
                    # The directory is reported in every revision that
                    # changes it, the file in both of its revisions.
                    cut = len(subdir) + 1 if subdir else 0
                    self.assertEqual(
                        sorted(p.stderr.decode().splitlines()),
                        sorted("WARNING: no read access to '%s' in revision "
                               "%d; it is left out of the dump."
                               % (path[cut:], rev)
                               for rev, path in [
                                   (1, HIDDEN_FILE), (1, HIDDEN_DIR),
                                   (2, HIDDEN_DIR), (3, HIDDEN_FILE),
                                   (3, HIDDEN_DIR)]))
                    target = self.load(p.stdout, protocol + subdir)
                    # Every readable node, and only those, with its text,
                    # in every revision.
                    if subdir:
                        revs = source.log_revisions(subdir, 1,
                                                    source.youngest())
                    else:
                        revs = range(source.youngest() + 1)
                    first = 1 if subdir else 0
                    self.assertEqual(target.youngest(), len(revs) - 1 + first)
                    for trev, rev in enumerate(revs, first):
                        self.assertEqual(
                            self.visible_tree(target, trev, set()),
                            self.visible_tree(source, rev, hidden, subdir),
                            "revision %d" % rev)
                    # A revision that changed only unreadable paths comes
                    # without author, date and log message; one that changed
                    # readable ones too without its log message.
                    if not subdir:
                        self.assertEqual(target.revprops(2), {})
                        self.assertEqual(set(target.revprops(3)),
                                         {"svn:author", "svn:date"})

    def test_url_forms(self):
        """Every form of a URL names the same subtree, over every protocol:
        the dumps are equal byte for byte."""
        encoded = "trunk/sub%20dir/%C3%BCn%C3%AF"
        for protocol in servers.PROTOCOLS:
            base = self.bases[protocol]
            if protocol == "file":
                base = "file://" + str(pathlib.Path(self.served).resolve())
            forms = [base + "/hidden/" + encoded,
                     base + "/hidden/" + encoded + "/",
                     base + "/hidden/" + ODD_DIR,
                     base + "/hidden/" + ODD_DIR + "//",
                     base + "/hidden/trunk/sub dir/%C3%BCn\u00ef",
                     base + "/hidden/trunk/sub%20dir/%c3%bcn%c3%af"]
            dumps = []
            for url in forms:
                with self.subTest(protocol=protocol, url=url):
                    p = self.vornhald(url)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    dumps.append(p.stdout)
            with self.subTest(protocol=protocol):
                self.assertIn("Node-path: f \u00e9.txt\n".encode(), dumps[0])
                for d in dumps[1:]:
                    self.assertEqual(d, dumps[0])
                state = self.load(dumps[0], "odd-" + protocol)
                self.assertEqual(set(state.entries(1, "")), {"f \u00e9.txt"})

    def test_password_blanked_in_argument_list(self):
        """While a dump runs (held by a full pipe: the dump is larger than
        the pipe's buffer and nothing reads it), its argument list shows
        blanks in place of the user name and the password."""
        for protocol in REMOTE:
            with self.subTest(protocol=protocol):
                argv = [VORNHALD, "-q", "--non-interactive",
                        "--no-auth-cache", "--username", USER, "--password",
                        PASSWORD, self.bases[protocol] + "/big"]
                proc = subprocess.Popen(argv, env=self.env(),
                                        stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
                try:
                    # The header comes after the session is open, long
                    # after the arguments were read.
                    first = proc.stdout.readline()
                    with open("/proc/%d/cmdline" % proc.pid, "rb") as f:
                        words = f.read().split(b"\0")[:-1]
                    self.assertIsNone(proc.poll())
                finally:
                    rest, err = finish(proc)
                self.assertEqual(proc.returncode, 0, err)
                self.assertEqual(first, b"SVN-fs-dump-format-version: 2\n")
                self.assertGreater(len(rest), 1 << 20)
                expected = [w.encode() for w in argv]
                expected[5] = b" " * len(USER)
                expected[7] = b" " * len(PASSWORD)
                self.assertEqual(words, expected)

    def test_server_gone_during_the_dump(self):
        """A server that stops while revision 1 is being written (the
        dump is held by a full pipe) fails the run at revision 2: the error
        chain, status 1, the temporary directory removed, the note that
        names revision 1 as the last one written and how to go on, and on
        standard output revision 1 whole and nothing after it. One
        session: revisions fetched ahead would have revision 2 in hand
        before the server stops."""
        for protocol in REMOTE:
            with self.subTest(protocol=protocol):
                with servers.serve(protocol, self.served) as base:
                    proc = subprocess.Popen(
                        [VORNHALD, "-q", "--non-interactive", "--sessions",
                         "1", base + "/big"],
                        env=self.env(), stdin=subprocess.DEVNULL,
                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    # The node records of a revision are written after
                    # the server has sent all of it; the text after this
                    # line fills the pipe.
                    first = b""
                    while not first.endswith(b"Node-path: big.txt\n"):
                        line = proc.stdout.readline()
                        self.assertTrue(line)
                        first += line
                out, err = finish(proc)
                err = err.decode()
                self.assertEqual(proc.returncode, 1, err)
                self.assertTrue(err.startswith("ERROR: "), err)
                self.assertEqual(os.listdir(self.tmp), [])
                self.assertIn(
                    "NOTE: the dump ends with revision 1 (revision 1 of the "
                    "dump), written completely; to continue it, run:\n  "
                    "vornhald -q --non-interactive --sessions 1 "
                    "--incremental -r 2:", err)
                self.assertNotIn(b"Revision-number: 2", out)
                state = self.load(first + out, "gone-" + protocol)
                self.assertEqual(state.youngest(), 1)
                self.assertEqual(set(state.entries(1, "")), {"big.txt"})


if __name__ == "__main__":
    unittest.main()
