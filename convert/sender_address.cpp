#include "sender_address.h"

#include "date_words.h"
#include "gmime_setup.h"

#include <gmime/gmime.h>

namespace tovaly::detail {

namespace {

// An address holds at most 64 bytes before the "@" and 255 after it; a
// longer sender is no address and is not written into a From line.
constexpr std::size_t kMaxAddressBytes = 320;

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

std::string SenderAddress(std::string_view value)
{
    std::string address;
    if (auto quick = value.size() <= kMaxFieldBytes ? PlainSenderAddress(value) : std::nullopt)
        address = std::move(*quick);
    else
        address = GMimeSenderAddress(value);
    if (address.size() > kMaxAddressBytes)
        address.clear();
    return address;
}

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

std::string GMimeSenderAddress(std::string_view value)
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

} // namespace tovaly::detail
