"""A small reader and writer of dump streams, for making damaged dumps.

`parse(data)` splits a dump stream into `Record`s (header lines, property
block and text, as raw bytes); `unparse(records)` writes them back with
their length headers recomputed (an unchanged stream comes back byte for
byte).  The corruptions below each change one
thing that a loader accepts, so that the comparison has to find it.
"""

import dataclasses


@dataclasses.dataclass
class Record:
    headers: list           # [(name, value)] as bytes, in stream order
    props: bytes = None     # the property block (with PROPS-END), or None
    text: bytes = None      # the text (full or svndiff), or None
    trailer: int = 0        # line feeds after the body

    def get(self, name):
        for k, v in self.headers:
            if k == name:
                return v
        return None

    def drop(self, name):
        self.headers = [(k, v) for k, v in self.headers if k != name]


def parse(data):
    records, pos = [], 0
    while pos < len(data):
        if data[pos:pos + 1] == b"\n":
            pos += 1
            if records:
                records[-1].trailer += 1
            continue
        headers = []
        while True:
            end = data.index(b"\n", pos)
            line = data[pos:end]
            pos = end + 1
            if not line:
                break
            name, _, value = line.partition(b": ")
            headers.append((name, value))
        rec = Record(headers)
        plen = rec.get(b"Prop-content-length")
        tlen = rec.get(b"Text-content-length")
        if plen is not None:
            rec.props = data[pos:pos + int(plen)]
            pos += int(plen)
        if tlen is not None:
            rec.text = data[pos:pos + int(tlen)]
            pos += int(tlen)
        records.append(rec)
    return records


def parse_props(block):
    """Parses a property block (bytes, ending in PROPS-END) into a dict of
    bytes; deletions (D entries of version 3) map to None. Any byte that is
    not where the format puts it fails an assertion."""
    props, pos = {}, 0
    while not block.startswith(b"PROPS-END\n", pos):
        end = block.index(b"\n", pos)
        kind, length = block[pos:end].split(b" ")
        assert kind in (b"K", b"D"), block[pos:]
        name = block[end + 1:end + 1 + int(length)]
        pos = end + 1 + int(length)
        assert block[pos:pos + 1] == b"\n", block[pos:]
        pos += 1
        if kind == b"D":
            props[name] = None
            continue
        end = block.index(b"\n", pos)
        assert block[pos:pos + 2] == b"V ", block[pos:]
        vlen = int(block[pos + 2:end])
        props[name] = block[end + 1:end + 1 + vlen]
        pos = end + 1 + vlen
        assert block[pos:pos + 1] == b"\n", block[pos:]
        pos += 1
    assert pos + 10 == len(block), "bytes after PROPS-END"
    return props


def records(data):
    """The records of a dump stream as (headers, props): headers a dict of
    bytes, props the parsed property block or None where there is none (or
    an empty one)."""
    return [(dict(rec.headers), parse_props(rec.props) if rec.props else None)
            for rec in parse(data)]


LENGTHS = (b"Prop-content-length", b"Text-content-length", b"Content-length")


def unparse(records):
    out = []
    for rec in records:
        want = {}
        total = 0
        if rec.props is not None:
            want[b"Prop-content-length"] = b"%d" % len(rec.props)
            total += len(rec.props)
        if rec.text is not None:
            want[b"Text-content-length"] = b"%d" % len(rec.text)
            total += len(rec.text)
        if want or rec.get(b"Content-length") is not None:
            want[b"Content-length"] = b"%d" % total
        # Lengths stay where they were; missing ones go at the end.
        heads = [(k, want.pop(k)) if k in LENGTHS else (k, v)
                 for k, v in rec.headers if k not in LENGTHS or k in want]
        heads += [(k, want[k]) for k in LENGTHS if k in want]
        out.append(b"".join(k + b": " + v + b"\n" for k, v in heads) + b"\n")
        if rec.props is not None:
            out.append(rec.props)
        if rec.text is not None:
            out.append(rec.text)
        out.append(b"\n" * rec.trailer)
    return b"".join(out)


def _revision_of(records, index):
    for rec in reversed(records[:index]):
        r = rec.get(b"Revision-number")
        if r is not None:
            return int(r)
    return None


def _flip_last_letter(value):
    """value with its last ASCII letter swapped for another one."""
    b = bytearray(value)
    for i in range(len(b) - 1, -1, -1):
        if 97 <= b[i] <= 122:
            b[i] = 97 + (b[i] - 97 + 1) % 26
            return bytes(b)
    raise ValueError("no letter to change")


def _props_replace(block, name, new_value_fn):
    """A property block with the value of name changed by new_value_fn."""
    lines, pos, out, done = block, 0, [], False
    while pos < len(lines):
        end = lines.index(b"\n", pos)
        line = lines[pos:end + 1]
        pos = end + 1
        out.append(line)
        if line.startswith(b"K ") and not done:
            klen = int(line[2:-1])
            key = lines[pos:pos + klen]
            out.append(lines[pos:pos + klen + 1])
            pos += klen + 1
            end = lines.index(b"\n", pos)
            vline = lines[pos:end + 1]
            pos = end + 1
            vlen = int(vline[2:-1])
            value = lines[pos:pos + vlen]
            pos += vlen + 1
            if key == name:
                value = new_value_fn(value)
                done = True
            out.append(b"V %d\n" % len(value) + value + b"\n")
    if not done:
        raise KeyError(name)
    return b"".join(out)


def corrupt_log(data, min_rev=1):
    """Changes one letter of the first non-trivial svn:log at or after
    min_rev. Returns (new data, revision)."""
    records = parse(data)
    for rec in records:
        r = rec.get(b"Revision-number")
        if r is None or int(r) < min_rev or not rec.props:
            continue
        try:
            rec.props = _props_replace(rec.props, b"svn:log",
                                       _flip_last_letter)
        except (KeyError, ValueError):
            continue
        return unparse(records), int(r)
    raise ValueError("no log message to corrupt")


def corrupt_node_prop(data):
    """Changes one letter of the first node property value that has one.
    Returns (new data, revision, node path, property name)."""
    records = parse(data)
    for i, rec in enumerate(records):
        path = rec.get(b"Node-path")
        if path is None or not rec.props:
            continue
        names = _prop_names(rec.props)
        for name in names:
            try:
                rec.props = _props_replace(rec.props, name, _flip_last_letter)
            except ValueError:
                continue
            return (unparse(records), _revision_of(records, i),
                    path.decode(), name.decode())
    raise ValueError("no node property to corrupt")


def _prop_names(block):
    names, pos = [], 0
    while pos < len(block):
        end = block.index(b"\n", pos)
        line = block[pos:end]
        pos = end + 1
        if line.startswith(b"K "):
            klen = int(line[2:])
            names.append(block[pos:pos + klen])
            pos += klen + 1
            end = block.index(b"\n", pos)
            pos = end + 1 + int(block[pos + 2:end]) + 1
        elif line.startswith(b"D "):
            pos += int(line[2:]) + 1
    return names


CHECKSUMS = (b"Text-content-md5", b"Text-content-sha1",
             b"Text-delta-base-md5", b"Text-delta-base-sha1")


def corrupt_text(data):
    """Changes the last byte of the first file text of at least 16 bytes
    that ends in a letter (in an svndiff of format 3 the last bytes are new
    data) and drops every checksum line of the stream, so that the loader
    cannot notice. Returns (new data, revision, node path)."""
    records = parse(data)
    for rec in records:
        for name in CHECKSUMS:
            rec.drop(name)
    for i, rec in enumerate(records):
        path = rec.get(b"Node-path")
        if path is None or rec.text is None or len(rec.text) < 16:
            continue
        if not 97 <= rec.text[-1] <= 122 and not 97 <= rec.text[-2] <= 122:
            continue
        if not 97 <= rec.text[-1] <= 122:
            rec.text = rec.text[:-2] + _flip_last_letter(rec.text[-2:-1]) \
                + rec.text[-1:]
        else:
            rec.text = rec.text[:-1] + _flip_last_letter(rec.text[-1:])
        return unparse(records), _revision_of(records, i), path.decode()
    raise ValueError("no text to corrupt")


def drop_file_add(data, min_rev=2):
    """Removes the first record that adds a file (not a copy) in a revision
    at or after min_rev and that no later record names (as its path or copy
    source), so that the stream still loads. Returns (new data, revision,
    node path)."""
    records = parse(data)
    named_later, later = [], set()
    for rec in reversed(records):
        named_later.append(set(later))
        for name in (b"Node-path", b"Node-copyfrom-path"):
            if rec.get(name) is not None:
                later.add(rec.get(name))
    named_later.reverse()
    for i, rec in enumerate(records):
        if rec.get(b"Node-kind") == b"file" \
                and rec.get(b"Node-action") == b"add" \
                and rec.get(b"Node-copyfrom-path") is None \
                and rec.get(b"Node-path") not in named_later[i] \
                and (_revision_of(records, i) or 0) >= min_rev:
            rev = _revision_of(records, i)
            del records[i]
            return unparse(records), rev, rec.get(b"Node-path").decode()
    raise ValueError("no file add to drop")


def replace_as_change(data):
    """Turns the first replace of a file by a new file (no copy), written as
    "replace" or as a deletion and an add, into a change of the old file.
    Returns (new data, revision, node path)."""
    records = parse(data)
    for i, rec in enumerate(records):
        action = rec.get(b"Node-action")
        if rec.get(b"Node-kind") != b"file" \
                or rec.get(b"Node-copyfrom-path") is not None:
            continue
        path = rec.get(b"Node-path")
        before = records[i - 1] if i else None
        if action == b"add" and before is not None \
                and before.get(b"Node-path") == path \
                and before.get(b"Node-action") == b"delete":
            del records[i - 1]
            i -= 1
        elif action != b"replace":
            continue
        records[i].headers = [(k, b"change" if k == b"Node-action" else v)
                              for k, v in records[i].headers]
        return unparse(records), _revision_of(records, i), path.decode()
    raise ValueError("no replace of a file by a new file")


def text_with_props(data):
    """Writes the unchanged full text into the first change of a file's
    properties alone whose text an earlier record of the (format 2) stream
    wrote at the same path. Returns (new data, revision, node path)."""
    records = parse(data)
    texts = {}
    for i, rec in enumerate(records):
        path = rec.get(b"Node-path")
        if path is None:
            continue
        action = rec.get(b"Node-action")
        if action in (b"delete", b"replace") \
                or rec.get(b"Node-copyfrom-path") is not None:
            for p in [p for p in texts if p == path
                      or p.startswith(path + b"/")]:
                del texts[p]
        if action == b"change" and rec.props is not None \
                and rec.text is None and path in texts:
            rec.text = texts[path]
            for name in CHECKSUMS:
                rec.drop(name)
            return unparse(records), _revision_of(records, i), path.decode()
        if rec.text is not None and rec.get(b"Text-delta") != b"true":
            texts[path] = rec.text
    raise ValueError("no change of properties alone with a known text")


def drop_revprop(data):
    """Leaves out the first revision property that is not an svn: one.
    Returns (new data, revision, property name)."""
    records = parse(data)
    for rec in records:
        r = rec.get(b"Revision-number")
        if r is None or not rec.props:
            continue
        props = parse_props(rec.props)
        own = [k for k in props if not k.startswith(b"svn:")]
        if not own:
            continue
        del props[own[0]]
        rec.props = b"".join(b"K %d\n%s\nV %d\n%s\n" % (len(k), k, len(v), v)
                             for k, v in props.items()) + b"PROPS-END\n"
        return unparse(records), int(r), own[0].decode()
    raise ValueError("no revision property of the users' own")


def props_on_copy(data):
    """Gives the first copy that carries no property block one with its
    source's properties, as an earlier full property block at the source's
    path and at or before the source's revision wrote them. Returns (new
    data, revision, node path)."""
    records = parse(data)
    written = {}   # path -> [(revision, property block)]
    for i, rec in enumerate(records):
        path = rec.get(b"Node-path")
        if path is None:
            continue
        source = rec.get(b"Node-copyfrom-path")
        if source is not None and rec.props is None:
            cf_rev = int(rec.get(b"Node-copyfrom-rev"))
            blocks = [b for r, b in written.get(source, []) if r <= cf_rev]
            if blocks and blocks[-1] != b"PROPS-END\n":
                rec.props = blocks[-1]
                return (unparse(records), _revision_of(records, i),
                        path.decode())
        if rec.props is not None and rec.get(b"Prop-delta") != b"true":
            written.setdefault(path, []).append(
                (_revision_of(records, i), rec.props))
    raise ValueError("no copy whose source's properties are known")
