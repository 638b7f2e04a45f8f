// dpkg-query and rpm output parsers: a stand-in tool (a tiny script that
// prints a file) answers with the input.
#include <sys/stat.h>

#include "FuzzCommon.hpp"
#include "exception/Exception.hpp"
#include "pkgr/Binaries_Rpm.hpp"
#include "pkgr/Pkgr_Apt.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string tool = [] {
        std::string t = fuzzsupport::sandbox() + "/tool";
        fuzzsupport::put(t, "#!/bin/sh\nexec cat " + fuzzsupport::sandbox() + "/out\n");
        ::chmod(t.c_str(), 0755);
        return t;
    }();
    fuzzsupport::put(fuzzsupport::sandbox() + "/out", std::string(reinterpret_cast<const char*>(data), size));
    norvik::binaries::role::CmdOptions opt;
    opt.bin = tool;
    try {
        norvik::pkgr::Apt apt({}, opt);
        (void)apt.installed_packages({"a", "b"});
        (void)apt.is_installed("a");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    try {
        norvik::binaries::Rpm rpm(opt);
        (void)rpm.get_version({"a"});
        (void)rpm.has_rpm("a");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {
    }
    return 0;
}
