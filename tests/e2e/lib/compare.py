"""Revision-by-revision comparison of a rebuilt repository with its source.

`compare(source, target, mode)` walks the revisions that `modes` expects and
returns None when the rebuilt repository (target) matches, else a `Mismatch`
naming the first revision, the path and the difference.  Per revision it
compares every revision property (an absent property differs from an empty
one), then the tree: paths and kinds, file texts by MD5, and the properties
of every node, the root included (with `-n` only paths and kinds).  Subtrees
whose digests agree are not looked into.  Last come the changed paths of the
revision, as `svnlook changed` lists them (see `expected_changes`): for each
its action (A, M, R, D), its copy source, and whether its text and whether
its properties changed (with `-n` only actions and copy sources).
"""

import dataclasses

import modes as modes_mod
from repostate import (ADD, DELETE, DIR, FILE, FULL, KIND_NAMES, MODIFY,
                       REPLACE, STRUCTURE)

EMPTY_MD5 = "d41d8cd98f00b204e9800998ecf8427e"


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
    for name in sorted(set(want) | set(got)):
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
    numbering = Numbering(expected, mode)
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
        if not d and exp.local >= 1:
            want_changes = expected_changes(source, exp, mode, numbering)
            d = _diff_changes(want_changes, target.changed(exp.local),
                              mode.dry_run)
        if d:
            return Mismatch(exp.local,
                            exp.source_rev if exp.kind == "real" else None,
                            d[0], d[1])
    if young > expected[-1].local:
        return Mismatch(expected[-1].local + 1, None, None,
                        "unexpected: the rebuilt repository has %d revisions"
                        ", expected %d" % (young, expected[-1].local))
    return None


# ---- changed paths ---------------------------------------------------------

@dataclasses.dataclass(frozen=True)
class Want:
    """What the rebuilt repository must list for one changed path. text and
    props are True (changed), False (unchanged) or None (either: an empty
    file added with or without a text, or a text or properties that the
    committer set to what they were). optional: a modification that changed
    nothing, which no dump can carry, may be missing."""
    action: str
    text: object = False
    props: object = False
    cf_path: str = None
    cf_rev: int = -1
    optional: bool = False


class Numbering:
    """The dump's view of source paths and revisions for one mode."""

    def __init__(self, expected, mode):
        self.mode = mode
        self.base = (mode.prefix or "").rstrip("/")
        real = [e for e in expected if e.kind == "real"]
        self.first = real[0].source_rev if real else None
        self.first_local = real[0].local if real else None
        self.whole_from_0 = not mode.subdir and (mode.start or 0) == 0
        self.pairs = [(e.source_rev, e.local) for e in real]

    def path(self, p):
        """The rebuilt repository's path for source path p."""
        sub = self.mode.subdir
        rel = p if not sub else ("" if p == sub else p[len(sub) + 1:])
        return _join(self.base, rel) if rel else self.base

    def rev(self, r):
        """The rebuilt repository's revision for source revision r: the same
        number when the dump keeps numbers, else the last dumped revision at
        or before r (the dumped tree does not change in between)."""
        if self.whole_from_0 or self.mode.keep_revnums:
            return r
        local = None
        for srev, loc in self.pairs:
            if srev > r:
                break
            local = loc
        return local

    def keeps(self, change):
        """Whether the dump can keep a copy as a copy: its source lies in
        the dumped subtree and not before the first dumped revision (nor,
        below a prefix, in revision 0, before the prefix exists)."""
        return (change.cf_path is not None
                and modes_mod.in_subtree(self.mode.subdir, change.cf_path)
                and change.cf_rev >= self.first
                and not (self.base and self.rev(change.cf_rev) < 1))


def _differs(source, a, b, what):
    """Whether the texts (what "text") or the properties of the nodes a and
    b, each (revision, path), differ."""
    if what == "text":
        return source.md5(*a) != source.md5(*b)
    return source.props(*a) != source.props(*b)


def _plain_add(source, srev, path, kind, action):
    """A node written with all its content: a text for a file (an empty one
    may come without), properties when it has any."""
    text = False
    if kind == FILE:
        text = True if source.md5(srev, path) != EMPTY_MD5 else None
    return Want(action, text, bool(source.props(srev, path)))


def _edited(source, srev, path, change, before):
    """Text and property flags of a node changed against the node it was
    before (path, rev): a flag the committer set counts only when the
    content differs."""
    flags = []
    for raw, what in ((change.text_mod, "text"), (change.prop_mod, "props")):
        if what == "text" and change.kind != FILE:
            flags.append(False)
        elif not raw:
            flags.append(False)
        elif before is None:
            flags.append(True)
        else:
            flags.append(True if _differs(source, (srev, path), before, what)
                         else None)
    return flags


def expected_changes(source, exp, mode, numbering):
    """Target path to `Want` for the expected revision exp.

    The changed paths of the source revision in the dumped subtree, mapped
    to the dump's paths and numbers, except where a dump cannot keep them:
    the first revision of a dump that does not start at revision 0 of the
    whole repository holds the whole tree as plain adds; a copy whose source
    lies outside the subtree or before the first dumped revision is a plain
    add (or replace), and everything below it is added too (a copy below it
    that can be kept stays one). A padding revision changes nothing (the
    first one adds the prefix directories)."""
    pdirs = modes_mod.prefix_dirs(mode.prefix)
    out = {}
    creates_prefix = exp.local == 1 and pdirs
    if creates_prefix:
        for d in pdirs:
            out[d] = Want(ADD)
    if exp.kind != "real":
        return out
    srev, sub = exp.source_rev, mode.subdir
    changes = {p: c for p, c in source.changed(srev).items()
               if modes_mod.in_subtree(sub, p)}
    first = not numbering.whole_from_0 and exp.local == numbering.first_local
    if first:
        expanded = {sub}
    else:
        expanded = {p for p, c in changes.items()
                    if c.action in (ADD, REPLACE) and c.cf_path is not None
                    and not numbering.keeps(c)}
    kept = {p for p, c in changes.items()
            if c.cf_path is not None and numbering.keeps(c) and not first}

    def under_expansion(p):
        """Whether the nearest ancestor of p that is expanded or a kept
        copy is expanded."""
        q = p
        while q != sub:
            q = q.rsplit("/", 1)[0] if "/" in q else ""
            if q in kept:
                return False
            if q in expanded:
                return True
            if q == "":
                break
        return False

    def below_kept(q, top):
        """Whether q lies at or below a kept copy strictly below top."""
        while q != top:
            if q in kept:
                return True
            q = q.rsplit("/", 1)[0] if "/" in q else ""
        return False

    def put(p, want):
        tp = numbering.path(p)
        if tp == "" or (tp == numbering.base and not creates_prefix):
            # The dumped root exists already: its properties are changed.
            if want.action == ADD or want.action == REPLACE:
                props = bool(source.props(srev, p))
                if not props:
                    return
                want = Want(MODIFY, False, True)
        elif tp == numbering.base:
            want = Want(ADD, False, bool(source.props(srev, p)))
        out[tp] = want

    if first:
        roots = [sub]
    else:
        roots = sorted(changes)
    for p in roots:
        c = changes.get(p)
        inside = p != sub and under_expansion(p)
        if p in expanded and not inside:
            action = ADD if first or c.action == ADD else REPLACE
            for q, kind in source.walk(srev, p):
                if q != p and below_kept(q, p):
                    continue
                put(q, _plain_add(source, srev, q, kind,
                                  action if q == p else ADD))
            continue
        if inside and p not in kept:
            continue
        action = ADD if inside else c.action
        if c.action == DELETE:
            put(p, Want(DELETE))
        elif c.cf_path is not None:
            text, props = _edited(source, srev, p, c, (c.cf_rev, c.cf_path))
            put(p, Want(action, text, props, numbering.path(c.cf_path),
                        numbering.rev(c.cf_rev)))
        elif c.action in (ADD, REPLACE):
            put(p, _plain_add(source, srev, p, c.kind, action))
        else:
            text, props = _edited(source, srev, p, c,
                                  source.predecessor(srev, p))
            put(p, Want(MODIFY, text, props,
                        optional=text is not True and props is not True))
    return out


def _flag(value):
    return {True: "changed", False: "unchanged", None: "either"}[value]


def _diff_changes(want, got, dry_run):
    """First difference (path, text) of a revision's changed paths."""
    for path in sorted(set(want) | set(got)):
        w, g = want.get(path), got.get(path)
        shown = path or "/"
        if g is None:
            if w.optional:
                continue
            return shown, "action: expected %s, got none" % w.action
        if w is None:
            return shown, "action: expected none, got %s" % g.action
        if w.action != g.action:
            return shown, "action: expected %s, got %s" % (w.action,
                                                           g.action)
        if (w.cf_path, w.cf_rev) != (g.cf_path, g.cf_rev):
            def cf(p, r):
                return "none" if p is None else "'%s'@%d" % (p or "/", r)
            return shown, "copy source: expected %s, got %s" % (
                cf(w.cf_path, w.cf_rev), cf(g.cf_path, g.cf_rev))
        if dry_run:
            continue
        for what, wf, gf in (("text", w.text, g.text_mod),
                             ("properties", w.props, g.prop_mod)):
            if wf is not None and wf != gf:
                return shown, "%s: expected %s, got %s" % (
                    what, _flag(wf), _flag(gf))
    return None


def target_copies(target):
    """The number of nodes of the rebuilt repository that are copies."""
    count = 0
    for rev in range(1, target.youngest() + 1):
        count += sum(1 for c in target.changes(rev).values()
                     if c[2] is not None)
    return count
