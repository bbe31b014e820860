#pragma once
// Envelope lines ("From sender date ..."): reading the sender and date of
// one, telling a well-formed one from a body line, and writing the date of
// the From lines this program writes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tovaly {

/// What an mbox envelope line ("From sender date ...") says.
struct EnvelopeInfo {
    std::string sender;                   ///< empty when absent or "-"
    std::optional<std::int64_t> unixTime; ///< asctime date read as UTC, when parsable
};

/// Parses an envelope line (without its line end). Accepts Opera's form
/// "From <sender> <date> <id>" where sender and date may be empty. Only the
/// first fields are looked at, so a date far into the line is not found. A
/// two-digit year is 1950 to 2049; such a date outside 1970 to next year is
/// left out. Returns nothing when the line does not begin with "From ".
std::optional<EnvelopeInfo> ParseEnvelopeLine(std::string_view line);

/// True for a line mutt accepts as a message separator: "From ", a sender
/// (which may be absent, quoted, or "name at domain"), then an asctime date
/// "Www Mmm d hh:mm[:ss] [zone [zone]] yyyy" whose zone words may be names
/// ("Sat Jul  8 10:27 MET 2000", "Wed Aug  2 00:39:12 MET DST 1995") or
/// offsets, with anything after the year.
bool IsWellFormedEnvelopeLine(std::string_view line);

/// "ddd mmm dd hh:mm:ss yyyy" in English for a Unix time read as UTC, e.g.
/// "Tue Mar 05 09:07:03 2024", whatever the user's locale. Times before
/// 1 Jan 100 or after 31 Dec 9999 give those days' first or last second.
std::string FormatEnvelopeDate(std::int64_t unixTime);

} // namespace tovaly
