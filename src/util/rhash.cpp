#include "util/rhash.h"

#include "util/diagnostics.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The heap is exhausted: no caller of the table can go on without the
// entry it asked for, and losing it silently would corrupt the history.
[[noreturn]] void
out_of_memory() {
  std::fputs("rhash: out of memory\n", stderr);
  std::abort();
}

void *
checked_malloc(std::size_t size) {
  void *p = std::malloc(size ? size : 1);
  if (!p)
    out_of_memory();
  return p;
}

// A heap copy of `len` bytes, or of a NUL-terminated string for len -1.
void *
heap_copy(const void *data, apr_ssize_t len) {
  std::size_t size = len == APR_HASH_KEY_STRING
                         ? std::strlen(static_cast<const char *>(data)) + 1
                         : static_cast<std::size_t>(len);
  void *copy = checked_malloc(size);
  if (size)
    std::memcpy(copy, data, size);
  return copy;
}

// How many bytes of a key the debug lines show: a key of explicit length
// need not be terminated.
int
shown_len(const void *key, apr_ssize_t key_len) {
  return static_cast<int>(key_len == APR_HASH_KEY_STRING
                              ? std::strlen(static_cast<const char *>(key))
                              : key_len);
}

void
free_entry(rhash_entry *entry) {
  std::free(entry->key);
  std::free(entry->value);
  std::free(entry);
}

} // namespace

rhash *
rhash_make(apr_pool_t *pool) {
  auto *ht = static_cast<rhash *>(apr_pcalloc(pool, sizeof(rhash)));
  ht->table = apr_hash_make(pool);
  return ht;
}

void
rhash_set(rhash *ht, const void *key, apr_ssize_t key_len, const void *value,
          apr_ssize_t value_len) {
  auto *entry =
      static_cast<rhash_entry *>(apr_hash_get(ht->table, key, key_len));
  if (!value) {
    if (entry) {
      apr_hash_set(ht->table, key, key_len, nullptr);
      free_entry(entry);
    }
    return;
  }

  if (!entry) {
    entry = static_cast<rhash_entry *>(checked_malloc(sizeof(rhash_entry)));
    entry->key = heap_copy(key, key_len);
    entry->value = heap_copy(value, value_len);
    entry->value_len = value_len;
    if (value_len == APR_HASH_KEY_STRING && verbosity >= 3)
      print_debug("rhash_set(): setting %.*s: %s (0x%lX)\n",
                  shown_len(key, key_len), static_cast<const char *>(key),
                  static_cast<const char *>(entry->value),
                  reinterpret_cast<unsigned long>(entry->value));
    apr_hash_set(ht->table, entry->key, key_len, entry);
    return;
  }

  // Copy before freeing: the new value may be the old copy itself.
  void *copy = heap_copy(value, value_len);
  // An old raw value is never shown: it need not be terminated.
  if (value_len == APR_HASH_KEY_STRING && verbosity >= 3)
    print_debug("rhash_set(): replacing %.*s: %s -> %s (0x%lX -> 0x%lX)\n",
                shown_len(key, key_len), static_cast<const char *>(key),
                entry->value_len == APR_HASH_KEY_STRING
                    ? static_cast<const char *>(entry->value)
                    : "(raw value)",
                static_cast<const char *>(value),
                reinterpret_cast<unsigned long>(entry->value),
                reinterpret_cast<unsigned long>(value));
  std::free(entry->value);
  entry->value = copy;
  entry->value_len = value_len;
}

void *
rhash_get(rhash *ht, const void *key, apr_ssize_t key_len) {
  auto *entry =
      static_cast<rhash_entry *>(apr_hash_get(ht->table, key, key_len));
  return entry ? entry->value : nullptr;
}

unsigned int
rhash_count(rhash *ht) {
  return apr_hash_count(ht->table);
}

rhash_index *
rhash_first(apr_pool_t *pool, rhash *ht) {
  return apr_hash_first(pool, ht->table);
}

rhash_index *
rhash_next(rhash_index *hi) {
  return apr_hash_next(hi);
}

void
rhash_this(rhash_index *hi, const void **key, apr_ssize_t *key_len,
           void **value) {
  void *val = nullptr;
  apr_hash_this(hi, key, key_len, &val);
  if (value)
    *value = static_cast<rhash_entry *>(val)->value;
}

void
rhash_clear(rhash *ht) {
  // APR lets the entry at the current position be removed; each entry
  // leaves the table before its memory (key copy included) is freed.
  for (apr_hash_index_t *hi = apr_hash_first(nullptr, ht->table); hi;
       hi = apr_hash_next(hi)) {
    const void *key = nullptr;
    apr_ssize_t key_len = 0;
    void *val = nullptr;
    apr_hash_this(hi, &key, &key_len, &val);
    apr_hash_set(ht->table, key, key_len, nullptr);
    free_entry(static_cast<rhash_entry *>(val));
  }
}
