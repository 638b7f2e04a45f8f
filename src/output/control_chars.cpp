#include "output/control_chars.hpp"

namespace norvik::output {
namespace {

void append_escaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 15];
}

// Length of the valid UTF-8 sequence at text[i], or 0. Overlong forms,
// surrogates and code points above U+10FFFF are not valid.
size_t utf8_length(std::string_view text, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = at(i);
    size_t len;
    unsigned char lo = 0x80, hi = 0xbf;  // bounds of the second byte
    if (c >= 0xc2 && c <= 0xdf) len = 2;
    else if (c >= 0xe0 && c <= 0xef) {
        len = 3;
        if (c == 0xe0) lo = 0xa0;
        if (c == 0xed) hi = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        len = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;
    } else {
        return 0;
    }
    if (i + len > text.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k)
        if ((at(i + k) & 0xc0) != 0x80) return 0;
    return len;
}

}  // namespace

std::string replace_control_characters(std::string_view text, bool keep_newlines) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t' && !(c == '\n' && keep_newlines)) || c == 0x7f) append_escaped(out, c);
            else out += static_cast<char>(c);
            ++i;
            continue;
        }
        const size_t len = utf8_length(text, i);
        if (len == 0) {
            append_escaped(out, c);
            ++i;
        } else if (len == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0) {
            // U+0080..U+009F: the C1 controls, CSI among them.
            append_escaped(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else {
            out.append(text.substr(i, len));
            i += len;
        }
    }
    return out;
}

}  // namespace norvik::output
