// Heap string hash: a hash table for data that outlives any single revision
// and whose entries are removed and replaced one by one.
//
// The table itself (an APR hash and its slots) lives in a caller-supplied
// pool and goes with it. Every key and every value it holds is a private
// heap copy (malloc) that the table frees as soon as the entry is replaced
// or removed. Callers keep ownership of what they pass in; nothing they
// pass is retained. Entries still present when the pool goes are not freed
// by the pool: call `rhash_clear` first.
//
// Lengths: -1 means a NUL-terminated string (the copy keeps the
// terminator); any other length is a byte count (the copy is exactly that
// many bytes, no terminator added; keys of explicit length may contain NUL
// bytes).
//
// Used for `delta_hash`, `md5_hash` and the index of every record file.
// Single-threaded; no locking.
#pragma once

#include <apr_hash.h>
#include <apr_pools.h>

// One entry, owned by the table: heap copies of key and value, and the
// value's length as given (-1: a string), so that the debug line of a
// replacement never prints a raw old value as a string.
struct rhash_entry {
  void *key;
  void *value;
  apr_ssize_t value_len;
};

// The table: an APR hash keyed by each entry's own key copy, whose values
// are rhash_entry pointers.
struct rhash {
  apr_hash_t *table;
};

// An iteration position, allocated in the pool given to `rhash_first`.
using rhash_index = apr_hash_index_t;

// Returns a new, empty table allocated in `pool`.
rhash *rhash_make(apr_pool_t *pool);

// Inserts or replaces the entry for `key` with a heap copy of `value`, or
// deletes it (freeing its copies) when `value` is null, in which case
// `value_len` is ignored. Deleting an absent key does nothing. A value
// pointer handed out earlier for this entry is invalid afterwards; passing
// that very pointer back as the new value is allowed. String values are
// traced at debug level ("setting", "replacing"); raw values never are.
// Aborts the program if the heap is exhausted.
void rhash_set(rhash *ht, const void *key, apr_ssize_t key_len,
               const void *value, apr_ssize_t value_len);

// Returns the table's own copy of the value stored under `key`, or null.
// The pointer stays valid until the entry's value is replaced, the entry is
// deleted or the table is cleared; the caller never frees it.
void *rhash_get(rhash *ht, const void *key, apr_ssize_t key_len);

// Returns the number of entries.
unsigned int rhash_count(rhash *ht);

// Starts an iteration; returns the first position (allocated in `pool`; a
// null pool uses the table's single built-in position) or null when the
// table is empty. The order is the APR hash's order. The
// entry at the current position may be deleted with `rhash_set` during the
// iteration; `rhash_next` then continues with the remaining entries.
// Inserting during an iteration is not supported.
rhash_index *rhash_first(apr_pool_t *pool, rhash *ht);

// Returns the next position, or null at the end.
rhash_index *rhash_next(rhash_index *hi);

// Hands out the entry at the position: the table's key copy, its length as
// given at insertion (-1 keys report their string length) and the table's
// value copy. Any destination may be null.
void rhash_this(rhash_index *hi, const void **key, apr_ssize_t *key_len,
                void **value);

// Removes every entry and frees all entry memory; the table stays usable.
// Each entry leaves the APR hash before its memory is freed, so no slot
// ever refers to freed memory. Allocates nothing.
void rhash_clear(rhash *ht);
