"""Kinds of dump and what a loader must rebuild from each.

A `Mode` names one kind of dump in the terms of vornhald's command line:
the whole repository or a subdirectory (`subdir`), a revision range
(`start`, `end`), `--keep-revnums`, `--prefix`, `--deltas`, `-n` and an
incremental dump loaded on top of a dump of the revisions before it
(`incremental_from`).  `runs(mode)` gives the flags of the dump runs that
the mode needs, and `expected_revisions(source, mode)` the revisions that
the rebuilt repository must hold, worked out from the source repository
itself (its log), never from the dump:

- The last revision is the one in which the dumped path last changed at
  or before `end`.  The dumped revisions are those that the log of the
  dumped path at that revision lists (strict node history), from `start`
  on; for a subdirectory dump without a start, from its first change.
- A whole-repository dump from revision 0 keeps the numbers.  Any other
  dump numbers its revisions densely from 1, the first one holding the
  whole tree of its source revision; with `keep_revnums` the numbers equal
  the source's and every number in between is an empty padding revision.
- Paths are relative to `subdir`; a `prefix` (which ends in "/") is put in
  front of them, and its directories exist from revision 1 on.
"""

import dataclasses

from repostate import NONE

PADDING_LOG = b"This is an empty revision for padding."


@dataclasses.dataclass(frozen=True)
class Mode:
    subdir: str = ""            # dumped subtree, no leading slash
    start: int = None           # -r start:end; None for the default
    end: int = None             # None for HEAD
    keep_revnums: bool = False
    prefix: str = None          # ends in "/"
    deltas: bool = False
    dry_run: bool = False       # -n: no texts, compare structure only
    incremental_from: int = None  # --incremental from this revision

    def name(self):
        parts = [("sub " + self.subdir) if self.subdir else "whole"]
        if self.start is not None or self.end is not None:
            parts.append("-r %s:%s" % (self.start if self.start is not None
                                       else 0,
                                       "HEAD" if self.end is None
                                       else self.end))
        if self.keep_revnums:
            parts.append("--keep-revnums")
        if self.prefix is not None:
            parts.append("--prefix " + self.prefix)
        if self.deltas:
            parts.append("--deltas")
        if self.dry_run:
            parts.append("-n")
        if self.incremental_from is not None:
            parts.append("--incremental from %d" % self.incremental_from)
        return " ".join(parts)


def _range_flag(start, end):
    return ["-r", "%d:%s" % (start, "HEAD" if end is None else end)]


def _common_flags(mode):
    flags = []
    if mode.keep_revnums:
        flags.append("--keep-revnums")
    if mode.prefix is not None:
        flags += ["--prefix", mode.prefix]
    if mode.deltas:
        flags.append("--deltas")
    if mode.dry_run:
        flags.append("-n")
    return flags


def runs(mode):
    """The flag lists of the dump runs for mode, in loading order."""
    common = _common_flags(mode)
    if mode.incremental_from is None:
        if mode.start is None and mode.end is None:
            return [common]
        return [_range_flag(mode.start or 0, mode.end) + common]
    a = mode.incremental_from
    base = _range_flag(mode.start or 0, a - 1) + common
    return [base, _range_flag(a, mode.end) + ["--incremental"] + common]


@dataclasses.dataclass
class Expected:
    """One revision of the rebuilt repository."""
    local: int
    kind: str          # "real", "padding" or "fresh" (the loader's own r0)
    source_rev: int    # for "real"; for "padding", the last real one or None


def prefix_dirs(prefix):
    """The directories that a prefix creates, outermost first."""
    if prefix is None:
        return []
    if not prefix.endswith("/"):
        raise ValueError("the harness supports prefixes ending in '/': %r"
                         % prefix)
    out, acc = [], ""
    for comp in prefix.split("/")[:-1]:
        if comp:
            acc = acc + "/" + comp if acc else comp
            out.append(acc)
    return out


def settle_range(source, mode):
    """The source revisions that the dump holds, oldest first."""
    young = source.youngest()
    b = young if mode.end is None else min(mode.end, young)
    if source.kind(b, mode.subdir) == NONE:
        raise ValueError("%r does not exist in revision %d" % (mode.subdir, b))
    if mode.subdir:
        # The last entry of the subtree's own log: a directory that came
        # with a copy of its parent keeps a last-changed revision from
        # before the copy.
        end = source.log_revisions(mode.subdir, 0, b)[-1]
    else:
        end = source.created_rev(b, mode.subdir)
    start = mode.start or 0
    revs = source.log_revisions(mode.subdir, start, end)
    if mode.subdir and start == 0:
        revs = [r for r in revs if r > 0]
    return revs


def expected_revisions(source, mode):
    """The list of `Expected`, one per revision of the rebuilt repository,
    revision 0 included."""
    revs = settle_range(source, mode)
    whole_from_0 = not mode.subdir and (mode.start or 0) == 0
    out = []
    if whole_from_0:
        out = [Expected(i, "real", r) for i, r in enumerate(revs)]
        return out
    out.append(Expected(0, "fresh", None))
    if not mode.keep_revnums:
        out += [Expected(i + 1, "real", r) for i, r in enumerate(revs)]
        return out
    last = None
    for r in revs:
        while len(out) < r:
            out.append(Expected(len(out), "padding", last))
        out.append(Expected(r, "real", r))
        last = r
    return out


def in_subtree(subdir, path):
    """Whether a repository path lies in the dumped subtree."""
    return not subdir or path == subdir or path.startswith(subdir + "/")


def source_copies(source, mode, revs):
    """The copies of the source that the dump can keep as copies: copies in
    a dumped revision whose target and source lie in the dumped subtree and
    whose source revision is not before the first dumped revision."""
    if not revs:
        return 0
    first = revs[0]
    count = 0
    for r in revs:
        for path, (_, _, cf_path, cf_rev) in source.changes(r).items():
            if cf_path is None or not in_subtree(mode.subdir, path):
                continue
            if path == mode.subdir and mode.subdir:
                continue  # the subtree root itself starts its history
            if in_subtree(mode.subdir, cf_path) and cf_rev >= first:
                count += 1
    return count
