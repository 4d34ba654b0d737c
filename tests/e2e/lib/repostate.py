"""Read-only view of a local repository for comparisons.

A `RepoState` opens a repository through the Subversion bindings and answers
what the round-trip comparison asks: revision properties, node kinds,
properties and text checksums, changed paths with their copy sources, and a
digest of every subtree.  Digests are cached by node-revision ID, so that an
unchanged subtree, which keeps its ID from revision to revision, is hashed
only once; comparing a long history then costs about as much as its changes.
"""

import collections
import hashlib

from svn import core, fs, repos

FILE = core.svn_node_file
DIR = core.svn_node_dir
NONE = core.svn_node_none

KIND_NAMES = {FILE: "file", DIR: "dir", NONE: "none"}

# Change actions as `svnlook changed` prints them.
ADD, MODIFY, REPLACE, DELETE = "A", "M", "R", "D"
_ACTIONS = {fs.path_change_add: ADD, fs.path_change_modify: MODIFY,
            fs.path_change_replace: REPLACE, fs.path_change_delete: DELETE}

# One changed path of a revision: its action, node kind, whether its text
# and whether its properties were touched (as the committer touched them:
# see RepoState.changed), and its copy source (path without leading slash,
# revision) or (None, -1).
Change = collections.namedtuple(
    "Change", "action kind text_mod prop_mod cf_path cf_rev")

# What a digest covers: "full" (kinds, texts and properties) or "structure"
# (kinds only, for dumps made without texts).
FULL = "full"
STRUCTURE = "structure"


def _u(b):
    return b.decode("utf-8") if isinstance(b, bytes) else b


class RepoState:
    """A repository at a local path, opened for reading."""

    def __init__(self, path):
        self.path = str(path)
        self.repos = repos.open(self.path)
        self.fs = repos.fs(self.repos)
        self._digests = {}
        self._roots = {}
        self._changed = {}

    def youngest(self):
        return fs.youngest_rev(self.fs)

    def root(self, rev):
        root = self._roots.get(rev)
        if root is None:
            if len(self._roots) > 8:
                self._roots.clear()
            root = self._roots[rev] = fs.revision_root(self.fs, rev)
        return root

    def revprops(self, rev):
        """The revision's properties, name (str) to value (bytes)."""
        return {_u(k): v for k, v in fs.revision_proplist(self.fs, rev).items()}

    def kind(self, rev, path):
        return fs.check_path(self.root(rev), path)

    def created_rev(self, rev, path):
        return fs.node_created_rev(self.root(rev), path)

    def props(self, rev, path):
        return {_u(k): v
                for k, v in fs.node_proplist(self.root(rev), path).items()}

    def entries(self, rev, path):
        """Name (str) to (kind, node-revision ID) of a directory's entries."""
        return {_u(k): (v.kind, fs.unparse_id(v.id))
                for k, v in fs.dir_entries(self.root(rev), path).items()}

    def md5(self, rev, path):
        c = fs.file_checksum(core.svn_checksum_md5, self.root(rev), path, True)
        return _u(core.svn_checksum_to_cstring(c))

    def text(self, rev, path):
        return core.Stream(fs.file_contents(self.root(rev), path)).read()

    def node_id(self, rev, path):
        return fs.unparse_id(fs.node_id(self.root(rev), path))

    def changes(self, rev):
        """Path (str, no leading slash) to (change kind, node kind,
        copyfrom path without leading slash or None, copyfrom rev)."""
        root = self.root(rev)
        out = {}
        for path, ch in fs.paths_changed2(root).items():
            path = _u(path).lstrip("/")
            cf_path, cf_rev = None, -1
            if ch.change_kind in (fs.path_change_add, fs.path_change_replace):
                if ch.copyfrom_known:
                    cf_path, cf_rev = ch.copyfrom_path, ch.copyfrom_rev
                else:
                    cf_rev, cf_path = fs.copied_from(root, path)
            if cf_path is not None:
                cf_path = _u(cf_path).lstrip("/")
            out[path] = (ch.change_kind, ch.node_kind, cf_path, cf_rev)
        return out

    def changed(self, rev):
        """Path (str, no leading slash; "" is the root) to `Change` for
        every path that revision rev changed (`svnlook changed`), cached."""
        out = self._changed.get(rev)
        if out is not None:
            return out
        out = {}
        copies = self.changes(rev)
        for path, ch in fs.paths_changed2(self.root(rev)).items():
            path = _u(path).lstrip("/")
            _, _, cf_path, cf_rev = copies[path]
            if ch.change_kind == fs.path_change_delete:
                out[path] = Change(DELETE, ch.node_kind, False, False,
                                   None, -1)
                continue
            kind = ch.node_kind
            if kind not in (FILE, DIR):
                kind = self.kind(rev, path)
            out[path] = Change(_ACTIONS[ch.change_kind], kind,
                               bool(ch.text_mod), bool(ch.prop_mod),
                               cf_path, cf_rev if cf_path is not None else -1)
        if len(self._changed) > 64:
            self._changed.clear()
        self._changed[rev] = out
        return out

    def predecessor(self, rev, path):
        """(revision, path) where the node at path@rev was before rev's
        change (across copies), or None for a node without a past."""
        hist = fs.node_history(self.root(rev), path)
        hist = fs.history_prev(hist, True)   # the node itself
        if hist is None:
            return None
        hist = fs.history_prev(hist, True)
        if hist is None:
            return None
        p, r = fs.history_location(hist)
        return r, _u(p).lstrip("/")

    def walk(self, rev, path):
        """path and every path below it at rev, parents first, with kinds."""
        kind = self.kind(rev, path)
        out = [(path, kind)]
        if kind == DIR:
            for name, (k, _) in sorted(self.entries(rev, path).items()):
                child = path + "/" + name if path else name
                if k == DIR:
                    out += self.walk(rev, child)
                else:
                    out.append((child, k))
        return out

    def log_revisions(self, path, start, end):
        """The revisions from start to end (oldest first) in which the node
        at path@end changed, following its history with strict node history
        (not across copies): what a client's log of that path lists."""
        revs = []

        def receiver(paths, rev, author, date, message, pool):
            revs.append(rev)

        repos.get_logs(self.repos, ["/" + path], start, end, False, True,
                       receiver)
        return revs

    def digest(self, rev, path, what=FULL, kind=None):
        """A digest of the node at path@rev and everything below it."""
        nid = self.node_id(rev, path)
        key = (nid, what)
        d = self._digests.get(key)
        if d is not None:
            return d
        if kind is None:
            kind = self.kind(rev, path)
        h = hashlib.sha1()
        if kind == FILE:
            h.update(b"F")
            if what == FULL:
                h.update(self.md5(rev, path).encode())
        else:
            h.update(b"D")
            for name, (k, _) in sorted(self.entries(rev, path).items()):
                child = path + "/" + name if path else name
                h.update(b"\0E%s\0%d\0" % (name.encode(), k))
                h.update(self.digest(rev, child, what, k))
        if what == FULL:
            for name, value in sorted(self.props(rev, path).items()):
                h.update(b"\0P%s\0%d\0" % (name.encode(), len(value)))
                h.update(value)
        d = self._digests[key] = h.digest()
        return d
