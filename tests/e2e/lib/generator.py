"""Seeded generator of realistic repository histories.

`generate(path, seed, revisions)` creates a new repository at path and
commits `revisions` revisions to it through the file-system layer of the
Subversion bindings (in process, so that long histories are fast).  The same
seed and count always give the same repository: the same UUID, trees, texts,
properties, authors, log messages and dates.

The history has the usual layout trunk/, branches/, tags/ plus trunk2/ (a
sibling whose name starts like trunk) and other/, and mixes: adds, edits and
deletes of files and directories; text, binary and empty files; copies from
older revisions inside trunk, from outside into trunk, and of trunk into
branches and tags; replaces (file by directory and back, file by a new file,
directory by a new directory, and by copies of either kind);
moves; property sets and deletions on files and directories, the root
included (values with newlines and NUL bytes), also right after a copy;
revisions that touch only properties or only other directories; revision
properties besides svn:log, svn:author and svn:date (user:*, also with NUL
bytes, newlines or empty); empty and absent log messages; absent authors;
names with blanks, %, # and non-ASCII letters.
"""

import random

from svn import core, fs, repos

AREAS = ("trunk", "trunk2", "other")

NAMES = ("src", "doc", "lib", "main.c", "README", "util.h", "with blank",
         "100%", "#hash", "Grüße", "naïve café", "x y%z#", "data", "empty",
         "ünïcödé", "a", "b", "notes.txt", "img.png", "Makefile")

WORDS = ("alpha", "beta", "gamma", "delta", "lorem", "ipsum", "dolor",
         "sit", "amet", "fix", "merge", "refactor", "äöü", "€uro", "tab\tbed")

AUTHORS = ("alice", "bob", "carol", "jürgen", "d.o.e")

# Beyond this many nodes in the whole tree the generator prunes branches and
# tags (and then big directories), so that long histories stay cheap.
MAX_NODES = 400
MAX_AREA_NODES = 90


class _Gen:
    def __init__(self, path, seed):
        self.rng = random.Random(seed)
        self.seed = seed
        # Commits need not reach the disk: a lost test repository is made
        # again from its seed.
        self.repo = repos.create(path, None, None, None,
                                 {"no-flush-to-disk": "1"})
        self.fs = repos.fs(self.repo)
        fs.change_rev_prop(self.fs, 0, "svn:date",
                           b"2020-01-01T00:00:00.000000Z")
        fs.set_uuid(self.fs, "%08x-0000-4000-8000-%012x"
                    % (seed & 0xffffffff, seed & 0xffffffffffff))
        self.tree = {}          # path -> "f" or "d" (root not listed)
        self.counter = 0
        self.branches = 0

    # ---- helpers on the model ----------------------------------------
    def paths(self, kind=None, under=None):
        out = []
        for p, k in self.tree.items():
            if kind and k != kind:
                continue
            if under is not None and not (p == under
                                          or p.startswith(under + "/")):
                continue
            out.append(p)
        out.sort()
        return out

    def fresh_name(self, parent):
        while True:
            self.counter += 1
            name = self.rng.choice(NAMES)
            if self.rng.random() < 0.7:
                name = "%s%d" % (name, self.counter)
            p = parent + "/" + name if parent else name
            if p not in self.tree:
                return p

    def pick_dir(self, area):
        dirs = self.paths("d", area)
        return self.rng.choice(dirs) if dirs else None

    def text(self):
        r = self.rng.random()
        if r < 0.1:
            return b""
        if r < 0.25:
            return bytes(self.rng.randrange(256)
                         for _ in range(self.rng.randrange(1, 300)))
        lines = [" ".join(self.rng.choice(WORDS)
                          for _ in range(self.rng.randrange(1, 8)))
                 for _ in range(self.rng.randrange(1, 30))]
        return ("\n".join(lines) + "\n").encode()

    def prop_value(self):
        r = self.rng.random()
        if r < 0.2:
            return b"line one\nline two\n"
        if r < 0.35:
            return b"nul\x00inside\x00"
        if r < 0.45:
            return b""
        return " ".join(self.rng.choice(WORDS)
                        for _ in range(self.rng.randrange(1, 4))).encode()

    def forget(self, path):
        for p in self.paths(under=path):
            del self.tree[p]

    def learn(self, root, path):
        """Adds path and everything below it in root to the model."""
        kind = fs.check_path(root, path)
        if kind == core.svn_node_file:
            self.tree[path] = "f"
            return
        self.tree[path] = "d"
        for name in sorted(fs.dir_entries(root, path)):
            self.learn(root, path + "/" + name.decode())

    def old_path(self, rev, area):
        """A random existing node below area at rev, or None."""
        root = fs.revision_root(self.fs, rev)
        if fs.check_path(root, area) != core.svn_node_dir:
            return None
        path = area
        while True:
            entries = sorted(fs.dir_entries(root, path))
            if not entries or (path != area and self.rng.random() < 0.4):
                return path
            path = path + "/" + self.rng.choice(entries).decode()
            if fs.check_path(root, path) == core.svn_node_file:
                return path

    # ---- operations inside a transaction ------------------------------
    def put(self, root, path, data):
        s = fs.apply_text(root, path, None)
        core.svn_stream_write(s, data)
        core.svn_stream_close(s)

    def add_file(self, root, parent):
        p = self.fresh_name(parent)
        fs.make_file(root, p)
        data = self.text()
        self.put(root, p, data)
        if data and b"\0" in data and self.rng.random() < 0.5:
            fs.change_node_prop(root, p, "svn:mime-type",
                                b"application/octet-stream")
        self.tree[p] = "f"

    def add_dir(self, root, parent):
        p = self.fresh_name(parent)
        fs.make_dir(root, p)
        self.tree[p] = "d"
        for _ in range(self.rng.randrange(0, 3)):
            self.add_file(root, p)

    def edit_file(self, root, path):
        r = self.rng.random()
        if r < 0.15:
            data = b""
        elif r < 0.5:
            old = core.Stream(fs.file_contents(root, path)).read()
            data = old + self.text()
        else:
            data = self.text()
        self.put(root, path, data)

    def set_prop(self, root, path):
        name = self.rng.choice(("custom:note", "custom:bin", "svn:ignore",
                                "svn:keywords", "other prop", "svn:eol-style"))
        if name == "svn:ignore":
            value = b"*.o\n*.tmp\n"
        elif name == "svn:keywords":
            value = b"Id Rev"
        elif name == "svn:eol-style":
            if self.tree.get(path) != "f":
                name, value = "custom:note", self.prop_value()
            else:
                value = b"native"
        else:
            value = self.prop_value()
        fs.change_node_prop(root, path, name, value)

    def del_prop(self, root, path):
        props = fs.node_proplist(root, path)
        if props:
            name = self.rng.choice(sorted(props))
            fs.change_node_prop(root, path, name.decode(), None)

    def copy(self, root, base, src_rev, src, dst):
        fs.copy(fs.revision_root(self.fs, src_rev), src, root, dst)
        self.learn(root, dst)

    def op(self, root, base, area):
        """One random change inside area of the transaction root."""
        rng = self.rng
        r = rng.random()
        files = self.paths("f", area)
        nodes = [p for p in self.paths(under=area) if p != area]
        big = len(nodes) > MAX_AREA_NODES
        if r < 0.22 and not big:
            self.add_file(root, self.pick_dir(area))
        elif r < 0.30 and not big:
            self.add_dir(root, self.pick_dir(area))
        elif r < 0.50 and files:
            self.edit_file(root, rng.choice(files))
        elif r < 0.60 and nodes:
            victim = rng.choice(nodes)
            fs.delete(root, victim)
            self.forget(victim)
        elif r < 0.72 and nodes:
            self.set_prop(root, rng.choice(nodes + [area]))
        elif r < 0.77 and nodes:
            self.del_prop(root, rng.choice(nodes + [area]))
        elif r < 0.86 and base > 1 and not big:
            # A copy from an older revision, from the same area or another.
            src_area = area if rng.random() < 0.6 else rng.choice(AREAS)
            src_rev = rng.randrange(1, base + 1)
            src = self.old_path(src_rev, src_area)
            if src and src != src_area:
                dst = self.fresh_name(self.pick_dir(area))
                self.copy(root, base, src_rev, src, dst)
                if rng.random() < 0.3:
                    self.set_prop(root, dst)
        elif r < 0.93 and nodes:
            # A replace: by a new node of the other kind or of the same
            # kind, or by a copy (of either kind).
            victim = rng.choice(nodes)
            was = self.tree[victim]
            fs.delete(root, victim)
            self.forget(victim)
            src = self.old_path(base, rng.choice(AREAS)) if base > 1 else None
            how = rng.random()
            if how < 0.35 and src and not (
                    src == victim or src.startswith(victim + "/")
                    or src in AREAS):
                self.copy(root, base, base, src, victim)
            elif (was == "f") == (how < 0.7):
                fs.make_dir(root, victim)
                self.tree[victim] = "d"
                if rng.random() < 0.5:
                    self.add_file(root, victim)
            else:
                fs.make_file(root, victim)
                self.put(root, victim, self.text())
                self.tree[victim] = "f"
        elif nodes:
            # A move: copy from the base revision, then delete the source.
            src = rng.choice(nodes)
            if fs.check_path(fs.revision_root(self.fs, base), src) \
                    == core.svn_node_none:
                return
            dirs = [d for d in self.paths("d", area)
                    if not (d == src or d.startswith(src + "/"))]
            dst = self.fresh_name(rng.choice(dirs))
            fs.copy(fs.revision_root(self.fs, base), src, root, dst)
            fs.delete(root, src)
            self.forget(src)
            self.learn(root, dst)

    def replace_same(self, root, base, area):
        """Replaces a node below area by a new node of its kind or by a copy
        of a node of its kind that area held in the base revision."""
        rng = self.rng
        nodes = [p for p in self.paths(under=area) if p != area]
        if not nodes:
            return
        victim = rng.choice(nodes)
        was = self.tree[victim]
        old = fs.revision_root(self.fs, base)
        kind = core.svn_node_file if was == "f" else core.svn_node_dir
        sources = [p for p in self.paths(was, area)
                   if p != area and fs.check_path(old, p) == kind
                   and not (p == victim or p.startswith(victim + "/")
                            or victim.startswith(p + "/"))]
        fs.delete(root, victim)
        self.forget(victim)
        if sources and rng.random() < 0.5:
            self.copy(root, base, base, rng.choice(sources), victim)
        elif was == "f":
            fs.make_file(root, victim)
            self.put(root, victim, self.text())
            self.tree[victim] = "f"
        else:
            fs.make_dir(root, victim)
            self.tree[victim] = "d"
            self.add_file(root, victim)

    def prune(self, root):
        """Keeps the whole tree small: drops old branches and tags."""
        while len(self.tree) > MAX_NODES:
            kids = [p for p in self.paths("d")
                    if p.count("/") == 1 and p.split("/")[0]
                    in ("branches", "tags")]
            if not kids:
                break
            victim = self.rng.choice(kids)
            fs.delete(root, victim)
            self.forget(victim)

    # ---- revisions -----------------------------------------------------
    def commit(self, txn, rev_no):
        rng = self.rng
        r = rng.random()
        if r < 0.08:
            log = b""
        elif r < 0.11:
            log = None
        else:
            log = (" ".join(rng.choice(WORDS)
                            for _ in range(rng.randrange(1, 10)))).encode()
            if rng.random() < 0.2:
                log += b"\n\nsecond paragraph\n"
        author = None if rng.random() < 0.07 else rng.choice(AUTHORS).encode()
        if rng.random() < 0.25:
            # Revision properties of the users' own.
            for _ in range(rng.randrange(1, 3)):
                name = rng.choice(("user:ticket", "user:reviewed-by",
                                   "custom rev prop", "user:Grüße"))
                fs.change_txn_prop(txn, name, self.prop_value())
        if log is not None:
            fs.change_txn_prop(txn, "svn:log", log)
        if author is not None:
            fs.change_txn_prop(txn, "svn:author", author)
        conflict, rev = fs.commit_txn(txn)
        assert rev == rev_no, (conflict, rev)
        secs = 1577836800 + rev * 61 + rng.randrange(60)
        date = "%s.%06dZ" % (_iso(secs), rng.randrange(1000000))
        fs.change_rev_prop(self.fs, rev, "svn:date", date.encode())

    def revision(self, rev_no):
        base = rev_no - 1
        txn = fs.begin_txn2(self.fs, base, 0)
        root = fs.txn_root(txn)
        rng = self.rng
        if rev_no == 1:
            for d in ("trunk", "branches", "tags", "trunk2", "other"):
                fs.make_dir(root, d)
                self.tree[d] = "d"
            for area in AREAS:
                self.add_file(root, area)
                self.add_dir(root, area)
            self.commit(txn, rev_no)
            return
        r = rng.random()
        if r < 0.02:
            pass  # an empty revision
        elif r < 0.10:
            # Only properties.
            for _ in range(rng.randrange(1, 4)):
                nodes = self.paths(under=rng.choice(AREAS))
                path = rng.choice(nodes) if rng.random() < 0.7 else ""
                (self.del_prop if rng.random() < 0.3
                 else self.set_prop)(root, path)
        elif r < 0.17:
            # A branch or a tag of trunk at an older revision.
            self.branches += 1
            kind = rng.choice(("branches", "tags"))
            dst = "%s/%s-%d" % (kind, rng.choice(("rel", "feature", "Ünï %#")),
                                self.branches)
            src_rev = rng.randrange(max(1, base - 20), base + 1)
            self.copy(root, base, src_rev, "trunk", dst)
        elif r < 0.20 and any(p.startswith("branches/") for p in self.tree):
            # Work on a branch.
            top = sorted({"/".join(p.split("/")[:2]) for p in self.tree
                          if p.startswith("branches/")})
            self.op(root, base, rng.choice(top))
        elif r < 0.22:
            # trunk2 is deleted and made again (a new node at the same path).
            fs.delete(root, "trunk2")
            self.forget("trunk2")
            fs.make_dir(root, "trunk2")
            self.tree["trunk2"] = "d"
            self.add_file(root, "trunk2")
        elif r < 0.28:
            # Replaces in trunk by nodes of the same kind: new ones, or
            # copies of trunk's own nodes of the base revision.
            for _ in range(rng.randrange(1, 3)):
                self.replace_same(root, base, "trunk")
        else:
            weights = (0.6, 0.2, 0.2)
            for _ in range(rng.randrange(1, 5)):
                area = rng.choices(AREAS, weights)[0]
                self.op(root, base, area)
        self.prune(root)
        self.commit(txn, rev_no)


def _iso(secs):
    import time
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(secs))


def generate(path, seed, revisions):
    """Creates a repository at path (which must not exist) holding a random
    history of `revisions` revisions drawn from `seed`. Returns path."""
    gen = _Gen(str(path), seed)
    for rev_no in range(1, revisions + 1):
        gen.revision(rev_no)
    return path
