// Small path helpers shared by the modules that translate repository paths
// into paths relative to the dumped subtree. Paths here have no leading
// slash unless stated; nothing is allocated.
#pragma once

// Returns true when `path` lies inside the subtree `subtree`: the subtree
// is empty (the whole repository), equals `path`, or is continued in
// `path` by a slash. "a" contains "a" and "a/b" but not "ab".
bool path_is_inside(const char *subtree, const char *path);

// When `path` begins with `prefix` (byte comparison over the prefix's
// length), returns the rest of `path` after the prefix with every slash
// that follows skipped; for an empty prefix, `path` without its leading
// slashes. Otherwise returns null. The result points into `path`. The
// comparison does not respect path components ("a" cuts "ab" to "b"):
// callers test `path_is_inside` first.
const char *path_skip_prefix(const char *prefix, const char *path);
