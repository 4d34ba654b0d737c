#!/usr/bin/env bash
# The main job: installs what is missing, builds vornhald, loads the bundled
# sample repository (samples/sample.dump) into a temporary repository, dumps
# it with vornhald over file:// into a file, and says where the dump went.
# The dump is then loaded into a fresh repository and compared with the
# sample. Build directory: $VORNHALD_BUILD_DIR, default build/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${VORNHALD_BUILD_DIR:-build}
cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target vornhald -j"$(nproc)"
vornhald=$build/vornhald

work=$(mktemp -d "${TMPDIR:-/tmp}/vornhald-sample.XXXXXX")
svnadmin create "$work/sample"
svnadmin load -q "$work/sample" < samples/sample.dump
url="file://$work/sample"
out="$work/sample-by-vornhald.dump"

echo "Dumping $url with $vornhald ..."
if ! "$vornhald" "$url" > "$out"; then
  echo "vornhald could not dump the sample (see above); here are its" \
       "version and usage texts instead:" >&2
  "$vornhald" --version
  "$vornhald" --help
  exit 1
fi

revisions=$(grep -a -c '^Revision-number: ' "$out" || true)
echo "Wrote the dump ($revisions revisions, $(wc -c < "$out") bytes) to:"
echo "  $out"

svnadmin create "$work/reloaded"
svnadmin load -q "$work/reloaded" < "$out"
if cmp -s <(svnadmin dump -q "$work/sample") \
          <(svnadmin dump -q "$work/reloaded"); then
  echo "Loaded back into $work/reloaded: same history as the sample."
else
  echo "Loaded back into $work/reloaded, but its history differs from the" \
       "sample's (compare 'svnadmin dump' of both)." >&2
  exit 1
fi
