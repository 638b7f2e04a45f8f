// Decoding of inotify event records. A read can end inside a record (and a
// fuzzed length can point past the end): decoding stays inside the buffer,
// gives at most one event per 16-byte header and names without trailing NULs.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "foundation/inotify.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto events = norvik::foundation::Inotify::decode(reinterpret_cast<const char*>(data), size);
    if (events.size() > size / 16) std::abort();
    size_t names = 0;
    for (auto& e : events) {
        names += e.name.size();
        if (!e.name.empty() && e.name.back() == '\0') std::abort();
        for (auto& f : e.flags)
            if (!e.has(f)) std::abort();
    }
    if (names + 16 * events.size() > size) std::abort();
    return 0;
}
