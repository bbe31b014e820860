#include "batch_conversion.h"

#include "error_text.h"
#include "existing_messages.h"
#include "output_layout.h"
#include "prefetching_file_io.h"
#include "utf8_path.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <system_error>
#include <unordered_set>
#include <utility>

namespace tovaly {

namespace {

RecordResult FolderFailure(const std::string &folder, std::error_code error, const std::string &link)
{
    RecordResult result;
    if (error == std::errc::too_many_symbolic_link_levels && !link.empty())
        result.error = "cannot create folder " + Quoted(folder) + ": " + Quoted(link) + " is a symbolic link, and " +
                       std::string(kNeverThroughLinks);
    else
        result.error = "cannot create folder " + Quoted(folder) + ": " + Describe(error);
    result.errorCode = error.value();
    return result;
}

// Where the sources of a request go.
class Locator {
public:
    explicit Locator(const ConversionRequest &request)
        : m_root(WithTrailingSeparator(AbsolutePath(request.outputRoot))),
          // Relative sources are placed against the working folder of the start.
          m_workingFolder(WithTrailingSeparator(AbsolutePath("."))), m_sources(&request.sources),
          m_layout(request.layout), m_topFolders(&request.topFolders)
    {
    }

    // The location of source `index` of the request, below the output folder.
    const MailboxLocation &Locate(std::size_t index)
    {
        const std::string &source = (*m_sources)[index];
        const std::size_t top = m_layout.per == MailboxPer::Account ? TopFolderIndex(index) : 0;
        // Sources of one folder share a location (unless their name is "."
        // or ".."): work it out once per folder.
        std::string_view folder;
        if constexpr (kNativePathStyle == PathStyle::Posix) {
            const auto slash = source.rfind('/');
            const std::string_view name =
                slash == std::string::npos ? std::string_view(source) : std::string_view(source).substr(slash + 1);
            if (!name.empty() && name != "." && name != "..") {
                folder = std::string_view(source).substr(0, source.size() - name.size());
                if (m_cached && folder == m_cachedFolder && top == m_cachedTop)
                    return m_location;
            }
        }
        m_location = MailboxPathFor(m_layout, Absolute(source), TopFolderPath(top), m_root);
        m_cached = !folder.empty();
        if (m_cached) {
            m_cachedFolder = folder;
            m_cachedTop = top;
        }
        return m_location;
    }

private:
    std::string Absolute(const std::string &path) const
    {
        const bool absolute = kNativePathStyle == PathStyle::Posix ? !path.empty() && path.front() == '/'
                                                                   : PathFromUtf8(path).is_absolute();
        return absolute ? path : m_workingFolder + path;
    }

    // 1 + the index of the top folder entry that source `index` falls under;
    // 0 for none.
    std::size_t TopFolderIndex(std::size_t index) const
    {
        const auto after = std::upper_bound(m_topFolders->begin(), m_topFolders->end(), index,
                                            [](std::size_t i, const TopFolder &top) { return i < top.firstSource; });
        return static_cast<std::size_t>(after - m_topFolders->begin());
    }

    // The absolute path of that top folder, empty for none.
    std::string TopFolderPath(std::size_t top) const
    {
        if (top == 0 || (*m_topFolders)[top - 1].folder.empty())
            return {};
        return Absolute((*m_topFolders)[top - 1].folder);
    }

    std::string m_root;
    std::string m_workingFolder;
    const std::vector<std::string> *m_sources;
    MailboxLayout m_layout;
    const std::vector<TopFolder> *m_topFolders;
    MailboxLocation m_location;  // the location found last
    bool m_cached = false;       // ... is that of every source of
    std::string m_cachedFolder;  // this source folder, as given,
    std::size_t m_cachedTop = 0; // found under this top folder
};

bool SameFolders(const MailboxLocation &a, const MailboxLocation &b)
{
    return a.root == b.root && a.folders == b.folders;
}

// Makes the mirror folders below the output folder, never through a link
// there. Sources come grouped by folder, so a folder is made once for a run
// of sources that share it.
class FolderMaker {
public:
    explicit FolderMaker(RecordFileIo &io) : m_io(io) {}

    // Nothing when the folder of `location` is there, with `madeEarlier`
    // telling whether it was made for an earlier source; else the failure.
    std::optional<RecordResult> Make(const MailboxLocation &location, bool &madeEarlier)
    {
        madeEarlier = m_ready && SameFolders(location, *m_ready);
        if (!madeEarlier) {
            if (std::optional<RecordResult> failure = MakeNow(location))
                return failure;
        }
        return std::nullopt;
    }

    // Yields and runs `append` in the folder just made. A folder made for an
    // earlier source may have vanished since: when the append fails and the
    // folder is gone, it is made again and the append tried once more.
    template <typename Appender>
    RecordResult Append(const MailboxLocation &location, bool madeEarlier, BatchObserver &observer, Appender &&append)
    {
        RecordResult result;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (observer.Yields())
                observer.Yield();
            result = append();
            std::error_code ec;
            if (result.ok || !madeEarlier || std::filesystem::is_directory(PathFromUtf8(location.MirrorFolder()), ec))
                break;
            if (std::optional<RecordResult> failure = MakeNow(location))
                return std::move(*failure);
            madeEarlier = false;
        }
        return result;
    }

private:
    std::optional<RecordResult> MakeNow(const MailboxLocation &location)
    {
        m_ready.reset();
        std::string link;
        if (const FolderMade made = m_io.MakeFolders(location, &link); !made)
            return FolderFailure(location.MirrorFolder(), made.error, link);
        m_ready = location;
        return std::nullopt;
    }

    RecordFileIo &m_io;
    std::optional<MailboxLocation> m_ready; // its folders were last made sure of
};

class Tally {
public:
    void Count(const std::string &source, const MailboxLocation &location, const RecordResult &result)
    {
        if (result.messages > 0) {
            m_summary.messages += static_cast<std::uint64_t>(result.messages);
            m_mailboxes.insert(location.Path());
        }
        m_summary.alreadyPresent += static_cast<std::uint64_t>(std::max(result.skipped, 0));
        m_summary.bytesRead += result.bytesRead;
        if (result.ok) {
            ++m_summary.sourceFiles;
            m_summary.warnings.insert(m_summary.warnings.end(), result.warnings.begin(), result.warnings.end());
        } else
            m_summary.failures.push_back({source, result.errorCode, result.error});
    }

    BatchSummary Summary()
    {
        m_summary.mailboxes = m_mailboxes.size();
        return std::move(m_summary);
    }

private:
    std::unordered_set<std::string> m_mailboxes;
    BatchSummary m_summary;
};

} // namespace

BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer)
{
    if (observer.Yields()) {
        RecordFileIo io;
        return ConvertBatch(request, observer, io);
    }
    // Nothing waits between sources: the next ones are read meanwhile.
    PrefetchingFileIo io(request.sources);
    return ConvertBatch(request, observer, io);
}

BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer, RecordFileIo &io)
{
    Locator locator(request);
    FolderMaker folders(io);
    Tally tally;
    io.SetStopCheck([&observer] { return observer.StopRequested(); });
    ExistingMailboxes existing(
        [&observer](const MailboxCut &cut) { observer.MailboxCutBack(cut.mailboxPath, cut.from, cut.to); },
        request.tornEnd, &io);
    // The mailbox of the sources before, kept for the next ones bound for
    // it: an observer that does not yield has it stay open between them.
    std::optional<MailboxFile> mailbox;
    std::vector<std::string> closeFailures;
    const auto closeMailbox = [&] {
        if (!mailbox)
            return;
        if (const std::error_code error = mailbox->Close()) {
            closeFailures.push_back("closing mailbox " + Quoted(mailbox->Path()) + " failed (" + Describe(error) +
                                    "): the records written last may not all be there");
            observer.BatchWarning(closeFailures.back());
        }
        mailbox.reset();
    };
    std::optional<RunVerifier> verifier;
    if (request.verify)
        verifier.emplace();
    const std::size_t total = request.sources.size();
    std::size_t stoppedAt = total;
    for (std::size_t i = 0; i < total; ++i) {
        if (observer.StopRequested()) {
            stoppedAt = i;
            break;
        }
        const std::string &source = request.sources[i];
        observer.FileStarted(i, total, source);
        const MailboxLocation &location = locator.Locate(i);
        if (mailbox && mailbox->Location() != location)
            closeMailbox();
        bool madeEarlier = false;
        std::optional<RecordResult> result = folders.Make(location, madeEarlier);
        ExistingMessages *present = nullptr;
        std::vector<std::string> warnings;
        if (!result && request.skipExisting) {
            RecordResult failure;
            present = existing.For(location, failure, &warnings);
            if (!present)
                result = std::move(failure);
        }
        if (!result) {
            if (!mailbox)
                mailbox.emplace(location, io);
            result = folders.Append(location, madeEarlier, observer, [&] {
                RecordSkipper *skipper = verifier ? verifier->Watch(i, mailbox->Path(), present) : present;
                return AppendMailboxRecord(source, *mailbox, &observer, request.lineEnds, skipper);
            });
        }
        if (verifier)
            verifier->SourceDone(result->ok);
        if (!result->ok && observer.StopRequested()) {
            // Taken back because the run was stopped, not because it failed.
            stoppedAt = i;
            break;
        }
        if (result->ok && !warnings.empty())
            result->warnings.insert(result->warnings.begin(), warnings.begin(), warnings.end());
        tally.Count(source, location, *result);
        observer.FileDone(i, total, source, *result);
    }
    closeMailbox();
    io.SetStopCheck(nullptr);
    BatchSummary summary = tally.Summary();
    summary.warnings.insert(summary.warnings.end(), closeFailures.begin(), closeFailures.end());
    summary.skipExisting = request.skipExisting;
    summary.interrupted = stoppedAt < total;
    summary.notConverted = total - stoppedAt;
    if (verifier)
        summary.verification = verifier->Verify(request.sources, io, [&observer] { observer.Yield(); });
    return summary;
}

} // namespace tovaly
