// Crit-bit tree: a set of NUL-terminated strings kept as a radix tree over
// bits, in which each internal node records the first bit at which the
// strings of its two subtrees differ.
//
// The path repository keeps one tree for the current dumped tree and one per
// slot of its cache of past revisions. A tree owns every string and node
// reachable from `root`: strings are stored as heap copies (length + 1 bytes,
// 8-byte aligned) and there is no separate leaf record. A reference is either
// the address of such a string, or the address of a `critbit_node` plus 1;
// the alignment of 8 leaves the lowest bit free to tell them apart.
//
// An in-order walk yields the strings in ascending order of unsigned bytes,
// a string before every longer string that begins with it. Nothing here is
// thread-safe; a tree is used by one owner at a time.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>

// Allocator of a tree: `alloc` returns `size` bytes aligned to `alignment`
// or nullptr; `dealloc` releases what `alloc` returned.
using critbit_alloc_fn = void *(*)(std::size_t alignment, std::size_t size,
                                   void *user_data);
using critbit_dealloc_fn = void (*)(void *mem, void *user_data);

// Internal node. Child 0 holds the strings whose critical bit is clear.
struct critbit_node {
  void *child[2];         // tagged references
  std::uint32_t byte;     // index of the critical byte
  std::uint8_t otherbits; // every bit set but the critical bit
};

// The tree itself, a plain record embedded in its owner. `root` is nullptr
// for the empty set, else a tagged reference.
struct critbit_tree {
  void *root;
  critbit_alloc_fn alloc;
  critbit_dealloc_fn dealloc;
  void *user_data;
};

// Called by `critbit_walk_prefix` with each stored string and the callback
// data; a nonzero result stops the walk. The string belongs to the tree: it
// must not be changed and is valid only until the tree is next modified.
using critbit_walk_fn = int (*)(const char *str, void *data);

// Prepares an empty tree with the default allocator (posix_memalign and
// free, no user data). Does not release anything the tree held before.
void critbit_init(critbit_tree *tree);

// Returns 1 when `str` is in the set, else 0 (0 for an empty tree).
int critbit_contains(const critbit_tree *tree, const char *str);

// The three results of `critbit_insert`.
enum critbit_insertion : int {
  CRITBIT_INSERTED = 0,
  CRITBIT_PRESENT = 1,
  CRITBIT_NO_MEMORY = ENOMEM,
};

// Adds a copy of `str`. Returns CRITBIT_INSERTED when inserted,
// CRITBIT_PRESENT when it was already present, CRITBIT_NO_MEMORY when an
// allocation failed; the tree is unchanged in both latter cases. Allocates
// exactly one node and one string copy.
critbit_insertion critbit_insert(critbit_tree *tree, const char *str);

// Removes `str` and releases its copy and one node. Returns 0 when removed,
// 1 when the tree is empty or does not hold `str`.
int critbit_delete(critbit_tree *tree, const char *str);

// Removes every string and releases all memory; the tree is empty afterwards
// and can be reused.
void critbit_clear(critbit_tree *tree);

// Calls `callback` with each stored string that begins with `prefix`
// (byte-wise: prefix "a" matches "ab" too; callers that care about path
// components filter), in ascending order. The empty prefix visits every
// string. Returns 0 when every call returned 0 or nothing was visited, else
// the first nonzero result, at which point the walk stops. Touches only the
// subtree of matching strings; allocates nothing.
int critbit_walk_prefix(const critbit_tree *tree, const char *prefix,
                        critbit_walk_fn callback, void *data);

// Returns true when the tree holds no string.
inline bool
critbit_empty(const critbit_tree *tree) {
  return tree->root == nullptr;
}
