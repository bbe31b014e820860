#pragma once
// Which files are Opera message files, and the folder scan that finds
// them: one rule and one walk for the window and the command line.

#include "path_logger.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tovaly {

/// True when `path`, lower-cased (ASCII letters only) and without leading
/// and trailing spaces, ends in ".mbs". So "x.MBS" and a file named ".mbs"
/// count, "x.mbsx" and "x.mbs.bak" do not. Other white space is kept.
[[nodiscard]] bool HasMbsExtension(std::string_view path);

/// What a scan of one folder tree found.
struct [[nodiscard]] MbsFolderScan {
    std::vector<std::string> files;            ///< message files, in walk order
    std::vector<SkippedFolder> skippedFolders; ///< folders that could not be listed
    /// Entries that cannot be converted, in walk order: those HasMbsExtension
    /// accepts that are not a regular file or a link to one (a pipe, a link
    /// that leads nowhere), and those of any name that could not be told
    /// apart for another reason (a link that cannot be followed), which may
    /// be folders of messages.
    std::vector<SkippedPath> skippedEntries;
};

/// Walks `folder` and all its subfolders (links to folders followed, each
/// folder once however many links lead to it) and keeps the files
/// HasMbsExtension accepts (links to files followed), in the walker's order:
/// a folder's own files, then its subfolders level by level. `yield` is
/// called at the walker's yield points. A null `fileSystem` is the real one,
/// which also yields through `yield` while it lists a large folder.
MbsFolderScan ScanFolderForMbsFiles(const std::string &folder, std::shared_ptr<FileSystemService> fileSystem = nullptr,
                                    pathLogger::YieldFunction yield = {});

} // namespace tovaly
