#include "date_words.h"

#include <chrono>

namespace tovaly::detail {

namespace {

constexpr std::array<const char *, 7> kFullDayNames = {"sunday",   "monday", "tuesday", "wednesday",
                                                       "thursday", "friday", "saturday"};
constexpr std::array<const char *, 12> kFullMonthNames = {"january",   "february", "march",    "april",
                                                          "may",       "june",     "july",     "august",
                                                          "september", "october",  "november", "december"};

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int CurrentYear()
{
    using namespace std::chrono;
    return static_cast<int>(year_month_day{floor<days>(system_clock::now())}.year());
}

} // namespace

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r' || text.front() == '\n'))
        text.remove_prefix(1);
    while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::optional<int> ParseNumber(std::string_view text, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool IsDayName(std::string_view token)
{
    for (std::size_t i = 0; i < kDayNames.size(); ++i) {
        if (EqualsNoCase(token, kDayNames[i]) || EqualsNoCase(token, kFullDayNames[i]))
            return true;
    }
    return false;
}

int MonthFromName(std::string_view token)
{
    for (std::size_t i = 0; i < kMonthNames.size(); ++i) {
        if (EqualsNoCase(token, kMonthNames[i]) || EqualsNoCase(token, kFullMonthNames[i]))
            return static_cast<int>(i) + 1;
    }
    return 0;
}

std::optional<int> ParseTimeOfDay(std::string_view token)
{
    const auto first = token.find(':');
    if (first == std::string_view::npos)
        return std::nullopt;
    const auto second = token.find(':', first + 1);
    const auto hour = ParseNumber(token.substr(0, first), 2);
    const auto minute = ParseNumber(
        token.substr(first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1), 2);
    std::optional<int> secondValue = 0;
    if (second != std::string_view::npos)
        secondValue = ParseNumber(token.substr(second + 1), 2);
    if (!hour || !minute || !secondValue || *hour > 23 || *minute > 59 || *secondValue > 60)
        return std::nullopt;
    return *hour * 3600 + *minute * 60 + *secondValue;
}

std::optional<int> ParseZone(std::string_view token)
{
    if (token.size() == 5 && (token[0] == '+' || token[0] == '-')) {
        const auto hours = ParseNumber(token.substr(1, 2), 2);
        const auto minutes = ParseNumber(token.substr(3, 2), 2);
        if (!hours || !minutes || *minutes > 59)
            return std::nullopt;
        const int offset = *hours * 3600 + *minutes * 60;
        return token[0] == '-' ? -offset : offset;
    }
    if (token.empty() || token.size() > 5)
        return std::nullopt;
    for (char c : token) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
            return std::nullopt;
    }
    struct NamedZone {
        const char *name;
        int hours;
    };
    static constexpr std::array<NamedZone, 8> zones = {
        {{"EST", -5}, {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}}};
    for (const auto &zone : zones) {
        if (EqualsNoCase(token, zone.name))
            return zone.hours * 3600;
    }
    return 0;
}

bool IsCalendarDate(int year, int month, int day)
{
    using namespace std::chrono;
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31)
        return false;
    return year_month_day{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                          std::chrono::day{static_cast<unsigned>(day)}}
        .ok();
}

std::optional<std::int64_t> UnixTimeOf(int year, int month, int day, int secondsOfDay, int zoneOffset)
{
    using namespace std::chrono;
    if (!IsCalendarDate(year, month, day))
        return std::nullopt;
    const sys_days date = std::chrono::year{year} / std::chrono::month{static_cast<unsigned>(month)} /
                          std::chrono::day{static_cast<unsigned>(day)};
    return std::int64_t{date.time_since_epoch().count()} * 86400 + secondsOfDay - zoneOffset;
}

std::vector<Token> SplitTokens(std::string_view text, bool commaSeparates, std::size_t maxTokens)
{
    std::vector<Token> tokens;
    std::size_t i = 0;
    auto separates = [commaSeparates](char c) {
        return IsBlank(c) || c == '\r' || c == '\n' || (commaSeparates && c == ',');
    };
    while (i < text.size() && tokens.size() < maxTokens) {
        while (i < text.size() && separates(text[i]))
            ++i;
        const std::size_t start = i;
        while (i < text.size() && !separates(text[i]))
            ++i;
        if (i > start)
            tokens.push_back({text.substr(start, i - start), start});
    }
    return tokens;
}

int FullYear(int written, std::size_t digits)
{
    if (digits <= 2)
        return written + (written < 50 ? 2000 : 1900);
    if (digits == 3)
        return written + 1900;
    return written;
}

bool Believable(const DateRead &date)
{
    return !date.obsoleteYear || (date.year >= 1970 && date.year <= CurrentYear() + 1);
}

std::optional<std::int64_t> ParseAsctimeAt(const std::vector<Token> &tokens, std::size_t at, DateRead *read)
{
    if (tokens.size() < at + 5 || !IsDayName(tokens[at].text))
        return std::nullopt;
    const int month = MonthFromName(tokens[at + 1].text);
    const auto day = ParseNumber(tokens[at + 2].text, 2);
    const auto time = ParseTimeOfDay(tokens[at + 3].text);
    if (month == 0 || !day || !time)
        return std::nullopt;
    std::size_t yearAt = at + 4;
    int zoneOffset = 0;
    if (!ParseNumber(tokens[yearAt].text, 4)) {
        const auto zone = ParseZone(tokens[yearAt].text);
        if (!zone || tokens.size() < at + 6)
            return std::nullopt;
        zoneOffset = *zone;
        ++yearAt;
    }
    const std::string_view yearText = tokens[yearAt].text;
    auto year = ParseNumber(yearText, 4);
    if (!year || (yearText.size() != 4 && yearText.size() != 2))
        return std::nullopt;
    *year = FullYear(*year, yearText.size());
    const auto unixTime = UnixTimeOf(*year, month, *day, *time, zoneOffset);
    if (unixTime && read)
        *read = DateRead{*unixTime, *year, yearText.size() != 4};
    return unixTime;
}

} // namespace tovaly::detail
