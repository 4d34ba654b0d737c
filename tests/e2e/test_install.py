"""The installed tree: `cmake --install` of the build that made $VORNHALD
into a scratch prefix puts the program, its manual page, the German
catalogue, the bash completion and the licence there; the installed
program finds its catalogue under the prefix it runs from (also after the
tree has been moved) and speaks German in a German locale."""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent / "lib"))
import servers  # noqa: E402

VORNHALD = os.environ["VORNHALD"]
SOURCE = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(VORNHALD).resolve().parent
FILES = ["bin/vornhald", "share/man/man1/vornhald.1",
         "share/locale/de/LC_MESSAGES/vornhald.mo",
         "share/bash-completion/completions/vornhald",
         "share/doc/vornhald/LICENSE"]


def german_locales():
    """The environments that select German messages here: LANGUAGE with a
    C.UTF-8 locale always, LANG=de_DE.UTF-8 when that locale exists
    (scripts/setup.sh makes it)."""
    envs = [{"LANGUAGE": "de", "LC_ALL": "C.UTF-8"}]
    out = subprocess.run(["locale", "-a"], capture_output=True,
                         text=True).stdout.lower().split()
    if "de_de.utf8" in out:
        envs.append({"LANG": "de_DE.UTF-8"})
    return envs


@unittest.skipUnless((BUILD / "CMakeCache.txt").exists(),
                     "VORNHALD is not in a CMake build tree")
class Install(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="vh-install-")
        cls.prefix = os.path.join(cls.base, "prefix")
        subprocess.run(["cmake", "--install", str(BUILD), "--prefix",
                        cls.prefix], check=True, stdout=subprocess.DEVNULL)
        repo = os.path.join(cls.base, "repo")
        subprocess.run(["svnadmin", "create", repo], check=True)
        cls.url = servers.file_url(repo)
        for d in ("a", "b"):
            subprocess.run(["svnmucc", "-U", cls.url, "-m", d, "mkdir", d],
                           check=True, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.base, ignore_errors=True)

    def run_in(self, prefix, args, lang):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith("LC_") and k not in ("LANG", "LANGUAGE")}
        env.update(lang, HOME=self.base, TMPDIR=self.base)
        return subprocess.run([os.path.join(prefix, "bin", "vornhald")]
                              + args, env=env, capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=120)

    def test_files(self):
        for f in FILES:
            self.assertTrue(os.path.isfile(os.path.join(self.prefix, f)), f)
        self.assertTrue(os.access(os.path.join(self.prefix, "bin",
                                               "vornhald"), os.X_OK))
        man = subprocess.run(["man", "-l", "-P", "cat", os.path.join(
            self.prefix, "share/man/man1/vornhald.1")], capture_output=True,
            text=True, env=dict(os.environ, MANWIDTH="80"))
        if man.returncode == 0:
            for word in ("--password-from-stdin", "EXIT STATUS", "EXAMPLES"):
                self.assertIn(word, man.stdout)

    def test_installed_program_speaks_german(self):
        # The moved copy proves that the catalogue is found relative to
        # the binary, not at the configured prefix or in the build tree.
        moved = os.path.join(self.base, "moved")
        shutil.copytree(self.prefix, moved)
        for prefix in (self.prefix, moved):
            for lang in german_locales():
                with self.subTest(prefix=prefix, lang=lang):
                    p = self.run_in(prefix, [self.url], lang)
                    self.assertEqual(p.returncode, 0, p.stderr)
                    self.assertEqual(p.stderr.decode(), "".join(
                        "* Revision %d geschrieben.\n" % r
                        for r in range(3)))
                    p = self.run_in(prefix, [], lang)
                    self.assertEqual(p.returncode, 1)
                    self.assertEqual(
                        p.stderr.decode(),
                        "FEHLER: Die URL des Repositorys fehlt.\n"
                        "Mit --help erfahren Sie, wie das Programm "
                        "aufgerufen wird.\n")
                    p = self.run_in(prefix, ["--help"], lang)
                    self.assertIn("AUFRUF: vornhald [Optionen] <URL>",
                                  p.stdout.decode())
        # Without a German locale, the messages as written.
        p = self.run_in(self.prefix, [], {"LC_ALL": "C.UTF-8"})
        self.assertTrue(p.stderr.startswith(b"ERROR: Missing repository URL."))

    def test_german_catalogue_translates_every_message(self):
        p = subprocess.run(["msgcmp", str(SOURCE / "po" / "de.po"),
                            str(SOURCE / "po" / "vornhald.pot")],
                           capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        p = subprocess.run(["msgfmt", "--check", "--statistics", "-o",
                            os.devnull, str(SOURCE / "po" / "de.po")],
                           capture_output=True, text=True)
        self.assertEqual(p.returncode, 0, p.stderr)
        self.assertNotIn("untranslated", p.stderr)
        self.assertNotIn("fuzzy", p.stderr)

    def test_bash_completion(self):
        script = os.path.join(self.prefix,
                              "share/bash-completion/completions/vornhald")
        cases = [("--pass", {"--password", "--password-from-stdin"}),
                 ("--trust-server-cert-failures expired,un",
                  {"expired,unknown-ca"}),
                 ("svn", {"svn://"})]
        for line, want in cases:
            with self.subTest(line=line):
                words = ["vornhald"] + line.split(" ")
                prog = ('source "$1"; shift; COMP_WORDS=("$@"); '
                        'COMP_CWORD=$(($# - 1)); _vornhald; '
                        'printf "%s\\n" "${COMPREPLY[@]}"')
                out = subprocess.run(["bash", "-c", prog, "bash", script]
                                     + words, capture_output=True, text=True,
                                     check=True).stdout
                self.assertEqual(set(out.split()), want)


if __name__ == "__main__":
    unittest.main()
