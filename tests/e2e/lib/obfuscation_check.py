"""Checks for obfuscated dumps.

An obfuscated dump must rebuild a repository with the structure of the plain
dump's repository while hiding every name.  Two pieces:

- `structure(repo)` summarises a repository revision by revision in terms
  that obfuscation must keep: the number of paths of each kind and depth, the
  multiset of (kind, MD5 of the text, properties), the date, whether an
  author and a log message are present, and the number of copies the
  revision made.  `compare_structure(plain, obfuscated)` returns the first
  difference of two summaries as text, or None.
- `dump_names(stream)` collects the names a dump stream shows: path
  components of every Node-path and Node-copyfrom-path, and the values of
  every revision property.  `leaked_names(plain, obfuscated)` returns the
  names of the plain stream that the obfuscated one still shows.
"""

import collections

from svn import core, fs, repos

import dumpfile


def _tree(root, path, out):
    """Appends (path, kind) for every node below `path` (bytes), parents
    first."""
    for name, entry in sorted(fs.dir_entries(root, path).items()):
        child = path.rstrip(b"/") + b"/" + name
        out.append((child, entry.kind))
        if entry.kind == core.svn_node_dir:
            _tree(root, child, out)


def _revision_summary(fsobj, rev):
    root = fs.revision_root(fsobj, rev)
    nodes = []
    _tree(root, b"/", nodes)
    shape = collections.Counter()
    content = collections.Counter()
    for path, kind in nodes:
        shape[(kind, path.count(b"/"))] += 1
        md5 = None
        if kind == core.svn_node_file:
            md5 = fs.file_checksum(core.svn_checksum_md5, root, path, True)
            md5 = core.svn_checksum_to_cstring_display(md5)
        props = tuple(sorted(fs.node_proplist(root, path).items()))
        content[(kind, md5, props)] += 1
    root_props = tuple(sorted(fs.node_proplist(root, b"/").items()))
    copies = sum(
        1
        for change in fs.paths_changed2(root).values()
        if change.copyfrom_known and change.copyfrom_path
    )
    revprops = fs.revision_proplist(fsobj, rev)
    return {
        "date": revprops.get(b"svn:date"),
        "has_author": b"svn:author" in revprops,
        "has_log": b"svn:log" in revprops,
        "shape": shape,
        "content": content,
        "root_props": root_props,
        "copies": copies,
    }


def structure(repo_path):
    """Returns the per-revision summary list of the repository at
    `repo_path` (a local directory)."""
    fsobj = repos.fs(repos.open(str(repo_path)))
    return [
        _revision_summary(fsobj, rev) for rev in range(fs.youngest_rev(fsobj) + 1)
    ]


def compare_structure(plain, obfuscated, own_r0=True):
    """Returns the first difference of two `structure` lists as text, or
    None when they agree. With `own_r0` false the dumps had no revision 0
    (a subdirectory dump) and the loader's own revision 0 dates differ."""
    if len(plain) != len(obfuscated):
        return "revision count %d != %d" % (len(plain), len(obfuscated))
    for rev, (a, b) in enumerate(zip(plain, obfuscated)):
        for key in a:
            if rev == 0 and key == "date" and not own_r0:
                continue
            if a[key] != b[key]:
                if isinstance(a[key], collections.Counter):
                    only_a = a[key] - b[key]
                    only_b = b[key] - a[key]
                    return "r%d %s: plain only %s, obfuscated only %s" % (
                        rev,
                        key,
                        dict(only_a),
                        dict(only_b),
                    )
                return "r%d %s: %r != %r" % (rev, key, a[key], b[key])
    return None


# The log message of the program's own padding revisions (--keep-revnums).
PADDING_LOG = b"This is an empty revision for padding."


def dump_names(stream):
    """Returns (path components, revision property values) that a dump
    stream shows, as two sets of bytes. Dates, empty values and the
    program's own padding message are no names."""
    components = set()
    values = set()
    for headers, props in dumpfile.records(stream):
        for key in (b"Node-path", b"Node-copyfrom-path"):
            if key in headers:
                components.update(c for c in headers[key].split(b"/") if c)
        if b"Revision-number" in headers and props:
            if props == {b"svn:log": PADDING_LOG}:
                continue
            values.update(
                v for k, v in props.items() if v and k != b"svn:date"
            )
    return components, values


def leaked_names(plain, obfuscated, extra_components=()):
    """Returns the sorted names (component names and revision property
    values other than dates) of the plain stream, plus `extra_components`,
    that the obfuscated stream still shows in a Node-path, a
    Node-copyfrom-path or a revision property."""
    plain_components, plain_values = dump_names(plain)
    plain_components |= set(extra_components)
    components, values = dump_names(obfuscated)
    shown = components | values
    hidden = plain_components | plain_values
    return sorted(hidden & shown)


def stream_structure(stream):
    """Summarises a dump stream revision by revision without loading it (for
    incremental dumps, which need their base): per revision the revision
    number, the date, and the multiset of node records by kind, action,
    depth, whether a copy source is given, text MD5 and properties."""
    revisions = []
    for headers, props in dumpfile.records(stream):
        if b"Revision-number" in headers:
            props = props or {}
            revisions.append(
                {
                    "revision": headers[b"Revision-number"],
                    "date": props.get(b"svn:date"),
                    "has_author": b"svn:author" in props,
                    "has_log": b"svn:log" in props,
                    "nodes": collections.Counter(),
                }
            )
        elif b"Node-path" in headers and revisions:
            node = (
                headers.get(b"Node-kind"),
                headers.get(b"Node-action"),
                headers[b"Node-path"].count(b"/"),
                b"Node-copyfrom-path" in headers,
                headers.get(b"Text-content-md5"),
                tuple(sorted((props or {}).items())),
            )
            revisions[-1]["nodes"][node] += 1
    return revisions
