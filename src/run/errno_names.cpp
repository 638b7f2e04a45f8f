#include "run/errno_names.hpp"

#include <signal.h>

#include <cstring>
#include <map>

namespace norvik::run {

std::string get_name_for_errno_number(int number) {
    if (number <= 0) return "";
    const char* name = ::strerrorname_np(number);
    return name ? name : "";
}

int get_errno_number_for_name(const std::string& name) {
    static const std::map<std::string, int> table = [] {
        std::map<std::string, int> t;
        for (int i = 1; i < 4096; ++i)
            if (const char* n = ::strerrorname_np(i)) t.emplace(n, i);
        return t;
    }();
    auto it = table.find(name);
    return it == table.end() ? 0 : it->second;
}

std::string strerror_text(int number) {
    char buf[256];
    // GNU strerror_r returns the text (possibly a static one).
    return ::strerror_r(number, buf, sizeof buf);
}

std::string signal_name(int number) {
    if (number <= 0) return "";
    const char* name = ::sigabbrev_np(number);
    if (name) return name;
    if (number >= SIGRTMIN && number <= SIGRTMAX) return "RTMIN+" + std::to_string(number - SIGRTMIN);
    return "";
}

int signal_number(const std::string& name_in) {
    std::string name = name_in.rfind("SIG", 0) == 0 ? name_in.substr(3) : name_in;
    for (int i = 1; i < NSIG; ++i)
        if (signal_name(i) == name) return i;
    return 0;
}

}  // namespace norvik::run
