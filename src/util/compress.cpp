#include "util/compress.h"

#include <snappy-c.h>

std::size_t
compress_bound(std::size_t n) {
  return snappy_max_compressed_length(n);
}

std::size_t
compress_block(std::span<const char> in, std::span<char> out) {
  std::size_t length = out.size();
  if (length < compress_bound(in.size()) ||
      snappy_compress(in.data(), in.size(), out.data(), &length) != SNAPPY_OK)
    return 0;
  return length;
}

bool
compress_uncompressed_length(std::span<const char> block, std::size_t *length) {
  return snappy_uncompressed_length(block.data(), block.size(), length) ==
         SNAPPY_OK;
}

bool
compress_uncompress(std::span<const char> block, std::span<char> out) {
  std::size_t expected = 0;
  if (!compress_uncompressed_length(block, &expected) || expected != out.size())
    return false;
  std::size_t length = out.size();
  return snappy_uncompress(block.data(), block.size(), out.data(), &length) ==
             SNAPPY_OK &&
         length == out.size();
}
