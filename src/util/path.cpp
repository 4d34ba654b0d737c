#include "util/path.h"

#include <cstring>

bool
path_is_inside(const char *subtree, const char *path) {
  std::size_t n = std::strlen(subtree);
  if (n == 0)
    return true;
  return std::strncmp(subtree, path, n) == 0 &&
         (path[n] == '\0' || path[n] == '/');
}

const char *
path_skip_prefix(const char *prefix, const char *path) {
  std::size_t n = std::strlen(prefix);
  if (std::strncmp(prefix, path, n) != 0)
    return nullptr;
  path += n;
  while (*path == '/')
    ++path;
  return path;
}
