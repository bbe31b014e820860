#include "utf8_path.h"

#include <cerrno>
#include <cstdint>

namespace tovaly {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string &out, char32_t c)
{
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
        return;
    }
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace

std::u16string Utf16FromUtf8(std::string_view utf8, bool *valid)
{
    std::u16string out;
    out.reserve(utf8.size());
    bool ok = true;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out.push_back(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        char32_t c = 0;
        char32_t least = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            c = lead & 0x1F;
            least = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            c = lead & 0x0F;
            least = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            c = lead & 0x07;
            least = 0x10000;
        }
        std::size_t taken = 1;
        while (length > 0 && taken < length && i + taken < utf8.size() &&
               (static_cast<unsigned char>(utf8[i + taken]) & 0xC0) == 0x80) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i + taken]) & 0x3F);
            ++taken;
        }
        if (length == 0 || taken < length || c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            // One replacement per byte that cannot start a character here.
            ok = false;
            out.push_back(static_cast<char16_t>(kReplacement));
            ++i;
            continue;
        }
        AppendUtf16(out, c);
        i += length;
    }
    if (valid)
        *valid = ok;
    return out;
}

std::string Utf8FromUtf16(std::u16string_view utf16, bool *valid)
{
    std::string out;
    out.reserve(utf16.size() * 3 / 2);
    bool ok = true;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            ok = false;
            c = kReplacement;
        }
        AppendUtf8(out, c);
    }
    if (valid)
        *valid = ok;
    return out;
}

std::filesystem::path PathFromUtf8(std::string_view utf8)
{
#ifdef _WIN32
    const std::u16string wide = Utf16FromUtf8(utf8);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
#else
    return std::filesystem::path(std::string(utf8));
#endif
}

std::string Utf8FromPath(const std::filesystem::path &path)
{
#ifdef _WIN32
    const std::wstring &wide = path.native();
    return Utf8FromUtf16(std::u16string(wide.begin(), wide.end()));
#else
    return path.native();
#endif
}

std::FILE *OpenUtf8File(const std::string &path, const char *mode)
{
#ifdef _WIN32
    bool valid = true;
    const std::u16string wide = Utf16FromUtf8(path, &valid);
    if (!valid || wide.find(u'\0') != std::u16string::npos) {
        errno = EINVAL;
        return nullptr;
    }
    const std::u16string wideMode = Utf16FromUtf8(mode);
    return _wfopen(reinterpret_cast<const wchar_t *>(wide.c_str()),
                   reinterpret_cast<const wchar_t *>(wideMode.c_str()));
#else
    return std::fopen(path.c_str(), mode);
#endif
}

} // namespace tovaly
