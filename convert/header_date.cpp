#include "header_date.h"

#include "gmime_setup.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <array>
#include <string>

namespace tovaly::detail {

namespace {

// The zone names GMime reads, with their offsets east of UTC in hours; it
// reads them in capitals only.
struct NamedZone {
    std::string_view name;
    int hours;
};
constexpr std::array<NamedZone, 12> kZoneNames = {{{"GMT", 0},
                                                   {"UTC", 0},
                                                   {"UT", 0},
                                                   {"Z", 0},
                                                   {"EST", -5},
                                                   {"EDT", -4},
                                                   {"CST", -6},
                                                   {"CDT", -5},
                                                   {"MST", -7},
                                                   {"MDT", -6},
                                                   {"PST", -8},
                                                   {"PDT", -7}}};

} // namespace

std::optional<DateRead> HandHeaderDate(std::string_view value)
{
    std::size_t i = 0;
    const auto blanks = [&] {
        const std::size_t start = i;
        while (i < value.size() && IsBlank(value[i]))
            ++i;
        return i > start;
    };
    const auto digits = [&](std::size_t count) -> std::optional<int> {
        if (value.size() - i < count)
            return std::nullopt;
        const auto number = ParseNumber(value.substr(i, count), count);
        if (number)
            i += count;
        return number;
    };
    const auto exactly = [&](std::string_view word) {
        if (value.substr(i, word.size()) != word)
            return false;
        i += word.size();
        return true;
    };
    const auto lineEnds = [&] {
        while (i < value.size() && (value[i] == '\r' || value[i] == '\n'))
            ++i;
    };

    (void)blanks();
    if (value.size() - i >= 4 && value[i + 3] == ',') {
        if (std::find(kDayNames.begin(), kDayNames.end(), value.substr(i, 3)) == kDayNames.end())
            return std::nullopt;
        i += 4;
        if (!blanks())
            return std::nullopt;
    }
    const std::size_t dayDigits = i + 1 < value.size() && IsDigit(value[i + 1]) ? 2 : 1;
    const auto day = digits(dayDigits);
    if (!day || !blanks() || value.size() - i < 3)
        return std::nullopt;
    const auto monthName = std::find(kMonthNames.begin(), kMonthNames.end(), value.substr(i, 3));
    if (monthName == kMonthNames.end())
        return std::nullopt;
    const int month = static_cast<int>(monthName - kMonthNames.begin()) + 1;
    i += 3;
    if (!blanks())
        return std::nullopt;
    std::size_t yearDigits = 0;
    while (yearDigits < 5 && i + yearDigits < value.size() && IsDigit(value[i + yearDigits]))
        ++yearDigits;
    if (yearDigits < 2 || yearDigits > 4)
        return std::nullopt;
    auto year = digits(yearDigits);
    if (!year || !blanks())
        return std::nullopt;
    *year = FullYear(*year, yearDigits);
    const auto hour = digits(i + 1 < value.size() && value[i + 1] == ':' ? 1 : 2);
    if (!hour || !exactly(":"))
        return std::nullopt;
    const auto minute = digits(2);
    std::optional<int> second = 0;
    if (minute && exactly(":"))
        second = digits(2);
    if (!minute || !second)
        return std::nullopt;
    const bool spaced = blanks();
    lineEnds();
    int zoneOffset = 0; // none given: UTC
    if (i < value.size()) {
        if (!spaced)
            return std::nullopt;
        if (value[i] == '+' || value[i] == '-') {
            const bool west = value[i] == '-';
            ++i;
            const auto zoneHours = digits(2);
            const auto zoneMinutes = digits(2);
            if (!zoneHours || !zoneMinutes || *zoneHours > 23 || *zoneMinutes > 59)
                return std::nullopt;
            zoneOffset = (*zoneHours * 3600 + *zoneMinutes * 60) * (west ? -1 : 1);
        } else {
            std::size_t end = i;
            while (end < value.size() && value[end] >= 'A' && value[end] <= 'Z')
                ++end;
            const std::string_view name = value.substr(i, end - i);
            const auto zone = std::find_if(kZoneNames.begin(), kZoneNames.end(),
                                           [name](const NamedZone &known) { return known.name == name; });
            if (zone == kZoneNames.end())
                return std::nullopt;
            zoneOffset = zone->hours * 3600;
            i = end;
        }
        if (blanks() && i < value.size() && value[i] == '(') {
            const auto close = value.find_first_of("()\\", i + 1);
            if (close == std::string_view::npos || value[close] != ')')
                return std::nullopt;
            i = close + 1;
            (void)blanks();
        }
        lineEnds();
        if (i != value.size())
            return std::nullopt;
    }
    // Impossible days and times are left to GMime, which reads them its own
    // way.
    if (*year > 9998 || !IsCalendarDate(*year, month, *day) || *hour > 23 || *minute > 59 || *second > 59)
        return std::nullopt;
    const auto unixTime = UnixTimeOf(*year, month, *day, *hour * 3600 + *minute * 60 + *second, zoneOffset);
    if (!unixTime)
        return std::nullopt;
    return DateRead{*unixTime, *year, yearDigits != 4};
}

std::optional<DateRead> GMimeHeaderDate(std::string_view value)
{
    if (Trim(value).empty() || value.size() > kMaxFieldBytes)
        return std::nullopt;
    EnsureGMime();
    const std::string text(value); // GMime reads a C string
    GDateTime *date = g_mime_utils_header_decode_date(text.c_str());
    if (!date)
        return std::nullopt;
    const DateRead read{g_date_time_to_unix(date), g_date_time_get_year(date), true};
    g_date_time_unref(date);
    return read;
}

std::optional<DateRead> HeaderDate(std::string_view value)
{
    if (value.size() > kMaxFieldBytes)
        return std::nullopt;
    if (auto read = HandHeaderDate(value))
        return read;
    return GMimeHeaderDate(value);
}

std::optional<DateRead> ReceivedDate(std::string_view received)
{
    if (received.size() > kMaxFieldBytes)
        return std::nullopt; // its end, where the date is, was not kept
    const auto semicolon = received.rfind(';');
    if (semicolon == std::string_view::npos)
        return std::nullopt;
    return HeaderDate(received.substr(semicolon + 1));
}

} // namespace tovaly::detail
