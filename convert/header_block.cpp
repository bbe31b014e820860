#include "header_block.h"

#include "date_words.h"
#include "line_end.h"

#include <algorithm>

namespace tovaly::detail {

namespace {

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

} // namespace

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
            std::string &text = **value;
            for (std::size_t at = text.find('\0'); at != std::string::npos; at = text.find('\0', at + 1))
                text[at] = ' ';
        }
    }
    return fields;
}

std::string_view WithoutBom(std::string_view text)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    return text;
}

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

} // namespace tovaly::detail
