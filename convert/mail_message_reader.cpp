#include "mail_message_reader.h"
#include "utf8_path.h"

#include "date_words.h"
#include "line_end.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

namespace tovaly {

using namespace detail;

namespace {

// 30 Dec 1899 00:00 UTC, day 0 of the Automation date form.
constexpr std::int64_t kAutomationEpochUnix = -2209161600;
constexpr std::int64_t kSecondsPerDay = 86400;

// An address holds at most 64 bytes before the "@" and 255 after it; a
// longer sender is no address and is not written into a From line.
constexpr std::size_t kMaxAddressBytes = 320;

// GLib ends the process when an allocation fails. GMime is handed at most
// kMaxFieldBytes, for which it takes up to about 4 MB (a list of groups);
// before it runs, make sure twice that is there, and otherwise fail the way
// any C++ allocation fails, so only the message at hand is given up.
void RequireRoomForGMime()
{
    constexpr std::size_t kRoom = 8 * 1024 * 1024;
    void *room = std::malloc(kRoom);
    if (!room)
        throw std::bad_alloc();
    std::free(room);
}

void EnsureGMime()
{
    RequireRoomForGMime();
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    (void)initialised;
}

// A header date that GMime turns down (it refuses years before 1969, and
// three-digit years): "[Www,] dd Mmm yyyy hh:mm[:ss] [zone]".
std::optional<DateRead> ParseHeaderDateFallback(std::string_view text)
{
    const auto paren = text.find('(');
    const auto tokens = SplitTokens(text.substr(0, paren), true);
    std::size_t i = 0;
    if (i < tokens.size() && IsDayName(tokens[i].text))
        ++i;
    if (tokens.size() < i + 4)
        return std::nullopt;
    const auto day = ParseNumber(tokens[i].text, 2);
    const int month = MonthFromName(tokens[i + 1].text);
    const std::string_view yearText = tokens[i + 2].text;
    const auto year = ParseNumber(yearText, 4);
    const auto time = ParseTimeOfDay(tokens[i + 3].text);
    if (!day || month == 0 || !year || !time || yearText.size() < 2)
        return std::nullopt;
    int zoneOffset = 0;
    if (tokens.size() > i + 4) {
        const auto zone = ParseZone(tokens[i + 4].text);
        if (!zone)
            return std::nullopt;
        zoneOffset = *zone;
    }
    const int fullYear = FullYear(*year, yearText.size());
    const auto unixTime = UnixTimeOf(fullYear, month, *day, *time, zoneOffset);
    if (!unixTime)
        return std::nullopt;
    return DateRead{*unixTime, fullYear, yearText.size() != 4};
}

std::optional<DateRead> PlainDate(std::string_view value);
std::optional<DateRead> GMimeDate(const std::string &value);

std::optional<DateRead> DecodeHeaderDate(const std::string &text)
{
    if (text.size() > kMaxFieldBytes)
        return std::nullopt; // no date is written that long
    if (auto quick = PlainDate(text))
        return quick;
    return GMimeDate(text);
}

// --- addresses ------------------------------------------------------------

// Removes white space and control characters, which no mbox reader accepts
// in the sender of a From line.
std::string CleanAddress(std::string_view address)
{
    std::string result;
    result.reserve(address.size());
    for (char c : address) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte != 0x7F)
            result.push_back(c);
    }
    return result;
}

bool LooksLikeEncodedWord(std::string_view text)
{
    return text.size() >= 4 && text.substr(0, 2) == "=?" && text.substr(text.size() - 2) == "?=";
}

std::string FirstMailbox(InternetAddressList *list)
{
    const int count = internet_address_list_length(list);
    for (int i = 0; i < count; ++i) {
        InternetAddress *address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(address)) {
            const char *addr = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address));
            std::string clean = CleanAddress(addr ? addr : "");
            if (!clean.empty() && !LooksLikeEncodedWord(clean))
                return clean;
        } else if (INTERNET_ADDRESS_IS_GROUP(address)) {
            std::string inner = FirstMailbox(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)));
            if (!inner.empty())
                return inner;
        }
    }
    return {};
}

// For text GMime cannot parse (control characters, stray bytes): the part
// in angle brackets, else the first word holding an "@".
std::string AddressByHand(std::string_view text)
{
    const auto open = text.find('<');
    if (open != std::string_view::npos) {
        const auto close = text.find('>', open + 1);
        return CleanAddress(text.substr(open + 1, close == std::string_view::npos ? close : close - open - 1));
    }
    for (const Token &token : SplitTokens(text, true, text.size())) {
        if (token.text.find('@') != std::string_view::npos)
            return CleanAddress(token.text);
    }
    return {};
}

// The start of an address list that ends where a mailbox ends: before a
// comma or a comment that follows white space, or after an angle address,
// none of them quoted or in a comment. Empty when no mailbox ends in the
// first kMaxFieldBytes bytes. Shorter lists are left whole.
std::string_view BoundedAddressList(std::string_view value)
{
    if (value.size() <= kMaxFieldBytes)
        return value;
    value = value.substr(0, kMaxFieldBytes);
    std::size_t end = 0;
    bool quoted = false;
    std::size_t comments = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\') {
            ++i; // an escaped character, in quotes or comments
        } else if (quoted) {
            quoted = c != '"';
        } else if (c == '(') {
            if (comments == 0 && i > 0 && (IsBlank(value[i - 1]) || value[i - 1] == '\r' || value[i - 1] == '\n'))
                end = i;
            ++comments;
        } else if (comments > 0) {
            if (c == ')')
                --comments;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            end = i;
        } else if (c == '>') {
            end = i + 1;
        }
    }
    return value.substr(0, end);
}

// The bare address of the first mailbox in a header value; empty when none,
// or when it is too long to be an address.
std::string AddressFromHeader(std::string_view value)
{
    std::string address;
    if (value.size() > kMaxFieldBytes) {
        address = GMimeSenderAddress(std::string(BoundedAddressList(value)));
    } else if (auto quick = PlainSenderAddress(value)) {
        address = std::move(*quick);
    } else {
        address = GMimeSenderAddress(std::string(value));
    }
    if (address.size() > kMaxAddressBytes)
        address.clear();
    return address;
}

// --- header block ---------------------------------------------------------

struct HeaderFields {
    std::optional<std::string> date;
    std::optional<std::string> received; // the topmost, i.e. newest
    std::optional<std::string> from;
    std::optional<std::string> sender;
    std::optional<std::string> returnPath;
    bool anyField = false;
    bool complete = false; // an empty line or a body line ended the block
};

// Appends to a field value, keeping at most one byte more than is ever read,
// so a value that is too long is known to be.
void AppendCapped(std::string &value, std::string_view piece)
{
    const std::size_t room = kMaxFieldBytes + 1 - std::min(value.size(), kMaxFieldBytes + 1);
    value.append(piece.substr(0, room));
}

bool IsFieldName(std::string_view name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F)
            return false;
    }
    return true;
}

// The header block ends at the first empty line; lines may end in CR LF, LF
// or CR. A line that is neither a field nor a continuation starts the body.
HeaderFields ParseHeaderBlock(std::string_view message)
{
    HeaderFields fields;
    std::string *current = nullptr;
    std::size_t pos = 0;
    bool firstLine = true;
    while (pos < message.size()) {
        const auto end = static_cast<std::size_t>(FindLineEnd(message.data() + pos, message.data() + message.size()) -
                                                  message.data());
        const bool lineEnded = end < message.size();
        const std::string_view line = message.substr(pos, end - pos);
        pos = !lineEnded
                  ? message.size()
                  : end + ((message[end] == '\r' && end + 1 < message.size() && message[end + 1] == '\n') ? 2 : 1);

        if (line.empty()) {
            fields.complete = true;
            break;
        }
        if (firstLine && (line.substr(0, 5) == "From " || line.substr(0, 6) == ">From ")) {
            firstLine = false;
            continue; // a stray envelope line
        }
        firstLine = false;
        if (IsBlank(line.front())) {
            if (current)
                AppendCapped(*current, line);
            continue;
        }
        const auto colon = line.find(':');
        std::string_view name = colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
        while (!name.empty() && IsBlank(name.back()))
            name.remove_suffix(1);
        if (!IsFieldName(name)) {
            fields.complete = true;
            break;
        }
        fields.anyField = true;

        std::optional<std::string> *slot = nullptr;
        if (EqualsNoCase(name, "Date"))
            slot = &fields.date;
        else if (EqualsNoCase(name, "Received"))
            slot = &fields.received;
        else if (EqualsNoCase(name, "From"))
            slot = &fields.from;
        else if (EqualsNoCase(name, "Sender"))
            slot = &fields.sender;
        else if (EqualsNoCase(name, "Return-Path"))
            slot = &fields.returnPath;
        if (slot && !slot->has_value()) {
            slot->emplace();
            AppendCapped(**slot, line.substr(colon + 1));
            current = &**slot;
        } else {
            current = nullptr;
        }
    }
    // C strings go to GMime: a NUL byte must not cut a value short.
    for (auto *value : {&fields.date, &fields.received, &fields.from, &fields.sender, &fields.returnPath}) {
        if (value->has_value()) {
            for (char &c : **value) {
                if (c == '\0')
                    c = ' ';
            }
        }
    }
    return fields;
}

// The date after the last ";" of a Received field (not read when the field
// is too long: its end, where the date is, was not kept).
std::optional<DateRead> ReceivedDate(const std::string &received)
{
    if (received.size() > kMaxFieldBytes)
        return std::nullopt;
    const auto semicolon = received.rfind(';');
    if (semicolon == std::string::npos)
        return std::nullopt;
    return DecodeHeaderDate(received.substr(semicolon + 1));
}

std::optional<std::int64_t> FileModificationTime(const std::string &path)
{
    namespace fs = std::filesystem;
    try {
        std::error_code ec;
        const auto written = fs::last_write_time(PathFromUtf8(path), ec);
        if (ec)
            return std::nullopt;
        const auto system = std::chrono::file_clock::to_sys(written);
        return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
    } catch (...) {
        return std::nullopt;
    }
}

std::string_view WithoutBom(std::string_view text)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    return text;
}

// Splits a leading envelope line off `text`; `complete` is false when the
// line end has not been read yet.
std::string_view SplitEnvelope(std::string_view text, std::optional<std::string_view> &envelopeLine, bool &complete)
{
    complete = true;
    envelopeLine.reset();
    if (text.substr(0, 5) != "From ")
        return text;
    const auto end = text.find_first_of("\r\n");
    if (end == std::string_view::npos) {
        complete = false;
        envelopeLine = text;
        return {};
    }
    envelopeLine = text.substr(0, end);
    std::size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n')
        ++next;
    return text.substr(next);
}

bool HeaderBlockRead(std::string_view data)
{
    std::optional<std::string_view> envelopeLine;
    bool complete = false;
    const std::string_view message = SplitEnvelope(WithoutBom(data), envelopeLine, complete);
    return complete && ParseHeaderBlock(message).complete;
}

// The year as written of a date GMime read as being in `gmimeYear`. GMime
// adds 2000 to any number below 70 it takes for a year and 1900 to one from
// 70 to 99, whatever its digits: find the number it took.
DateRead WrittenYear(std::string_view value, std::int64_t unixTime, int gmimeYear)
{
    DateRead read{unixTime, gmimeYear, true};
    std::optional<int> shortYear;
    std::optional<int> threeDigitYear;
    for (std::size_t i = 0; i < value.size();) {
        if (!IsDigit(value[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < value.size() && IsDigit(value[end]))
            ++end;
        const std::size_t digits = end - i;
        if (digits <= 4) {
            const int number = *ParseNumber(value.substr(i, digits), 4);
            if (digits == 4 && number == gmimeYear) {
                read.obsoleteYear = false;
                return read;
            }
            if (digits <= 3 && number < 100 && number + (number < 70 ? 2000 : 1900) == gmimeYear)
                (digits == 3 ? threeDigitYear : shortYear) = FullYear(number, digits);
        }
        i = end;
    }
    // A day is never written with three digits: such a number is the year.
    if (threeDigitYear)
        read.year = *threeDigitYear;
    else if (shortYear)
        read.year = *shortYear;
    return read;
}

std::optional<DateRead> GMimeDate(const std::string &value)
{
    if (Trim(value).empty() || value.size() > kMaxFieldBytes)
        return std::nullopt;
    EnsureGMime();
    if (GDateTime *date = g_mime_utils_header_decode_date(value.c_str())) {
        DateRead read = WrittenYear(value, g_date_time_to_unix(date), g_date_time_get_year(date));
        if (read.year != g_date_time_get_year(date)) {
            if (GDateTime *moved = g_date_time_add_years(date, read.year - g_date_time_get_year(date))) {
                read.unixTime = g_date_time_to_unix(moved);
                g_date_time_unref(moved);
            }
        }
        g_date_time_unref(date);
        return read;
    }
    return ParseHeaderDateFallback(value);
}

std::optional<DateRead> PlainDate(std::string_view value)
{
    // "[Www, ]d Mmm yyyy h:mm[:ss] zone[ (comment)]" with a year of four,
    // three or two digits and a zone "+hhmm", "-hhmm", "GMT" or "UT": the
    // form nearly every mailer writes.
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
    if (!minute || !second || !blanks())
        return std::nullopt;
    int zoneOffset = 0;
    if (i < value.size() && (value[i] == '+' || value[i] == '-')) {
        const bool west = value[i] == '-';
        ++i;
        const auto zoneHours = digits(2);
        const auto zoneMinutes = digits(2);
        if (!zoneHours || !zoneMinutes || *zoneHours > 23 || *zoneMinutes > 59)
            return std::nullopt;
        zoneOffset = (*zoneHours * 3600 + *zoneMinutes * 60) * (west ? -1 : 1);
    } else if (!exactly("GMT") && !exactly("UT")) {
        return std::nullopt;
    }
    const bool spaced = blanks();
    if (spaced && i < value.size() && value[i] == '(') {
        const auto close = value.find_first_of("()\\", i + 1);
        if (close == std::string_view::npos || value[close] != ')')
            return std::nullopt;
        i = close + 1;
        (void)blanks();
    }
    while (i < value.size() && (value[i] == '\r' || value[i] == '\n'))
        ++i;
    if (i != value.size())
        return std::nullopt;
    // What GMime turns down (four-digit years before 1969, impossible days
    // and times) or reads its own way is left to it.
    if ((yearDigits == 4 && *year < 1970) || *year > 9998 || !IsCalendarDate(*year, month, *day) || *hour > 23 ||
        *minute > 59 || *second > 59)
        return std::nullopt;
    const auto unixTime = UnixTimeOf(*year, month, *day, *hour * 3600 + *minute * 60 + *second, zoneOffset);
    if (!unixTime)
        return std::nullopt;
    return DateRead{*unixTime, *year, yearDigits != 4};
}

} // namespace

// --- header values ----------------------------------------------------------

std::optional<std::int64_t> GMimeHeaderDate(const std::string &value)
{
    if (const auto read = GMimeDate(value))
        return read->unixTime;
    return std::nullopt;
}

std::optional<std::int64_t> PlainHeaderDate(std::string_view value)
{
    if (const auto read = PlainDate(value))
        return read->unixTime;
    return std::nullopt;
}

std::string GMimeSenderAddress(const std::string &value)
{
    const std::string_view list = BoundedAddressList(value);
    if (Trim(list).empty())
        return {};
    EnsureGMime();
    const std::string bounded(list);
    std::string address;
    if (InternetAddressList *parsed = internet_address_list_parse(nullptr, bounded.c_str())) {
        address = FirstMailbox(parsed);
        g_object_unref(parsed);
    }
    if (address.empty())
        address = AddressByHand(bounded);
    return address;
}

namespace {

// RFC 5322 atext, less "=" and "?" so no address looks like an encoded word.
bool IsAddressAtom(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c))
        return true;
    return std::string_view("!#$%&'*+/^_`{|}~-").find(c) != std::string_view::npos;
}

bool IsDomainLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-';
}

// Dot-separated runs of `allowed` characters, none of them empty.
template <typename Allowed>
bool IsDotted(std::string_view text, Allowed allowed)
{
    if (text.empty() || text.front() == '.' || text.back() == '.')
        return false;
    char previous = '.';
    for (char c : text) {
        if (c == '.' ? previous == '.' : !allowed(c))
            return false;
        previous = c;
    }
    return true;
}

// "local@domain" with a plain local part and a plain domain (no IDN label,
// which GMime may rewrite).
bool IsPlainAddress(std::string_view address)
{
    const auto at = address.find('@');
    if (at == std::string_view::npos)
        return false;
    const std::string_view domain = address.substr(at + 1);
    if (!IsDotted(address.substr(0, at), IsAddressAtom) || !IsDotted(domain, IsDomainLetter))
        return false;
    for (std::size_t label = 0; label != std::string_view::npos;) {
        if (EqualsNoCase(domain.substr(label, 4), "xn--"))
            return false;
        label = domain.find('.', label);
        if (label != std::string_view::npos)
            ++label;
    }
    return true;
}

// A display name GMime reads as a phrase and nothing else: words of letters,
// digits and a few marks, or quoted strings without escapes.
bool IsPlainPhrase(std::string_view phrase)
{
    bool quoted = false;
    for (char c : phrase) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted) {
            if (c == '\\' || byte < 0x20 || byte == 0x7F)
                return false;
        } else if (!(IsAddressAtom(c) || IsBlank(c) || c == '.' || c == '=' || c == '?')) {
            return false;
        }
    }
    return !quoted;
}

} // namespace

std::optional<std::string> PlainSenderAddress(std::string_view value)
{
    std::string_view text = value;
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    if (text.empty())
        return std::nullopt;

    std::string_view address;
    if (text.back() == '>') {
        // "Name <addr>" or "<addr>".
        const auto open = text.rfind('<');
        if (open == std::string_view::npos || !IsPlainPhrase(text.substr(0, open)))
            return std::nullopt;
        address = text.substr(open + 1, text.size() - open - 2);
    } else {
        // "addr" or "addr (comment)".
        const auto end = text.find_first_of(" \t(");
        address = text.substr(0, end);
        if (end != std::string_view::npos) {
            std::string_view rest = text.substr(end);
            while (!rest.empty() && IsBlank(rest.front()))
                rest.remove_prefix(1);
            if (rest.size() < 2 || rest.front() != '(' || rest.back() != ')' ||
                rest.substr(1, rest.size() - 2).find_first_of("()\\\"") != std::string_view::npos)
                return std::nullopt;
        }
    }
    if (!IsPlainAddress(address))
        return std::nullopt;
    return std::string(address);
}

double AutomationDateFromUnixTime(std::int64_t unixTime)
{
    return static_cast<double>(unixTime - kAutomationEpochUnix) / static_cast<double>(kSecondsPerDay);
}

MailMessageReader::MailMessageReader() = default;
MailMessageReader::~MailMessageReader() = default;

bool MailMessageReader::LoadMessageFile(const std::string &path)
{
    const std::optional<std::int64_t> fileTime = FileModificationTime(path);

    std::FILE *file = OpenUtf8File(path, "rb");
    if (!file) {
        (void)LoadMessageBytes({}, {}, fileTime);
        return false;
    }
    // Only the header block is needed: read until it is complete.
    constexpr std::size_t kMaxHeader = 4 * 1024 * 1024;
    std::size_t chunk = 8 * 1024;
    std::string data;
    bool readError = false;
    while (data.size() < kMaxHeader) {
        const std::size_t old = data.size();
        data.resize(old + chunk);
        const std::size_t got = std::fread(data.data() + old, 1, chunk, file);
        data.resize(old + got);
        if (got < chunk) {
            readError = std::ferror(file) != 0;
            break;
        }
        if (HeaderBlockRead(data))
            break;
        chunk = 64 * 1024;
    }
    std::fclose(file);

    std::optional<std::string_view> envelopeLine;
    bool complete = false;
    const std::string_view message = SplitEnvelope(WithoutBom(data), envelopeLine, complete);
    EnvelopeInfo envelope;
    if (envelopeLine) {
        if (auto parsed = ParseEnvelopeLine(*envelopeLine))
            envelope = std::move(*parsed);
    }
    (void)LoadMessageBytes(message, envelope, fileTime);
    return !readError;
}

bool MailMessageReader::LoadMessageBytes(std::string_view message, const EnvelopeInfo &envelope,
                                         std::optional<std::int64_t> fileTime)
{
    const HeaderFields fields = ParseHeaderBlock(message);

    std::optional<std::int64_t> date;
    const auto take = [&date](const std::optional<DateRead> &read) {
        if (read && Believable(*read))
            date = read->unixTime;
    };
    if (fields.date)
        take(DecodeHeaderDate(*fields.date));
    if (!date && fields.received)
        take(ReceivedDate(*fields.received));
    if (!date)
        date = envelope.unixTime;
    if (!date)
        date = fileTime;
    m_unixTime = date.value_or(kAutomationEpochUnix);

    m_sender.clear();
    for (const auto *value : {&fields.from, &fields.sender, &fields.returnPath}) {
        if (value->has_value()) {
            m_sender = AddressFromHeader(**value);
            if (!m_sender.empty())
                break;
        }
    }
    if (m_sender.empty())
        m_sender = AddressFromHeader(envelope.sender);
    if (m_sender.empty())
        m_sender = "MAILER-DAEMON";
    return fields.anyField;
}

double MailMessageReader::MessageDate() const
{
    return AutomationDateFromUnixTime(m_unixTime);
}

std::int64_t MailMessageReader::MessageUnixTime() const
{
    return m_unixTime;
}

std::string MailMessageReader::MessageSender() const
{
    return m_sender.empty() ? std::string("MAILER-DAEMON") : m_sender;
}

} // namespace tovaly
