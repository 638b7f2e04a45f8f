#include "run/saferun_errors.hpp"

#include "run/saferun_simple.hpp"

namespace norvik::run {
namespace {
std::vector<std::string> lines_of(const std::optional<std::string>& out) {
    return out ? split_lines(*out) : std::vector<std::string>{};
}
}  // namespace

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

std::optional<std::string> saferunallerrors_text(const std::vector<std::string>& c) {
    return _saferun_r(c, MERGE_STDERR);
}
std::optional<std::string> saferunnoerror_text(const std::vector<std::string>& c) { return _saferun_r(c, NULL_STDERR); }
std::optional<std::string> saferunonlyerrors_text(const std::vector<std::string>& c) {
    return _saferun_r(c, NULL_STDOUT);
}
std::vector<std::string> saferunallerrors_lines(const std::vector<std::string>& c) {
    return lines_of(saferunallerrors_text(c));
}
std::vector<std::string> saferunnoerror_lines(const std::vector<std::string>& c) {
    return lines_of(saferunnoerror_text(c));
}
std::vector<std::string> saferunonlyerrors_lines(const std::vector<std::string>& c) {
    return lines_of(saferunonlyerrors_text(c));
}

}  // namespace norvik::run
