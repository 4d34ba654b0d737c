#include "props/property_storage.h"

#include "util/diagnostics.h"
#include "util/compress.h"

#include <apr_md5.h>
#include <apr_strings.h>
#include <svn_error_codes.h>
#include <svn_string.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string_view>

namespace {

// One property of a set being serialised.
struct sorted_prop {
  const char *name;
  std::size_t name_len;
  const svn_string_t *value;
};

constexpr apr_ssize_t DIGEST_LEN = APR_MD5_DIGESTSIZE;

void
put_u32(char *at, std::uint32_t v) {
  std::memcpy(at, &v, sizeof(v));
}

std::uint32_t
get_u32(const char *at) {
  std::uint32_t v;
  std::memcpy(&v, at, sizeof(v));
  return v;
}

// The record loses one reference; at zero or below it becomes a candidate
// for the next clean-up.
void
release_record(property_storage *ps, prop_record *rec) {
  if (--rec->refcount <= 0)
    apr_hash_set(ps->unreferenced, rec->digest, DIGEST_LEN, rec);
}

// Gives up the node's reference, if any, and frees it.
void
drop_reference(property_storage *ps, prop_reference *ref) {
  if (!ref)
    return;
  apr_hash_set(ps->references, ref->path, APR_HASH_KEY_STRING, nullptr);
  release_record(ps, ref->record);
  std::free(ref->path);
  std::free(ref);
}

prop_reference *
find_reference(property_storage *ps, const char *path) {
  return static_cast<prop_reference *>(
      apr_hash_get(ps->references, path, APR_HASH_KEY_STRING));
}

// Parses a serialised set into `out` (pairs of name and svn_string_t *,
// allocated in `pool`). Returns false when the bytes do not form exactly
// one well-formed set.
bool
parse_set(std::span<const char> buf, apr_array_header_t *out,
          apr_pool_t *pool) {
  std::size_t at = 0;
  for (;;) {
    if (buf.size() - at < 4)
      return false;
    std::size_t name_len = get_u32(buf.data() + at);
    at += 4;
    if (name_len == 0)
      return at == buf.size();
    if (buf.size() - at < name_len + 4)
      return false;
    const char *name = apr_pstrmemdup(pool, buf.data() + at, name_len);
    at += name_len;
    std::size_t value_len = get_u32(buf.data() + at);
    at += 4;
    if (buf.size() - at < value_len)
      return false;
    APR_ARRAY_PUSH(out, const char *) = name;
    APR_ARRAY_PUSH(out, const svn_string_t *) =
        svn_string_ncreate(buf.data() + at, value_len, pool);
    at += value_len;
  }
}

vh::Error
out_of_memory(const char *path) {
  return vh::Error::createf(APR_ENOMEM,
                            _("Out of memory storing the properties of '%s'"),
                            path);
}

// Stored bytes that do not decode to the set they were stored as.
vh::Error
corrupt(const char *path) {
  return vh::Error::createf(SVN_ERR_CORRUPT_PACKED_DATA,
                            _("The stored properties of '%s' are corrupt"),
                            path);
}

// Pool clean-up: frees every record and reference and closes (and thereby
// unlinks) "props.db".
apr_status_t
destroy_storage(void *data) noexcept {
  auto *ps = static_cast<property_storage *>(data);
  // Each entry is taken out of its table before the memory that holds its
  // key is freed: the tables compare keys when entries are removed.
  apr_hash_clear(ps->unreferenced);
  for (apr_hash_index_t *hi = apr_hash_first(nullptr, ps->records); hi;
       hi = apr_hash_next(hi)) {
    void *rec = apr_hash_this_val(hi);
    apr_hash_set(ps->records, apr_hash_this_key(hi), apr_hash_this_key_len(hi),
                 nullptr);
    std::free(rec);
  }
  for (apr_hash_index_t *hi = apr_hash_first(nullptr, ps->references); hi;
       hi = apr_hash_next(hi)) {
    auto *ref = static_cast<prop_reference *>(apr_hash_this_val(hi));
    apr_hash_set(ps->references, apr_hash_this_key(hi),
                 apr_hash_this_key_len(hi), nullptr);
    std::free(ref->path);
    std::free(ref);
  }
  // A clean-up has nobody to hand a failure to.
  static_cast<void>(record_file_close(ps->db));
  return APR_SUCCESS;
}

} // namespace

vh::Error
property_storage_create(const char *temp_dir, apr_pool_t *pool,
                        property_storage **made) {
  *made = nullptr;
  auto *ps = static_cast<property_storage *>(
      apr_pcalloc(pool, sizeof(property_storage)));
  if (apr_pool_create(&ps->pool, pool) != APR_SUCCESS)
    return vh::Error::createf(APR_ENOMEM, "%s",
                              "Error creating property storage: out of memory");
  ps->records = apr_hash_make(ps->pool);
  ps->references = apr_hash_make(ps->pool);
  ps->unreferenced = apr_hash_make(ps->pool);

  const char *path = apr_psprintf(ps->pool, "%s/props.db", temp_dir);
  ps->db = record_file_open(path, ps->pool);
  if (!ps->db) {
    const int reason = errno;
    apr_pool_destroy(ps->pool);
    return vh::Error::createf(APR_FROM_OS_ERROR(reason),
                              "Error creating path database (%s)",
                              std::strerror(reason));
  }
  apr_pool_cleanup_register(ps->pool, ps, destroy_storage,
                            apr_pool_cleanup_null);
  *made = ps;
  return {};
}

vh::Error
property_storage_store(property_storage *ps, const char *path,
                       apr_hash_t *props, apr_pool_t *pool) {
  prop_reference *ref = find_reference(ps, path);
  if (apr_hash_count(props) == 0) {
    drop_reference(ps, ref);
    return {};
  }

  constexpr std::size_t max_field = std::numeric_limits<std::uint32_t>::max();
  std::size_t size = 4;
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi;
       hi = apr_hash_next(hi)) {
    auto name_len = static_cast<std::size_t>(apr_hash_this_key_len(hi));
    auto *value = static_cast<const svn_string_t *>(apr_hash_this_val(hi));
    // A zero name length would end the set early when it is read back.
    if (name_len == 0 || name_len > max_field || value->len > max_field)
      return vh::Error::createf(SVN_ERR_BAD_PROPERTY_VALUE,
                                _("A property of '%s' cannot be stored: its "
                                  "name is empty or too long, or its value "
                                  "too long"),
                                path);
    size += name_len + value->len + 8;
  }

  // The set is written in the byte order of its names: the hash's own order
  // differs from run to run and between equal sets built in another order,
  // and equal sets must serialise equally to share one record.
  const unsigned count = apr_hash_count(props);
  auto *entries =
      static_cast<sorted_prop *>(apr_palloc(pool, count * sizeof(sorted_prop)));
  unsigned n = 0;
  for (apr_hash_index_t *hi = apr_hash_first(pool, props); hi;
       hi = apr_hash_next(hi), ++n)
    entries[n] = {static_cast<const char *>(apr_hash_this_key(hi)),
                  static_cast<std::size_t>(apr_hash_this_key_len(hi)),
                  static_cast<const svn_string_t *>(apr_hash_this_val(hi))};
  std::sort(entries, entries + count,
            [](const sorted_prop &a, const sorted_prop &b) {
              return std::string_view(a.name, a.name_len) <
                     std::string_view(b.name, b.name_len);
            });

  auto *buf = static_cast<char *>(apr_palloc(pool, size));
  char *at = buf;
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t name_len = entries[i].name_len;
    const svn_string_t *value = entries[i].value;
    put_u32(at, static_cast<std::uint32_t>(name_len));
    std::memcpy(at + 4, entries[i].name, name_len);
    at += 4 + name_len;
    put_u32(at, static_cast<std::uint32_t>(value->len));
    if (value->len)
      std::memcpy(at + 4, value->data, value->len);
    at += 4 + value->len;
  }
  put_u32(at, 0);

  unsigned char digest[APR_MD5_DIGESTSIZE];
  if (apr_status_t status = apr_md5(digest, buf, size); status != APR_SUCCESS)
    return vh::Error::createf(status, _("Cannot digest the properties of '%s'"),
                              path);

  auto *rec =
      static_cast<prop_record *>(apr_hash_get(ps->records, digest, DIGEST_LEN));
  if (!rec) {
    std::size_t bound = compress_bound(size);
    auto *out = static_cast<char *>(apr_palloc(pool, bound));
    std::size_t out_len = compress_block({buf, size}, {out, bound});
    if (out_len == 0)
      return vh::Error::createf(vh::FAILURE, "%s", "Error compressing data");
    // The record joins `records` only once its bytes are in the file, so a
    // failed store leaves no record that a later store could refer to.
    if (vh::Error err =
            record_file_put(ps->db, digest, DIGEST_LEN, out, out_len))
      return err;
    rec = static_cast<prop_record *>(std::malloc(sizeof(prop_record)));
    if (!rec) {
      record_file_remove(ps->db, digest, DIGEST_LEN);
      return out_of_memory(path);
    }
    std::memcpy(rec->digest, digest, sizeof(rec->digest));
    rec->refcount = 0;
    apr_hash_set(ps->records, rec->digest, DIGEST_LEN, rec);
  }

  if (ref) {
    release_record(ps, ref->record);
  } else {
    ref = static_cast<prop_reference *>(std::malloc(sizeof(prop_reference)));
    char *path_copy = strdup(path);
    if (!ref || !path_copy) {
      std::free(ref);
      std::free(path_copy);
      return out_of_memory(path);
    }
    ref->path = path_copy;
  }
  ref->record = rec;
  ++rec->refcount;
  apr_hash_set(ps->references, ref->path, APR_HASH_KEY_STRING, ref);
  return {};
}

vh::Error
property_storage_load(property_storage *ps, const char *path, apr_hash_t *props,
                      apr_pool_t *pool) {
  prop_reference *ref = find_reference(ps, path);
  if (!ref)
    return {};

  std::size_t block_len = 0;
  const char *block = record_file_get(ps->db, ref->record->digest, DIGEST_LEN,
                                      pool, &block_len);
  if (!block)
    return vh::Error::createf(vh::FAILURE,
                              _("Cannot read the stored properties of '%s'"),
                              path);
  std::size_t size = 0;
  if (!compress_uncompressed_length({block, block_len}, &size))
    return corrupt(path);
  auto *buf = static_cast<char *>(apr_palloc(pool, size ? size : 1));
  if (!compress_uncompress({block, block_len}, {buf, size}))
    return corrupt(path);

  // Snappy does not notice every damaged byte; the digest does.
  unsigned char digest[APR_MD5_DIGESTSIZE];
  if (apr_md5(digest, buf, size) != APR_SUCCESS ||
      std::memcmp(digest, ref->record->digest, sizeof(digest)) != 0)
    return corrupt(path);

  apr_array_header_t *pairs = apr_array_make(pool, 8, sizeof(void *));
  if (!parse_set({buf, size}, pairs, pool))
    return corrupt(path);
  for (int i = 0; i + 1 < pairs->nelts; i += 2)
    apr_hash_set(props, APR_ARRAY_IDX(pairs, i, const char *),
                 APR_HASH_KEY_STRING,
                 APR_ARRAY_IDX(pairs, i + 1, const svn_string_t *));

  drop_reference(ps, ref);
  return {};
}

void
property_storage_delete(property_storage *ps, const char *path) {
  drop_reference(ps, find_reference(ps, path));
}

vh::Error
property_storage_cleanup(property_storage *ps, apr_pool_t *pool) {
  print_debug("property_storage_cleanup(): %d items in database, "
              "%d references\n",
              static_cast<int>(apr_hash_count(ps->records)),
              static_cast<int>(apr_hash_count(ps->references)));
  if (apr_hash_count(ps->unreferenced) == 0)
    return {};

  apr_array_header_t *removed =
      apr_array_make(pool, static_cast<int>(apr_hash_count(ps->unreferenced)),
                     sizeof(prop_record *));
  int rc = 0;
  for (apr_hash_index_t *hi = apr_hash_first(pool, ps->unreferenced); hi;
       hi = apr_hash_next(hi)) {
    auto *rec = static_cast<prop_record *>(apr_hash_this_val(hi));
    if (rec->refcount >= 1)
      continue;
    apr_hash_set(ps->records, rec->digest, DIGEST_LEN, nullptr);
    if (verbosity >= 3) {
      char hex[2 * APR_MD5_DIGESTSIZE + 1];
      for (int i = 0; i < APR_MD5_DIGESTSIZE; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", rec->digest[i]);
      print_debug("property_storage_cleanup(): removing %s\n", hex);
    }
    APR_ARRAY_PUSH(removed, prop_record *) = rec;
    if (record_file_remove(ps->db, rec->digest, DIGEST_LEN) != 0) {
      print_debug("removal from database failed\n");
      rc = -1;
      break;
    }
  }
  apr_hash_clear(ps->unreferenced);
  if (rc == 0)
    print_debug("property_storage_cleanup(): Cleaned up %d properties\n",
                removed->nelts);
  for (int i = 0; i < removed->nelts; ++i)
    std::free(APR_ARRAY_IDX(removed, i, prop_record *));
  if (rc != 0)
    return vh::Error::createf(vh::FAILURE, "%s",
                              _("Cannot forget unreferenced property sets"));
  return {};
}
