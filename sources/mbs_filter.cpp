#include "mbs_filter.h"

namespace tovaly {

bool HasMbsExtension(std::string_view path)
{
    const auto first = path.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return false;
    const auto last = path.find_last_not_of(' ');
    const std::string_view trimmed = path.substr(first, last - first + 1);
    if (trimmed.size() < 4)
        return false;
    const std::string_view tail = trimmed.substr(trimmed.size() - 4);
    constexpr std::string_view kExtension = ".mbs";
    for (std::size_t i = 0; i < 4; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kExtension[i])
            return false;
    }
    return true;
}

} // namespace tovaly
