#pragma once
// A message text as a mailbox reader gives it back, and its digest: what the
// tests of the mbox reader, the digests and the command line compare with.

#include "message_digest.h"

#include <string>
#include <string_view>

namespace tovaly::test {

/// `text` with every line end (CR LF, a lone CR, a lone LF) written as LF.
inline std::string LfText(std::string_view text)
{
    std::string lf;
    lf.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r')
            lf.push_back(text[i]);
        else if (i + 1 == text.size() || text[i + 1] != '\n')
            lf.push_back('\n');
    }
    return lf;
}

/// The digest of `text` from a new hasher, in one piece.
inline MessageDigest DigestOf(std::string_view text)
{
    MessageHasher hasher;
    hasher.Add(text);
    return hasher.Finish();
}

} // namespace tovaly::test
