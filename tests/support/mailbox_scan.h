#pragma once
// A mailbox file read whole through MailboxScanner, for tests that look at
// what a run left in a mailbox.

#include "message_digest.h"

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <string>
#include <vector>

namespace tovaly::test {

/// The records of the mailbox at `path`, fed to the scanner in pieces of
/// `chunkSize` bytes; a mailbox that cannot be opened reads as empty.
inline MailboxScan ScanMailboxFile(const std::string &path, std::size_t chunkSize = std::size_t{1} << 16)
{
    std::ifstream in(path, std::ios::binary);
    MailboxScanner scanner;
    std::vector<char> buffer(std::max<std::size_t>(chunkSize, 1));
    while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        scanner.Feed(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
    return scanner.Finish();
}

} // namespace tovaly::test
