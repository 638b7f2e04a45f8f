// Small text helpers every floor needs.
#pragma once

#include <cctype>
#include <string>

namespace norvik::foundation {

// ASCII lower case: names, words and options are never locale-dependent.
inline std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace norvik::foundation
