"""The round trip: dump a source repository with the subject, load the dump
into a fresh repository, compare.

    result = roundtrip(subject, source_repo, Mode(...), protocol="svn")
    assert result.ok, result.message

The source repository is reached over the named protocol ("file", "svn",
later "http"; see servers.py).  The result tells pass or fail, the first
difference, the copies of the source that the dump could keep and those the
rebuilt repository kept, and per run of the subject the wall time, peak
memory and dump size.
"""

import contextlib
import dataclasses
import os
import shutil
import tempfile
import urllib.parse

import compare
import corpus
import modes
import servers
import subject as subject_mod
from repostate import RepoState


@dataclasses.dataclass
class Result:
    ok: bool
    message: str                    # "" when ok
    mismatch: object = None         # compare.Mismatch, when one was found
    revisions: int = 0              # revisions expected in the rebuilt repo
    copies_source: int = 0
    copies_kept: int = 0
    runs: list = dataclasses.field(default_factory=list)

    @property
    def wall(self):
        return sum(r.wall for r in self.runs)

    @property
    def peak_kb(self):
        return max((r.peak_kb for r in self.runs), default=0)

    @property
    def size(self):
        return sum(r.size for r in self.runs)

    def summary(self):
        head = "PASS" if self.ok else "FAIL"
        text = "%s %d revisions, copies kept %d of %d, %.2f s, %.1f MB, " \
               "%d bytes" % (head, self.revisions, self.copies_kept,
                             self.copies_source, self.wall,
                             self.peak_kb / 1024.0, self.size)
        return text if self.ok else text + ": " + self.message


def repo_url(base, repo_name, subdir=""):
    url = base + "/" + urllib.parse.quote(repo_name)
    if subdir:
        url += "/" + urllib.parse.quote(subdir)
    return url


def roundtrip(subject, source_repo, mode=modes.Mode(), protocol="file",
              bypass=False, transform=None, workdir=None, keep=False,
              env=None, separate_loads=False, url_base=None):
    """Dumps source_repo (a local repository path) with subject in mode over
    protocol, loads the dump(s) into a fresh repository (with
    --bypass-prop-validation when bypass) and compares it with the source.

    transform, if given, is applied to each dump's bytes before loading (to
    show that a corrupted dump is caught).  The work happens in workdir or
    in a temporary directory that is removed afterwards unless keep.

    url_base, if given, is the URL of the directory that holds source_repo
    on a server that the caller runs (see servers.serve); then protocol is
    only a label and no server is started here.

    The dumps of an incremental mode are loaded as one stream (the loader
    accepts the second header): loaded one after the other, svnadmin drops
    mergeinfo ranges older than the second stream, which no dump program
    can prevent. separate_loads loads them one by one instead."""
    own_dir = workdir is None
    workdir = workdir or tempfile.mkdtemp(prefix="roundtrip-")
    result = Result(False, "")
    try:
        source = RepoState(source_repo)
        expected = modes.expected_revisions(source, mode)
        result.revisions = len(expected)
        revs = [e.source_rev for e in expected if e.kind == "real"]
        result.copies_source = modes.source_copies(source, mode, revs)
        src = os.path.abspath(source_repo)
        dumps = []
        server = (contextlib.nullcontext(url_base) if url_base is not None
                  else servers.serve(protocol, os.path.dirname(src)))
        with server as base:
            url = repo_url(base, os.path.basename(src), mode.subdir)
            for i, flags in enumerate(modes.runs(mode)):
                path = os.path.join(workdir, "dump%d" % i)
                run = subject_mod.run_subject(subject, url, flags, path, env)
                result.runs.append(run)
                if run.status != 0:
                    result.message = "subject exited with status %d: %s\n%s" % (
                        run.status, " ".join(run.argv), run.stderr[-2000:])
                    return result
                if transform is not None:
                    with open(path, "rb") as f:
                        data = transform(f.read())
                    with open(path, "wb") as f:
                        f.write(data)
                dumps.append(path)
        target_path = corpus.create_repo(os.path.join(workdir, "rebuilt"))
        if len(dumps) > 1 and not separate_loads:
            joined = os.path.join(workdir, "joined")
            with open(joined, "wb") as out:
                for p in dumps:
                    with open(p, "rb") as f:
                        shutil.copyfileobj(f, out)
            dumps = [joined]
        err = corpus.load(target_path, dumps, bypass)
        if err:
            result.message = err
            return result
        target = RepoState(target_path)
        mismatch = compare.compare(source, target, mode, expected)
        result.copies_kept = compare.target_copies(target)
        if mismatch:
            result.mismatch = mismatch
            result.message = str(mismatch)
            return result
        result.ok = True
        return result
    finally:
        if own_dir and not keep:
            shutil.rmtree(workdir, ignore_errors=True)
