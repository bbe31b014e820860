#include "mbs_filter.h"

#include <cerrno>
#include <utility>

namespace tovaly {

bool HasMbsExtension(std::string_view path)
{
    const auto first = path.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return false;
    const auto last = path.find_last_not_of(' ');
    const std::string_view trimmed = path.substr(first, last - first + 1);
    if (trimmed.size() < 4)
        return false;
    const std::string_view tail = trimmed.substr(trimmed.size() - 4);
    constexpr std::string_view kExtension = ".mbs";
    for (std::size_t i = 0; i < 4; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kExtension[i])
            return false;
    }
    return true;
}

MbsFolderScan ScanFolderForMbsFiles(const std::string &folder, std::shared_ptr<FileSystemService> fileSystem,
                                    pathLogger::YieldFunction yield)
{
    MbsFolderScan scan;
    pathLogger walker(std::move(fileSystem), std::move(yield));
    walker.PathLogInit();
    walker.setFullFileNamesOnly(true);
    walker.LogPath(folder);
    for (const std::string &path : *walker.fullFileNames()) {
        if (HasMbsExtension(path))
            scan.files.push_back(path);
    }
    scan.skippedFolders = walker.skippedFolders();
    for (const SkippedPath &entry : walker.skippedEntries()) {
        // A pipe, a device or a link that leads nowhere is known not to be a
        // folder; anything else that failed to open might have been one.
        const bool notAFolder = entry.errorCode == 0 || entry.errorCode == ENOENT;
        if (HasMbsExtension(entry.path) || !notAFolder)
            scan.skippedEntries.push_back(entry);
    }
    walker.Terminate();
    return scan;
}

} // namespace tovaly
