// Raw descriptor reads used by the whole-file readers: interrupted calls are
// retried, anything else raises.
#pragma once

#include <cstddef>
#include <string>

namespace norvik::foundation {

inline constexpr std::size_t READ_FAST_CHUNK = 262144;

// One read of up to `length` bytes into `buffer` at `offset` (the buffer is
// grown as needed and cut back to offset + bytes read). Returns bytes read.
std::size_t read_fast(int fd, std::string& buffer, std::size_t length, std::size_t offset = 0);

// Appends READ_CHUNK-sized reads to `buffer` until end of file.
void read_all_fast(int fd, std::string& buffer);

}  // namespace norvik::foundation
