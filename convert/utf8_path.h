#pragma once
// Paths are UTF-8 everywhere inside the program. Windows names files in
// UTF-16, so every path crosses over at the system call: these turn one
// form into the other without throwing, and make std::filesystem paths
// from UTF-8 text and back (on POSIX systems the bytes pass unchanged).

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace tovaly {

/// `utf8` as UTF-16. A byte that does not start or continue a well-formed
/// UTF-8 sequence (overlong forms, surrogates and values past U+10FFFF
/// included) becomes U+FFFD, and `valid`, when given, is set to false.
std::u16string Utf16FromUtf8(std::string_view utf8, bool *valid = nullptr);

/// `utf16` as UTF-8. A surrogate without its partner becomes U+FFFD, and
/// `valid`, when given, is set to false.
std::string Utf8FromUtf16(std::u16string_view utf16, bool *valid = nullptr);

/// A file-system path from UTF-8 text (Windows: converted to UTF-16).
std::filesystem::path PathFromUtf8(std::string_view utf8);

/// A file-system path as UTF-8 text (Windows: converted from UTF-16).
std::string Utf8FromPath(const std::filesystem::path &path);

/// std::fopen for a UTF-8 path (Windows: _wfopen with its UTF-16 form).
std::FILE *OpenUtf8File(const std::string &path, const char *mode);

} // namespace tovaly
