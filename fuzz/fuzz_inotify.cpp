// Decoding of inotify event records.
#include "FuzzCommon.hpp"
#include "foundation/Inotify.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto events = norvik::Inotify::decode(reinterpret_cast<const char*>(data), size);
    for (auto& e : events) (void)e.has("MODIFY");
    return 0;
}
