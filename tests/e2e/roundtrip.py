#!/usr/bin/python3
"""Runs one round trip by hand: dump a repository with a dump program, load
the dump into a fresh repository and compare it with the source.

Examples (see README.md):

  /usr/bin/python3 roundtrip.py --seed 7 --revisions 200
  /usr/bin/python3 roundtrip.py --corpus svnrdump__copy-and-modify
  /usr/bin/python3 roundtrip.py --repo /path/to/repo --subdir trunk \\
      --keep-revnums --protocol svn --subject "$VORNHALD -q"
  /usr/bin/python3 roundtrip.py --seed 3 --subject "svnrdump dump -q"

Prints one line per case: PASS or FAIL, the revisions compared, the copies
kept, the subject's wall time, peak memory and dump size, and for a failure
the first revision, path and difference. Exit status 0 when it passes.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "lib"))

import corpus  # noqa: E402
import generator  # noqa: E402
import harness  # noqa: E402
import subject  # noqa: E402
from modes import Mode  # noqa: E402


def main():
    default_shared = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                  "..", "..", "..", "shared")
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    src = ap.add_mutually_exclusive_group(required=True)
    src.add_argument("--repo", help="an existing local repository")
    src.add_argument("--corpus", help="a corpus file name (loadable)")
    src.add_argument("--seed", type=int, help="generate a history")
    ap.add_argument("--revisions", type=int, default=60,
                    help="revisions of a generated history (default 60)")
    ap.add_argument("--subject", default=None,
                    help="dump program command line; {flags} and {url} are "
                         "placed at the end unless written (default: "
                         "$VORNHALD -q, else svnrdump dump -q)")
    ap.add_argument("--protocol", default="file",
                    choices=("file", "svn", "http"))
    ap.add_argument("--subdir", default="")
    ap.add_argument("-r", "--revision", default=None, metavar="A:B",
                    help="range A:B (B may be HEAD)")
    ap.add_argument("--keep-revnums", action="store_true")
    ap.add_argument("--prefix", default=None)
    ap.add_argument("--deltas", action="store_true")
    ap.add_argument("-n", "--dry-run", action="store_true")
    ap.add_argument("--incremental", type=int, default=None, metavar="A",
                    help="dump 0..A-1, then --incremental from A")
    ap.add_argument("--separate-loads", action="store_true",
                    help="load incremental dumps one by one")
    ap.add_argument("--bypass", action="store_true",
                    help="load with --bypass-prop-validation")
    ap.add_argument("--shared", default=os.environ.get("VORNHALD_SHARED",
                                                       default_shared))
    ap.add_argument("--keep", action="store_true",
                    help="keep the work directory (dumps, rebuilt repo)")
    args = ap.parse_args()

    if args.subject:
        template = subject.parse_subject(args.subject)
    elif os.environ.get("VORNHALD"):
        template = [os.environ["VORNHALD"], "-q", "{flags}", "{url}"]
    else:
        template = ["svnrdump", "dump", "-q", "{flags}", "{url}"]

    start = end = None
    if args.revision:
        a, _, b = args.revision.partition(":")
        start = int(a)
        end = None if b in ("", "HEAD") else int(b)
    mode = Mode(subdir=args.subdir.strip("/"), start=start, end=end,
                keep_revnums=args.keep_revnums, prefix=args.prefix,
                deltas=args.deltas, dry_run=args.dry_run,
                incremental_from=args.incremental)

    work = tempfile.mkdtemp(prefix="roundtrip-")
    bypass = args.bypass
    if args.repo:
        repo = args.repo
    elif args.corpus:
        entry = corpus.find(args.corpus, args.shared)
        repo = corpus.load_entry(entry, os.path.join(work, "source"))
        bypass = bypass or entry.bypass
    else:
        repo = generator.generate(os.path.join(work, "source"), args.seed,
                                  args.revisions)
    r = harness.roundtrip(template, repo, mode, args.protocol, bypass=bypass,
                          workdir=work, separate_loads=args.separate_loads)
    print("%s [%s, %s]" % (r.summary(), mode.name(), args.protocol))
    for run in r.runs:
        print("  run: %s: %s" % (" ".join(run.argv), run))
    if args.keep:
        print("  work directory: %s" % work)
    else:
        import shutil
        shutil.rmtree(work, ignore_errors=True)
    return 0 if r.ok else 1


if __name__ == "__main__":
    sys.exit(main())
