#pragma once
// Mailbox locations below an output folder, written as the tests name them.

#include "output_layout.h"

#include <string>
#include <string_view>
#include <utility>

namespace tovaly::test {

/// The location of `relative` below the output folder `root`: the names
/// between its "/" are the folders, the last one the file ("a/b/" holds
/// folders alone). Names are taken as they are, "." and ".." too.
inline MailboxLocation LocationBelow(std::string root, std::string_view relative)
{
    MailboxLocation location;
    location.root = WithTrailingSeparator(root);
    for (auto slash = relative.find('/'); slash != std::string_view::npos; slash = relative.find('/')) {
        location.folders.emplace_back(relative.substr(0, slash));
        relative.remove_prefix(slash + 1);
    }
    location.file = std::string(relative);
    return location;
}

} // namespace tovaly::test
