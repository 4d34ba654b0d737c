"""Revision-by-revision comparison of a rebuilt repository with its source.

`compare(source, target, mode)` walks the revisions that `modes` expects and
returns None when the rebuilt repository (target) matches, else a `Mismatch`
naming the first revision, the path and the difference.  Per revision it
compares svn:log, svn:author and svn:date (an absent property differs from
an empty one), then the tree: paths and kinds, file texts by MD5, and the
properties of every node, the root included (with `-n` only paths and
kinds).  Subtrees whose digests agree are not looked into.
"""

import dataclasses

import modes as modes_mod
from repostate import DIR, FILE, FULL, KIND_NAMES, STRUCTURE

REVPROPS = ("svn:log", "svn:author", "svn:date")


@dataclasses.dataclass
class Mismatch:
    revision: int           # revision of the rebuilt repository
    source_rev: int         # matching source revision, or None
    path: str               # path in the rebuilt repository, or None
    difference: str

    def __str__(self):
        where = "revision %d" % self.revision
        if self.source_rev is not None and self.source_rev != self.revision:
            where += " (source revision %d)" % self.source_rev
        if self.path is not None:
            where += ", path '%s'" % self.path
        return "%s: %s" % (where, self.difference)


def _show(value, limit=60):
    if value is None:
        return "none"
    r = repr(value)
    return r if len(r) <= limit else r[:limit] + "...(%d bytes)" % len(value)


def _compare_revprops(want, got):
    for name in REVPROPS:
        w, g = want.get(name), got.get(name)
        if w != g:
            return "%s: expected %s, got %s" % (name, _show(w), _show(g))
    return None


def _join(parent, name):
    return parent + "/" + name if parent else name


def _diff_node(src, srev, spath, tgt, trev, tpath, what):
    """First difference (path in target, text) between two existing nodes
    of the same name, or None."""
    skind, tkind = src.kind(srev, spath), tgt.kind(trev, tpath)
    if skind != tkind:
        return tpath, "kind: expected %s, got %s" % (KIND_NAMES[skind],
                                                     KIND_NAMES[tkind])
    if src.digest(srev, spath, what) == tgt.digest(trev, tpath, what):
        return None
    if what == FULL:
        sp, tp = src.props(srev, spath), tgt.props(trev, tpath)
        for name in sorted(set(sp) | set(tp)):
            if sp.get(name) != tp.get(name):
                return tpath, "property '%s': expected %s, got %s" % (
                    name, _show(sp.get(name)), _show(tp.get(name)))
        if skind == FILE:
            return tpath, "text: expected md5 %s, got md5 %s" % (
                src.md5(srev, spath), tgt.md5(trev, tpath))
    if skind == DIR:
        se, te = src.entries(srev, spath), tgt.entries(trev, tpath)
        for name in sorted(set(se) | set(te)):
            if name not in te:
                return _join(tpath, name), "missing in rebuilt repository"
            if name not in se:
                return _join(tpath, name), "not in source"
        for name in sorted(se):
            d = _diff_node(src, srev, _join(spath, name),
                           tgt, trev, _join(tpath, name), what)
            if d:
                return d
    return None  # digests differ only by something not compared here


def _diff_tree(src, srev, sub, tgt, trev, prefix_dirs, what):
    """Compares the subtree sub@srev (srev None: an empty tree) with the
    tree of target revision trev below the prefix directories."""
    top = ""
    for d in prefix_dirs:
        entries = tgt.entries(trev, top)
        name = d.rsplit("/", 1)[-1]
        extra = sorted(set(entries) - {name})
        if extra:
            return _join(top, extra[0]), "not in source"
        if name not in entries:
            return d, "prefix directory missing"
        if entries[name][0] != DIR:
            return d, "prefix directory is a file"
        if what == FULL and tgt.props(trev, top):
            return top or "/", "prefix directory carries properties"
        top = d
    if srev is None:
        entries = tgt.entries(trev, top)
        if entries:
            return _join(top, sorted(entries)[0]), "not in source"
        if what == FULL and tgt.props(trev, top) and top:
            return top, "prefix directory carries properties"
        return None
    d = _diff_node(src, srev, sub, tgt, trev, top, what)
    if d and d[0] == "":
        return "/", d[1]
    return d


def compare(source, target, mode, expected=None):
    """None when target rebuilds source as mode says, else a Mismatch."""
    if expected is None:
        expected = modes_mod.expected_revisions(source, mode)
    what = STRUCTURE if mode.dry_run else FULL
    pdirs = modes_mod.prefix_dirs(mode.prefix)
    young = target.youngest()
    for exp in expected:
        if exp.local > young:
            return Mismatch(exp.local, exp.source_rev, None,
                            "missing: the rebuilt repository ends at "
                            "revision %d, expected %d"
                            % (young, expected[-1].local))
        if exp.kind == "fresh":
            continue
        got = target.revprops(exp.local)
        if exp.kind == "padding":
            want = {"svn:log": modes_mod.PADDING_LOG}
        else:
            want = source.revprops(exp.source_rev)
        diff = _compare_revprops(want, got)
        if diff:
            return Mismatch(exp.local,
                            exp.source_rev if exp.kind == "real" else None,
                            None, diff)
        d = _diff_tree(source, exp.source_rev, mode.subdir, target, exp.local,
                       pdirs if exp.local >= 1 else [], what)
        if d:
            return Mismatch(exp.local,
                            exp.source_rev if exp.kind == "real" else None,
                            d[0], d[1])
    if young > expected[-1].local:
        return Mismatch(expected[-1].local + 1, None, None,
                        "unexpected: the rebuilt repository has %d revisions"
                        ", expected %d" % (young, expected[-1].local))
    return None


def target_copies(target):
    """The number of nodes of the rebuilt repository that are copies."""
    count = 0
    for rev in range(1, target.youngest() + 1):
        count += sum(1 for c in target.changes(rev).values()
                     if c[2] is not None)
    return count
