"""Servers that end-to-end tests start for the remote protocols.

Every server listens on 127.0.0.1 only, on a free port chosen by binding port
0, and is stopped by the PID of the process this module started.  Each server
is a context manager that yields the URL base under which the repositories of
its root directory are reachable:

    with svnserve(root) as base:        # base == "svn://127.0.0.1:PORT"
        url = base + "/repo"

`serve(protocol, root)` picks the server for a protocol name ("file", "svn",
"http") so that a test can loop over protocols; for "file" it starts nothing
and yields the file:// URL of the root.

Without an `Access`, both servers let anyone read.  With one, only its users
get in, by password, and its authz rules (Subversion's path-based format,
read by svnserve and by mod_authz_svn alike) decide what each may read:

    access = Access(users={"alice": "s3cret"},
                   authz="[/]\\nalice = r\\n[repo:/trunk/secret]\\nalice =\\n")
    with serve("http", root, access) as base:
        ...

Apache (Debian's apache2 with mod_dav_svn) runs in the foreground from a
configuration file written into a private ServerRoot; no system service is
used.  Started as root, its children run as nobody/nogroup, so the served
tree is made readable for others (and its parent directories searchable).
"""

import base64
import contextlib
import dataclasses
import grp
import hashlib
import os
import pathlib
import pwd
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import urllib.parse

HOST = "127.0.0.1"

# How long a server may take to accept its first connection.
START_TIMEOUT = 20.0


def free_port():
    """Returns a TCP port on 127.0.0.1 that was free a moment ago."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def file_url(path):
    """Returns the file:// URL of a local directory (URI-encoded)."""
    return "file://" + urllib.parse.quote(str(pathlib.Path(path).resolve()))


def _accepts(port):
    try:
        with socket.create_connection((HOST, port), timeout=0.5):
            return True
    except OSError:
        return False


def _stop(proc):
    """Stops a server process by its own PID: TERM, then KILL."""
    if proc.poll() is not None:
        return
    os.kill(proc.pid, signal.SIGTERM)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.kill(proc.pid, signal.SIGKILL)
        proc.wait()


def _start_listening(argv_for_port, what, attempts=5, log=None,
                     own_group=False):
    """Starts a server whose command line is argv_for_port(port) and waits
    until it accepts connections. Retries on another port when the chosen
    one was taken in between. Returns (process, port). log, if given, is
    the path of a log file whose text is added to the failure report;
    own_group starts the server in a process group of its own."""
    last_err = ""
    for _ in range(attempts):
        port = free_port()
        errlog = tempfile.TemporaryFile()
        proc = subprocess.Popen(argv_for_port(port), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=errlog,
                                start_new_session=own_group)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                break
            if _accepts(port):
                errlog.close()
                return proc, port
            time.sleep(0.05)
        _stop(proc)
        errlog.seek(0)
        last_err = errlog.read().decode(errors="replace").strip()
        errlog.close()
        if log and os.path.exists(log):
            with open(log, errors="replace") as f:
                last_err += "\n" + f.read().strip()
    raise RuntimeError("%s did not start: %s" % (what, last_err))


@dataclasses.dataclass
class Access:
    """Password access to a server: users maps each user name to its
    password; authz, if given, is the text of a Subversion authz file
    (sections "[/]" or "[REPO:/path]", lines "user = r" or "user ="), else
    every user may read everything. Anonymous users get nothing."""
    users: dict
    authz: str = None


@contextlib.contextmanager
def _private_dir(prefix):
    path = tempfile.mkdtemp(prefix=prefix)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


@contextlib.contextmanager
def svnserve(root, access=None, writable=False):
    """Serves every repository below root over svn://. Without access,
    anyone may read (as svnadmin's default svnserve.conf allows); with an
    Access, one configuration file for all repositories asks for a password
    (anon-access = none) and applies the authz rules. writable (without
    access) lets anyone commit, for loaders that write through svn://.
    Yields "svn://127.0.0.1:PORT"; the repository root/R is at that base +
    "/R"."""
    root = str(pathlib.Path(root).resolve())
    with _private_dir("svnserve-") as conf_dir:
        extra = []
        if writable and access is None:
            extra = ["--config-file",
                     _write(os.path.join(conf_dir, "svnserve.conf"),
                            "[general]\nanon-access = write\n")]
        if access is not None:
            conf = "[general]\nanon-access = none\nauth-access = read\n" \
                   "realm = vornhald-test\npassword-db = %s\n" % _write(
                       os.path.join(conf_dir, "passwd"),
                       "[users]\n" + "".join("%s = %s\n" % u for u in
                                             access.users.items()))
            if access.authz is not None:
                conf += "authz-db = %s\n" % _write(
                    os.path.join(conf_dir, "authz"), access.authz)
            extra = ["--config-file",
                     _write(os.path.join(conf_dir, "svnserve.conf"), conf)]
        # -T: one process with threads, so that stopping its PID stops it
        # all.
        proc, port = _start_listening(
            lambda port: ["svnserve", "-d", "--foreground", "-T",
                          "--listen-host", HOST, "--listen-port", str(port),
                          "-r", root] + extra,
            "svnserve")
        try:
            yield "svn://%s:%d" % (HOST, port)
        finally:
            _stop(proc)


APACHE = "/usr/sbin/apache2"
APACHE_MODULES = "/usr/lib/apache2/modules"
# (module name, file) of every module the configuration loads.
_MODULES = [("mpm_prefork_module", "mod_mpm_prefork.so"),
            ("authn_core_module", "mod_authn_core.so"),
            ("authn_file_module", "mod_authn_file.so"),
            ("authz_core_module", "mod_authz_core.so"),
            ("authz_user_module", "mod_authz_user.so"),
            ("auth_basic_module", "mod_auth_basic.so"),
            ("dav_module", "mod_dav.so"),
            ("dav_svn_module", "mod_dav_svn.so"),
            ("authz_svn_module", "mod_authz_svn.so")]


def _htpasswd_line(user, password):
    """A line of an Apache password file ({SHA} scheme, which Apache reads
    on every platform)."""
    digest = base64.b64encode(hashlib.sha1(password.encode()).digest())
    return "%s:{SHA}%s\n" % (user, digest.decode())


def _open_for_others(root):
    """Makes everything below root readable for other users and root and
    its parent directories searchable, so that Apache's children (nobody)
    can read the repositories."""
    def add(path, bits):
        mode = os.lstat(path).st_mode
        if not stat.S_ISLNK(mode) and (mode & bits) != bits:
            os.chmod(path, stat.S_IMODE(mode) | bits)
    for dirpath, dirnames, filenames in os.walk(root):
        add(dirpath, stat.S_IROTH | stat.S_IXOTH)
        for name in filenames:
            add(os.path.join(dirpath, name), stat.S_IROTH)
    parent = os.path.dirname(root)
    while parent != os.path.dirname(parent):
        add(parent, stat.S_IXOTH)
        parent = os.path.dirname(parent)


def _apache_conf(server_dir, root, port, access, run_as):
    lines = ['ServerRoot "%s"' % server_dir,
             "ServerName %s" % HOST,
             "Listen %s:%d" % (HOST, port),
             'PidFile "%s/httpd.pid"' % server_dir,
             'ErrorLog "%s/error.log"' % server_dir,
             'DefaultRuntimeDir "%s"' % server_dir,
             "Mutex file:%s default" % server_dir,
             "LogLevel warn"]
    lines += ["LoadModule %s %s/%s" % (name, APACHE_MODULES, so)
              for name, so in _MODULES]
    if run_as:
        lines += ["User %s" % run_as[0], "Group %s" % run_as[1]]
    lines += ["StartServers 2", "MinSpareServers 1", "MaxSpareServers 4",
              "MaxRequestWorkers 16", "KeepAlive On", "Timeout 300",
              "<Location /svn>", "  DAV svn",
              '  SVNParentPath "%s"' % root]
    if access is None:
        lines += ["  Require all granted"]
    else:
        users = _write(os.path.join(server_dir, "htpasswd"),
                       "".join(_htpasswd_line(u, p)
                               for u, p in access.users.items()))
        lines += ["  AuthType Basic", '  AuthName "vornhald-test"',
                  "  AuthBasicProvider file",
                  '  AuthUserFile "%s"' % users]
        if access.authz is not None:
            lines += ['  AuthzSVNAccessFile "%s"' % _write(
                os.path.join(server_dir, "authz"), access.authz)]
        lines += ["  Require valid-user"]
    lines += ["</Location>", ""]
    return "\n".join(lines)


@contextlib.contextmanager
def apache(root, access=None):
    """Serves every repository below root over http:// through mod_dav_svn
    (SVNParentPath root), by Debian's apache2 in the foreground with its
    own ServerRoot and configuration. Without access anyone may read; with
    an Access, Basic authentication against its users and its authz rules.
    Yields "http://127.0.0.1:PORT/svn" (root/R is at base + "/R")."""
    root = str(pathlib.Path(root).resolve())
    run_as = None
    if os.geteuid() == 0:
        group = "nogroup"
        try:
            grp.getgrnam(group)
        except KeyError:
            group = "nobody"
        run_as = ("nobody", group)
        _open_for_others(root)
    with _private_dir("apache-") as server_dir:
        os.chmod(server_dir, 0o755)
        if run_as:
            os.chown(server_dir, pwd.getpwnam(run_as[0]).pw_uid,
                     grp.getgrnam(run_as[1]).gr_gid)
        conf = os.path.join(server_dir, "httpd.conf")

        def argv(port):
            _write(conf, _apache_conf(server_dir, root, port, access, run_as))
            return [APACHE, "-DFOREGROUND", "-f", conf]
        # The parent binds the port before it starts its children; stopping
        # the parent by its PID stops the children. Its own process group:
        # at shutdown Apache signals its whole group, which would otherwise
        # be the test's.
        proc, port = _start_listening(argv, "apache2",
                                      log=os.path.join(server_dir,
                                                       "error.log"),
                                      own_group=True)
        try:
            yield "http://%s:%d/svn" % (HOST, port)
        finally:
            _stop(proc)


# Protocols that serve() knows; tests may loop over this.
PROTOCOLS = ("file", "svn", "http")


@contextlib.contextmanager
def serve(protocol, root, access=None):
    """Yields the URL base for the repositories below root, reached over the
    named protocol ("file", "svn" or "http"); starts and stops the server.
    access (an Access) applies to the servers; file:// ignores it."""
    if protocol == "file":
        yield file_url(root)
    elif protocol == "svn":
        with svnserve(root, access) as base:
            yield base
    elif protocol == "http":
        with apache(root, access) as base:
            yield base
    else:
        raise ValueError("unknown protocol %r" % protocol)
