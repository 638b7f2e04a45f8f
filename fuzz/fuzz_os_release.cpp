// os-release and redhat-release readers: the input becomes both files; the
// first byte picks which ones exist.
#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "os/release_probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::sandbox();
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    namespace os = norvik::os;
    const std::string osr = norvik::foundation::os_release(), rhr = norvik::foundation::redhat_release();
    ::unlink(osr.c_str());
    ::unlink(rhr.c_str());
    if (data[0] & 1) fuzzsupport::put(osr, text);
    if (data[0] & 2) fuzzsupport::put(rhr, text);
    try {
        (void)os::_read_os_release();
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    try {
        (void)os::_read_redhat_release();
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
