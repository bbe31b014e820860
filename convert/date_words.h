#pragma once
// The words dates and envelope lines are written in, as the header reader
// and the envelope-line reader both read them: day and month names, times
// of day, zones, years, and the few character classes they need. Internal
// to the conversion core.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tovaly::detail {

// Real header fields are far shorter. A longer one is not read (an address
// list only as far as its mailboxes fit), so hostile input never reaches
// GMime, whose allocation failures end the process, nor fills memory.
inline constexpr std::size_t kMaxFieldBytes = 16 * 1024;
// Only the first fields of an envelope line matter: the sender (a few words
// at most) and an asctime date of five or six fields.
inline constexpr std::size_t kMaxEnvelopeTokens = 32;

inline constexpr std::array<const char *, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
inline constexpr std::array<const char *, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool EqualsNoCase(std::string_view a, std::string_view b);

inline bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

inline bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Without blanks and line ends at either end.
std::string_view Trim(std::string_view text);

// Digits only, at most `maxDigits` of them.
std::optional<int> ParseNumber(std::string_view text, std::size_t maxDigits);

// "Mon" or "Monday" in any case.
bool IsDayName(std::string_view token);
// 1 to 12 for "Jan" or "January" in any case, else 0.
int MonthFromName(std::string_view token);
// "hh:mm" or "hh:mm:ss" as seconds after midnight.
std::optional<int> ParseTimeOfDay(std::string_view token);
// A zone token as its offset east of UTC in seconds. Zone names other than
// the few of RFC 822 are ambiguous and are read as UTC.
std::optional<int> ParseZone(std::string_view token);

// True for a real date of the years 1 to 9999.
bool IsCalendarDate(int year, int month, int day);
// The Unix time of a date, a time of day and a zone offset; nothing for a
// date that is not on the calendar.
std::optional<std::int64_t> UnixTimeOf(int year, int month, int day, int secondsOfDay, int zoneOffset);

struct Token {
    std::string_view text;
    std::size_t offset; // in the text that was split
};

// The first `maxTokens` tokens of `text`.
std::vector<Token> SplitTokens(std::string_view text, bool commaSeparates, std::size_t maxTokens = kMaxEnvelopeTokens);

// A date read from text, with what is needed to judge its year.
struct DateRead {
    std::int64_t unixTime = 0;
    int year = 0;              // as written, in full
    bool obsoleteYear = false; // written with fewer than four digits
};

// A year written with `digits` digits, read as RFC 5322 reads it: two digits
// (or one) are 1950 to 2049, three digits are 1900 and the number.
int FullYear(int written, std::size_t digits);

// A year written in full is taken as it is. One written short is a guess,
// believed only from 1970 to next year; otherwise the next date source
// decides.
bool Believable(const DateRead &date);

// asctime date "Www Mmm dd hh:mm[:ss] [zone] yyyy" starting at tokens[at].
// `read`, when given, receives the year as written.
std::optional<std::int64_t> ParseAsctimeAt(const std::vector<Token> &tokens, std::size_t at, DateRead *read = nullptr);

} // namespace tovaly::detail
