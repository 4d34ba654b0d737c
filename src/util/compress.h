// Snappy raw-block compression for the records of the two database files
// ("paths.db", "props.db"). Debian's snappy keeps no working state between
// calls, so these are plain functions over spans.
#pragma once

#include <cstddef>
#include <span>

// The size an output buffer needs to hold the compressed form of `n` bytes
// (32 + n + n/6).
std::size_t compress_bound(std::size_t n);

// Compresses `in` into `out`, which must hold at least
// compress_bound(in.size()) bytes. Returns the compressed size, or 0 on
// failure (a compressed block is never empty).
std::size_t compress_block(std::span<const char> in, std::span<char> out);

// Reads the uncompressed length from the block's header into *length.
// Returns false when the header is invalid.
bool compress_uncompressed_length(std::span<const char> block,
                                  std::size_t *length);

// Uncompresses `block` into `out`, whose size must be exactly the
// block's uncompressed length. Returns false when the block is invalid or
// does not fit.
bool compress_uncompress(std::span<const char> block, std::span<char> out);
