// The classifier that colours a service's log and startup lines (error,
// warning or plain) before they are shown. Lines are whatever a daemon
// wrote. Each line gets exactly one of the three kinds.
#include <cstdlib>

#include "FuzzCommon.hpp"
#include "output/output.hpp"

namespace {
// Keeps the rendered records out of the fuzzer's output.
class Quiet : public norvik::Output {
public:
    int rendered = 0;
    void render_record(const nlohmann::json&) override { ++rendered; }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string msg(reinterpret_cast<const char*>(data), size);
    Quiet out;
    std::string kind = out.output_highlighted_message(msg);
    if (kind != norvik::output::TYPE_ERROR && kind != norvik::output::TYPE_WARN && kind != norvik::output::TYPE_OUT)
        std::abort();
    return 0;
}
