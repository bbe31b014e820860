#include "envelope_line.h"

#include "date_words.h"

#include <algorithm>
#include <chrono>

namespace tovaly {

using namespace detail;

std::optional<EnvelopeInfo> ParseEnvelopeLine(std::string_view line)
{
    if (line.substr(0, 5) != "From ")
        return std::nullopt;
    const std::string_view rest = line.substr(5);
    const auto tokens = SplitTokens(rest, false);

    EnvelopeInfo info;
    std::string_view sender;
    bool dated = false;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        DateRead read;
        if (ParseAsctimeAt(tokens, i, &read)) {
            dated = true;
            if (Believable(read))
                info.unixTime = read.unixTime;
            sender = Trim(rest.substr(0, tokens[i].offset));
            break;
        }
    }
    if (!dated && !tokens.empty())
        sender = tokens.front().text;
    if (sender != "-" && sender.size() <= kMaxFieldBytes)
        info.sender = std::string(sender);
    return info;
}

namespace {

// The envelope-line reading of mutt (is_from), word by word, without
// splitting the whole line: a long line costs nothing but the scan.
class EnvelopeWords {
public:
    explicit EnvelopeWords(std::string_view text) : m_rest(text) { SkipBlanks(); }

    bool AtEnd() const { return m_rest.empty(); }
    std::string_view Rest() const { return m_rest; }
    void Consume(std::size_t length)
    {
        m_rest.remove_prefix(std::min(length, m_rest.size()));
        SkipBlanks();
    }
    std::string_view Next()
    {
        std::size_t length = 0;
        while (length < m_rest.size() && !IsBlank(m_rest[length]))
            ++length;
        const std::string_view word = m_rest.substr(0, length);
        Consume(length);
        return word;
    }
    // "Mon" to "Sun" in any case, followed by a blank.
    bool AtDayName() const
    {
        if (m_rest.size() < 4 || !IsBlank(m_rest[3]))
            return false;
        return std::any_of(kDayNames.begin(), kDayNames.end(),
                           [&](const char *day) { return EqualsNoCase(m_rest.substr(0, 3), day); });
    }

private:
    void SkipBlanks()
    {
        while (!m_rest.empty() && IsBlank(m_rest.front()))
            m_rest.remove_prefix(1);
    }

    std::string_view m_rest;
};

// The sender of an envelope line: up to a blank outside double quotes, with
// backslash escapes. Its length, or nothing when the line ends inside it.
std::optional<std::size_t> EnvelopeSenderLength(std::string_view text)
{
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (++i == text.size())
                return std::nullopt;
        } else if (text[i] == '"') {
            quoted = !quoted;
        } else if (!quoted && IsBlank(text[i])) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace

bool IsWellFormedEnvelopeLine(std::string_view line)
{
    if (line.substr(0, 5) != "From ")
        return false;
    EnvelopeWords words(line.substr(5));
    if (words.AtEnd())
        return false;
    if (!words.AtDayName()) {
        const auto senderLength = EnvelopeSenderLength(words.Rest());
        if (!senderLength)
            return false;
        // Mailing-list archives write the sender as "me at example.org".
        const bool spelledOut = words.Rest().substr(*senderLength, 4) == " at ";
        words.Consume(*senderLength);
        if (spelledOut) {
            (void)words.Next(); // "at"
            (void)words.Next(); // the domain
        }
        if (!words.AtDayName())
            return false;
    }
    (void)words.Next(); // the weekday
    if (words.AtDayName())
        (void)words.Next(); // the sender was a user named like a weekday
    const std::string_view month = words.Next();
    const bool monthKnown =
        month.size() >= 3 && std::any_of(kMonthNames.begin(), kMonthNames.end(),
                                         [&](const char *name) { return EqualsNoCase(month.substr(0, 3), name); });
    const auto day = ParseNumber(words.Next(), 2);
    if (!monthKnown || !day || *day < 1 || *day > 31 || !ParseTimeOfDay(words.Next()))
        return false;
    // Up to two zone words ("MET DST", "+0100", "PST"), then the year.
    std::string_view word = words.Next();
    for (int zones = 0; zones < 2 && !word.empty() && !IsDigit(word.front()); ++zones) {
        const char first = word.front();
        const bool letter = (first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z');
        if (!letter && (zones > 0 || (first != '+' && first != '-')))
            return false;
        word = words.Next();
    }
    // The year's digits may be followed by anything ("2024\r", "1995,").
    std::size_t digits = 0;
    while (digits < word.size() && IsDigit(word[digits]))
        ++digits;
    return digits >= 1 && digits <= 4;
}

std::string FormatEnvelopeDate(std::int64_t unixTime)
{
    using namespace std::chrono;
    constexpr sys_days kFirst = year{100} / January / 1;
    constexpr sys_days kLast = year{9999} / December / 31;
    const sys_seconds time =
        std::clamp(sys_seconds{seconds{unixTime}}, sys_seconds{kFirst}, sys_seconds{kLast} + seconds{86399});
    const sys_days day = floor<days>(time);
    const year_month_day date{day};
    const hh_mm_ss<seconds> clock{time - day};

    // Written out by hand: one per message, and printf is slow at it.
    std::string text;
    text.reserve(24);
    const auto digits = [&text](long long value, int count) {
        char buffer[4];
        for (int i = count - 1; i >= 0; --i) {
            buffer[i] = static_cast<char>('0' + value % 10);
            value /= 10;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    };
    text += kDayNames[weekday{day}.c_encoding()];
    text += ' ';
    text += kMonthNames[static_cast<unsigned>(date.month()) - 1];
    text += ' ';
    digits(static_cast<unsigned>(date.day()), 2);
    text += ' ';
    digits(clock.hours().count(), 2);
    text += ':';
    digits(clock.minutes().count(), 2);
    text += ':';
    digits(clock.seconds().count(), 2);
    text += ' ';
    digits(static_cast<int>(date.year()), 4);
    return text;
}

} // namespace tovaly
