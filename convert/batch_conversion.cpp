#include "batch_conversion.h"

#include "output_layout.h"

#include <filesystem>
#include <system_error>
#include <unordered_set>

namespace tovaly {

namespace {

// EnsureFolderExists only says yes or no; ask once more for the reason.
RecordResult FolderFailure(const std::string &folder)
{
    RecordResult result;
    result.error = "cannot create folder '" + folder + "'";
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(folder), ec);
    if (!ec) {
        std::filesystem::path target(folder);
        if (!std::filesystem::is_directory(target, ec) && !ec)
            ec = std::make_error_code(std::errc::not_a_directory);
    }
    if (ec) {
        result.errorCode = ec.value();
        result.error += ": " + ec.message();
    }
    return result;
}

} // namespace

BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer)
{
    BatchSummary summary;
    const std::string root = WithTrailingSeparator(AbsolutePath(request.outputRoot));
    // Relative sources are placed against the working folder of the start.
    const std::string workingFolder = WithTrailingSeparator(AbsolutePath("."));
    const std::size_t total = request.sources.size();
    std::unordered_set<std::string> mailboxes;
    std::string readyFolder; // the mirror folder last made sure of

    for (std::size_t i = 0; i < total; ++i) {
        const std::string &source = request.sources[i];
        observer.FileStarted(i, total, source);

        const bool absolute = kNativePathStyle == PathStyle::Posix
                                  ? !source.empty() && source.front() == '/'
                                  : std::filesystem::path(source).is_absolute();
        const MailboxLocation location =
            MailboxPathFor(absolute ? source : workingFolder + source, root);

        // Sources come grouped by folder, so the folder is made once per group;
        // should it vanish in between, the append fails and it is made again.
        RecordResult result;
        bool folderReady = location.mirrorFolder == readyFolder;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!folderReady && !EnsureFolderExists(location.mirrorFolder)) {
                readyFolder.clear();
                result = FolderFailure(location.mirrorFolder);
                break;
            }
            readyFolder = location.mirrorFolder;
            observer.Yield();
            result = AppendMailboxRecord(source, location.mailboxPath, &observer);
            std::error_code ec;
            if (result.ok || !folderReady ||
                std::filesystem::is_directory(std::filesystem::path(location.mirrorFolder), ec))
                break;
            folderReady = false;
        }

        if (result.messages > 0) {
            summary.messages += static_cast<std::uint64_t>(result.messages);
            mailboxes.insert(location.mailboxPath);
        }
        summary.bytesRead += result.bytesRead;
        if (result.ok)
            ++summary.sourceFiles;
        else
            summary.failures.push_back({source, result.errorCode, result.error});
        observer.FileDone(i, total, source, result);
    }
    summary.mailboxes = mailboxes.size();
    return summary;
}

} // namespace tovaly
