#pragma once
// The header block of a message: where it ends, and the values of the few
// fields the sender and the date are read from. Internal to the conversion
// core.

#include <optional>
#include <string>
#include <string_view>

namespace tovaly::detail {

// The first value of each field the header reader uses, each cut to one
// byte more than kMaxFieldBytes (so a value that is too long is known to
// be), NUL bytes written as spaces.
struct HeaderFields {
    std::optional<std::string> date;
    std::optional<std::string> received; // the topmost, i.e. newest
    std::optional<std::string> from;
    std::optional<std::string> sender;
    std::optional<std::string> returnPath;
    bool anyField = false;
    bool complete = false; // an empty line or a body line ended the block
};

// The header block ends at the first empty line; lines may end in CR LF, LF
// or CR. A line that is neither a field nor a continuation starts the body.
// A first line "From " or ">From " (a stray envelope line) is passed over.
HeaderFields ParseHeaderBlock(std::string_view message);

// `text` without a leading UTF-8 byte order mark.
std::string_view WithoutBom(std::string_view text);

// Splits a leading envelope line ("From ...", without its line end) off
// `text`; `complete` is false when the line end has not been read yet.
std::string_view SplitEnvelope(std::string_view text, std::optional<std::string_view> &envelopeLine, bool &complete);

// Whether the start of a message file, `data`, holds its whole header block
// (after a byte order mark and an envelope line).
bool HeaderBlockRead(std::string_view data);

} // namespace tovaly::detail
