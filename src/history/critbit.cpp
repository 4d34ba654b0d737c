// Crit-bit tree over NUL-terminated strings; see critbit.h.
#include "history/critbit.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t ALIGNMENT = sizeof(void *);

void *
default_alloc(std::size_t alignment, std::size_t size, void *) {
  void *mem = nullptr;
  if (posix_memalign(&mem, alignment, size) != 0)
    return nullptr;
  return mem;
}

void
default_dealloc(void *mem, void *) {
  std::free(mem);
}

bool
is_node(const void *ref) {
  return (reinterpret_cast<std::uintptr_t>(ref) & 1) != 0;
}

critbit_node *
to_node(void *ref) {
  return reinterpret_cast<critbit_node *>(
      reinterpret_cast<std::uintptr_t>(ref) - 1);
}

void *
tag_node(critbit_node *node) {
  return reinterpret_cast<void *>(reinterpret_cast<std::uintptr_t>(node) + 1);
}

// Which child of `node` the string of length `len` belongs to: 1 exactly
// when its critical byte has the critical bit set (bytes past the end of
// the string count as 0).
int
direction(const critbit_node *node, const unsigned char *str, std::size_t len) {
  std::uint8_t c = node->byte < len ? str[node->byte] : 0;
  return (1 + (node->otherbits | c)) >> 8;
}

// The only leaf that can equal `str`.
const char *
best_leaf(void *ref, const unsigned char *str, std::size_t len) {
  while (is_node(ref)) {
    critbit_node *node = to_node(ref);
    ref = node->child[direction(node, str, len)];
  }
  return static_cast<const char *>(ref);
}

void
release_subtree(critbit_tree *tree, void *ref) {
  if (is_node(ref)) {
    critbit_node *node = to_node(ref);
    release_subtree(tree, node->child[0]);
    release_subtree(tree, node->child[1]);
    tree->dealloc(node, tree->user_data);
  } else {
    tree->dealloc(ref, tree->user_data);
  }
}

int
visit_in_order(void *ref, critbit_walk_fn callback, void *data) {
  if (is_node(ref)) {
    critbit_node *node = to_node(ref);
    int rc = visit_in_order(node->child[0], callback, data);
    if (rc != 0)
      return rc;
    return visit_in_order(node->child[1], callback, data);
  }
  return callback(static_cast<const char *>(ref), data);
}

char *
copy_string(critbit_tree *tree, const char *str, std::size_t len) {
  char *copy =
      static_cast<char *>(tree->alloc(ALIGNMENT, len + 1, tree->user_data));
  if (copy)
    std::memcpy(copy, str, len + 1);
  return copy;
}

} // namespace

void
critbit_init(critbit_tree *tree) {
  tree->root = nullptr;
  tree->alloc = default_alloc;
  tree->dealloc = default_dealloc;
  tree->user_data = nullptr;
}

int
critbit_contains(const critbit_tree *tree, const char *str) {
  if (!tree->root)
    return 0;
  const auto *ustr = reinterpret_cast<const unsigned char *>(str);
  return std::strcmp(best_leaf(tree->root, ustr, std::strlen(str)), str) == 0
             ? 1
             : 0;
}

critbit_insertion
critbit_insert(critbit_tree *tree, const char *str) {
  const auto *ustr = reinterpret_cast<const unsigned char *>(str);
  std::size_t len = std::strlen(str);

  if (!tree->root) {
    char *copy = copy_string(tree, str, len);
    if (!copy)
      return CRITBIT_NO_MEMORY;
    tree->root = copy;
    return CRITBIT_INSERTED;
  }

  const auto *leaf =
      reinterpret_cast<const unsigned char *>(best_leaf(tree->root, ustr, len));

  // The first differing byte; when `str` is a prefix of the leaf, the
  // leaf's byte after it differs from the NUL of `str`.
  std::size_t newbyte = 0;
  while (newbyte < len && leaf[newbyte] == ustr[newbyte])
    ++newbyte;
  std::uint32_t newotherbits;
  if (newbyte < len)
    newotherbits = leaf[newbyte] ^ ustr[newbyte];
  else if (leaf[newbyte] == 0)
    return CRITBIT_PRESENT;
  else
    newotherbits = leaf[newbyte];

  // Keep only the highest differing bit, then invert it.
  newotherbits |= newotherbits >> 1;
  newotherbits |= newotherbits >> 2;
  newotherbits |= newotherbits >> 4;
  newotherbits = (newotherbits & ~(newotherbits >> 1)) ^ 255;
  int newdirection = (1 + (newotherbits | leaf[newbyte])) >> 8;

  auto *node = static_cast<critbit_node *>(
      tree->alloc(ALIGNMENT, sizeof(critbit_node), tree->user_data));
  if (!node)
    return CRITBIT_NO_MEMORY;
  char *copy = copy_string(tree, str, len);
  if (!copy) {
    tree->dealloc(node, tree->user_data);
    return CRITBIT_NO_MEMORY;
  }
  node->byte = static_cast<std::uint32_t>(newbyte);
  node->otherbits = static_cast<std::uint8_t>(newotherbits);
  node->child[1 - newdirection] = copy;

  // The new node goes above the first node whose critical bit comes after
  // the new one (a larger byte index, or the same byte and a lower bit).
  void **where = &tree->root;
  while (is_node(*where)) {
    critbit_node *q = to_node(*where);
    if (q->byte > newbyte)
      break;
    if (q->byte == newbyte && q->otherbits > newotherbits)
      break;
    where = &q->child[direction(q, ustr, len)];
  }
  node->child[newdirection] = *where;
  *where = tag_node(node);
  return CRITBIT_INSERTED;
}

int
critbit_delete(critbit_tree *tree, const char *str) {
  if (!tree->root)
    return 1;
  const auto *ustr = reinterpret_cast<const unsigned char *>(str);
  std::size_t len = std::strlen(str);

  void **where = &tree->root;
  void **where_parent = nullptr;
  critbit_node *parent = nullptr;
  int dir = 0;
  while (is_node(*where)) {
    where_parent = where;
    parent = to_node(*where);
    dir = direction(parent, ustr, len);
    where = &parent->child[dir];
  }
  if (std::strcmp(static_cast<const char *>(*where), str) != 0)
    return 1;

  tree->dealloc(*where, tree->user_data);
  if (!parent) {
    tree->root = nullptr;
    return 0;
  }
  *where_parent = parent->child[1 - dir];
  tree->dealloc(parent, tree->user_data);
  return 0;
}

void
critbit_clear(critbit_tree *tree) {
  if (tree->root)
    release_subtree(tree, tree->root);
  tree->root = nullptr;
}

int
critbit_walk_prefix(const critbit_tree *tree, const char *prefix,
                    critbit_walk_fn callback, void *data) {
  if (!tree->root)
    return 0;
  const auto *uprefix = reinterpret_cast<const unsigned char *>(prefix);
  std::size_t len = std::strlen(prefix);

  // `top` ends at the highest node below which every string shares the
  // prefix's bytes, if any string does.
  void *ref = tree->root;
  void *top = ref;
  while (is_node(ref)) {
    critbit_node *node = to_node(ref);
    ref = node->child[direction(node, uprefix, len)];
    if (node->byte < len)
      top = ref;
  }
  if (std::strncmp(static_cast<const char *>(ref), prefix, len) != 0)
    return 0;
  return visit_in_order(top, callback, data);
}
