// dpkg-query and rpm output parsers: a stand-in tool (fuzz/tool_replay, no
// shell) answers every query with the input after its first byte; the first
// byte is the tool's exit status.
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#include "FuzzCommon.hpp"
#include "exception/exception.hpp"
#include "pkgr/rpm.hpp"
#include "pkgr/apt.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string tool = [] {
        char self[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) std::abort();
        std::string dir(self, static_cast<size_t>(n));
        dir.erase(dir.rfind('/'));
        std::string t = fuzzsupport::sandbox() + "/tool";
        if (::symlink((dir + "/tool_replay").c_str(), t.c_str()) != 0) std::abort();
        return t;
    }();
    if (size == 0) return 0;
    fuzzsupport::put(tool + ".rc", std::to_string(data[0] % 3));
    fuzzsupport::put(tool + ".out", std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    norvik::pkgr::CmdOptions opt;
    opt.bin = tool;
    try {
        norvik::pkgr::BaseOptions bo;
        bo.with_arch_suffix = data[0] & 4;
        norvik::pkgr::Apt apt(bo, opt);
        auto got = apt.installed_packages({"a", "b"});
        for (auto& [name, version] : got)
            if (name.empty() || !version || version->empty()) std::abort();
        (void)apt.is_installed("a");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    try {
        norvik::pkgr::Rpm rpm(opt);
        (void)rpm.get_version({"a"});
        (void)rpm.has_rpm("a");
    } catch (const norvik::PlainError&) {
    } catch (const norvik::Exception&) {}
    return 0;
}
