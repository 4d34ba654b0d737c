// The revision map: the log entries of the dump in dump order, and the
// translation between the repository's revision numbers and the dump's own
// (local) numbers.
//
// For a dump of a subdirectory the list starts with a placeholder entry for
// revision 0, the empty state before the subtree existed, so that the index
// of an entry is its local number. A whole-repository dump that starts above
// revision 0 numbers its first entry 1. With --keep-revnums the local number
// of every revision is the repository's own.
//
// Only the `revision` of an earlier entry is read: the driver drops the rest
// of an entry once its revision has been dumped. The map lives in the pool
// given at creation; the driver owns it.
#pragma once

#include "repos/log.h"

#include <apr_pools.h>
#include <apr_tables.h>
#include <svn_types.h>

struct revision_map {
  apr_array_header_t *logs = nullptr; // of log_revision, in dump order
  bool subtree = false;       // entry 0 is the placeholder for revision 0
  bool keep_revnums = false;  // local numbers are the repository's
};

// A map with no entries but, for a subtree, the placeholder; in `pool`.
revision_map *revision_map_make(apr_pool_t *pool, bool subtree,
                                bool keep_revnums);

// Number of entries, the placeholder included.
int revision_map_count(const revision_map *map);

// The entry at `index` (0 <= index < count).
log_revision *revision_map_at(const revision_map *map, int index);

// Appends a copy of `entry` and returns its index.
int revision_map_append(revision_map *map, const log_revision &entry);

// Index of the first real entry: 1 for a subtree (after the placeholder),
// else 0.
int revision_map_first_index(const revision_map *map);

// Whether the entry at `index` is the first real one of the map: the
// revision that opens the run and is diffed against an empty tree.
bool revision_map_starts_run(const revision_map *map, int index);

// The repository revision of the first revision that the dump holds, or
// `start` when it lies after it (or the map has no real entry yet).
svn_revnum_t revision_map_first_dumped(const revision_map *map,
                                       svn_revnum_t start);

// Translates the repository revision `rev` into the dump's numbering, as the
// dump stood when the entry at `current` was being dumped: with
// --keep-revnums `rev` itself; otherwise the local number of the latest entry
// before `current` whose revision is not above `rev`. Negative when no entry
// qualifies. `current` defaults to the last entry.
svn_revnum_t revision_map_local_of(const revision_map *map, svn_revnum_t rev,
                                   int current = -1);

// The index of the last entry at or below the repository revision `rev`, or
// the last index when none is.
int revision_map_index_at(const revision_map *map, svn_revnum_t rev);
