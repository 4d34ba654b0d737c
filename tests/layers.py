"""Checks that every source file includes only headers of its own layer or
of the layers below it.

Usage: layers.py LAYER...   (lowest first, as CMakeLists.txt lists them)

A file of src/LAYER/ may include "OTHER/..." only when OTHER comes before
LAYER in the list or is LAYER itself; a unit test tests/unit/test_LAYER_*.cpp
is held to the same rule, since its program links only vh_LAYER. Prints
every offending include and exits with 1 when there is one.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/[^"]+"', re.M)


def main(layers):
    rank = {name: i for i, name in enumerate(layers)}
    files = []
    for layer in layers:
        files += [(layer, p) for p in sorted((ROOT / "src" / layer).glob("*"))
                  if p.suffix in (".h", ".cpp")]
        files += [(layer, p) for p in
                  sorted((ROOT / "tests" / "unit").glob("test_%s_*.cpp"
                                                        % layer))]
    bad = []
    for layer, path in files:
        for other in INCLUDE.findall(path.read_text(encoding="utf-8")):
            if other not in rank:
                bad.append("%s: includes a header of unknown folder '%s'"
                           % (path.relative_to(ROOT), other))
            elif rank[other] > rank[layer]:
                bad.append("%s (layer %s) includes a header of the higher "
                           "layer %s" % (path.relative_to(ROOT), layer, other))
    for line in bad:
        print(line)
    unlisted = sorted(p.name for p in (ROOT / "src").iterdir()
                      if p.is_dir() and p.name not in rank)
    for name in unlisted:
        print("src/%s is not a listed layer" % name)
    print("%d files checked, %d bad includes" % (len(files), len(bad)))
    return 1 if bad or unlisted else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
