#pragma once
// The words of every failure the core reports, in one place. A failure is
// reported as "<path>: <reason>", so a reason never names the file that
// failed again; it names only other files (the mailbox a source goes to).

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace tovaly {

/// A file named in a reason: 'path'.
std::string Quoted(std::string_view path);

/// "1 message", "2 messages": a count with its noun.
std::string Counted(std::uint64_t n, const char *singular, const char *plural);

/// The system's words for errno `error` ("No such file or directory").
std::string Describe(int error);

/// The same for an error the file calls returned.
std::string Describe(const std::error_code &error);

/// Why nothing is written through a symbolic link below the output folder.
inline constexpr std::string_view kNeverThroughLinks =
    "mailboxes are written only inside the output folder, never through links";

} // namespace tovaly
