#pragma once
// What a fuzz target prints when a property breaks, before it aborts so
// libFuzzer keeps the input: the property and the inputs, every byte that is
// not printable ASCII written as \xNN.

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace tovaly::fuzz {

inline std::string Printable(std::string_view text, std::size_t limit = 600)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out.push_back(static_cast<char>(byte));
        } else {
            out += "\\x";
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        }
    }
    if (text.size() > limit)
        out += "... (" + std::to_string(text.size()) + " bytes)";
    return out;
}

using Field = std::pair<const char *, std::string_view>;

inline void Require(bool condition, const char *property, std::initializer_list<Field> fields)
{
    if (condition)
        return;
    std::fprintf(stderr, "property broken: %s\n", property);
    for (const Field &field : fields)
        std::fprintf(stderr, "  %s: %s\n", field.first, Printable(field.second).c_str());
    std::abort();
}

} // namespace tovaly::fuzz
