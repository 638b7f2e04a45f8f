#include "output/fmt.hpp"

namespace norvik::output {

std::string fixed_length(const std::string& text, std::size_t length, int align) {
    std::size_t chars = 0;
    std::size_t i = 0;
    while (i < text.size() && chars < length) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t step = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 1;
        // A truncated sequence at the end counts as what is there.
        if (i + step > text.size()) step = text.size() - i;
        i += step;
        ++chars;
    }
    std::string cut = text.substr(0, i);
    std::string pad(length - chars, ' ');
    return align == ALIGN_RIGHT ? pad + cut : cut + pad;
}

}  // namespace norvik::output
