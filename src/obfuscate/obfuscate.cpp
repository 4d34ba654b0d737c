// Name obfuscation: random words for path components, authors and messages.
#include "obfuscate/obfuscate.h"

#include <apr_strings.h>

#include <cstdlib>
#include <cstring>

namespace {

// Cumulative bounds in 0..999 for the letters a to y: a letter is drawn when
// a number below 1000 is under its bound and not under the previous one. The
// shares follow English text; z is never drawn and y takes what is left.
constexpr int letter_bounds[] = {
    82,  97,  125, 157, 284, 306, 326, 387, 457, 459, 467, 507,  531,
    598, 673, 692, 693, 753, 816, 907, 935, 945, 969, 971, 1000,
};

char
random_letter() {
  int d = std::rand() % 1000;
  int i = 0;
  while (letter_bounds[i] <= d)
    ++i;
  return static_cast<char>('a' + i);
}

const char *
obfuscate_rec(obfuscator *obf, apr_pool_t *pool, const char *path) {
  const char *dir;
  const char *base;
  path_split(pool, path, &dir, &base);
  if (*dir && std::strcmp(dir, "/") != 0)
    dir = obfuscate_rec(obf, pool, dir);
  if (!*base)
    return "";

  auto *word = static_cast<const char *>(
      apr_hash_get(obf->obfuscated_names, base, APR_HASH_KEY_STRING));
  if (!word) {
    const char *name = apr_pstrdup(obf->pool, base);
    word = random_word(obf->pool, obf->used_words);
    apr_hash_set(obf->obfuscated_names, name, APR_HASH_KEY_STRING, word);
    // Remember the real name behind the word for obfuscate_reveal_path.
    apr_hash_set(obf->used_words, word, APR_HASH_KEY_STRING, name);
  }
  if (!*dir)
    return word;
  return path_join(pool, dir, word);
}

} // namespace

void
obfuscator_init(obfuscator *obf, apr_pool_t *pool) {
  obf->pool = pool;
  obf->obfuscated_names = apr_hash_make(pool);
  obf->used_words = apr_hash_make(pool);
}

const char *
obfuscate_path(obfuscator *obf, apr_pool_t *pool, const char *path) {
  if (!path || !obf->enabled)
    return path;
  if (!*path)
    return apr_pstrdup(pool, "");
  return obfuscate_rec(obf, pool, path);
}

const char *
obfuscate_text(const obfuscator *obf, apr_pool_t *pool, const char *text) {
  if (!text || !obf->enabled)
    return text;
  return random_word(pool, nullptr);
}

const char *
obfuscate_reveal_path(const obfuscator *obf, apr_pool_t *pool, const char *path) {
  if (!path || !obf->enabled)
    return path;
  char *out = apr_pstrdup(pool, "");
  const char *p = path;
  for (;;) {
    const char *slash = std::strchr(p, '/');
    std::size_t len =
        slash ? static_cast<std::size_t>(slash - p) : std::strlen(p);
    const char *part = apr_pstrmemdup(pool, p, len);
    auto *name = static_cast<const char *>(
        apr_hash_get(obf->used_words, part, APR_HASH_KEY_STRING));
    out = apr_pstrcat(pool, out, name ? name : part, slash ? "/" : "",
                      static_cast<char *>(nullptr));
    if (!slash)
      return out;
    p = slash + 1;
  }
}

char *
random_word(apr_pool_t *pool, apr_hash_t *used) {
  int max_len = 8;
  for (;;) {
    int len = std::rand() % max_len + 3;
    auto *word = static_cast<char *>(apr_pcalloc(pool, len + 1));
    for (int i = 0; i < len; ++i)
      word[i] = random_letter();
    if (!used)
      return word;
    ++max_len;
    if (!apr_hash_get(used, word, APR_HASH_KEY_STRING)) {
      apr_hash_set(used, word, APR_HASH_KEY_STRING, word);
      return word;
    }
  }
}

void
path_split(apr_pool_t *pool, const char *path, const char **dir,
           const char **base) {
  const char *slash = std::strrchr(path, '/');
  if (!slash) {
    *dir = apr_pstrdup(pool, "");
    *base = apr_pstrdup(pool, path);
  } else if (std::strcmp(path, "/") == 0) {
    *dir = apr_pstrdup(pool, "/");
    *base = apr_pstrdup(pool, "/");
  } else {
    *dir = slash == path ? apr_pstrdup(pool, "/")
                         : apr_pstrmemdup(pool, path, slash - path);
    *base = apr_pstrdup(pool, slash + 1);
  }
}

const char *
path_join(apr_pool_t *pool, const char *dir, const char *name) {
  std::size_t n = std::strlen(dir);
  if ((n && dir[n - 1] == '/') || name[0] == '/')
    return apr_psprintf(pool, "%s%s", dir, name);
  return apr_psprintf(pool, "%s/%s", dir, name);
}
