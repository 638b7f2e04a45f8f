#include "foundation/read_fast.hpp"

#include <unistd.h>

#include <cerrno>

#include "foundation/io_error.hpp"

namespace norvik::foundation {

std::size_t read_fast(int fd, std::string& buffer, std::size_t length, std::size_t offset) {
    buffer.resize(offset + length);
    for (;;) {
        ssize_t n = ::read(fd, buffer.data() + offset, length);
        if (n >= 0) {
            buffer.resize(offset + static_cast<std::size_t>(n));
            return static_cast<std::size_t>(n);
        }
        if (errno == EINTR) continue;
        int err = errno;
        buffer.resize(offset);
        foundation::raise_io_error("IO::FileReadError", "The system failed to read from a file handle: [_1]",
                                   {foundation::error_text(err)}, nlohmann::json::object(), err);
    }
}

void read_all_fast(int fd, std::string& buffer) {
    while (read_fast(fd, buffer, READ_FAST_CHUNK, buffer.size()) > 0) {}
}

}  // namespace norvik::foundation
