#pragma once
// The line ends a mailbox is written with, and the one loop every reader of
// message text runs most: finding where a line ends.

#include <bit>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tovaly {

/// How the lines of a mailbox end: every line of a record (its From line,
/// each line of the message, whatever the source ended it with, and the
/// closing empty line) ends the same way.
enum class LineEnds {
    Lf,   ///< LF alone, as mail tools on Linux and macOS keep mbox files
    CrLf, ///< CR LF, the text line end of Windows
};

/// The line ends of the platform the program runs on.
#if defined(_WIN32)
inline constexpr LineEnds kNativeLineEnds = LineEnds::CrLf;
#else
inline constexpr LineEnds kNativeLineEnds = LineEnds::Lf;
#endif

/// The bytes of one line end.
constexpr std::string_view LineEndText(LineEnds lineEnds)
{
    return lineEnds == LineEnds::CrLf ? std::string_view("\r\n") : std::string_view("\n");
}

/// The first CR or LF in [p, end), or `end`.
inline const char *FindLineEnd(const char *p, const char *end)
{
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const auto mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, cr), _mm_cmpeq_epi8(bytes, lf))));
        if (mask != 0)
            return p + std::countr_zero(mask);
        p += 16;
    }
#endif
    while (p < end && *p != '\r' && *p != '\n')
        ++p;
    return p;
}

} // namespace tovaly
