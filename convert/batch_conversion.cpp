#include "batch_conversion.h"

#include "output_layout.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <unordered_set>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#include <sys/resource.h>
#endif

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

// Where the sources of a request go.
class Locator {
public:
    explicit Locator(const ConversionRequest &request)
        : m_root(WithTrailingSeparator(AbsolutePath(request.outputRoot))),
          // Relative sources are placed against the working folder of the start.
          m_workingFolder(WithTrailingSeparator(AbsolutePath(".")))
    {
    }

    MailboxLocation Locate(const std::string &source)
    {
        // Sources of one folder share a location (unless their name is "."
        // or ".."): work it out once per folder.
        std::string_view folder;
        if constexpr (kNativePathStyle == PathStyle::Posix) {
            const auto slash = source.rfind('/');
            const std::string_view name =
                slash == std::string::npos ? std::string_view(source) : std::string_view(source).substr(slash + 1);
            if (!name.empty() && name != "." && name != "..") {
                folder = std::string_view(source).substr(0, source.size() - name.size());
                if (m_cached && folder == m_cachedFolder)
                    return m_cachedLocation;
            }
        }
        const bool absolute = kNativePathStyle == PathStyle::Posix ? !source.empty() && source.front() == '/'
                                                                   : std::filesystem::path(source).is_absolute();
        MailboxLocation location = MailboxPathFor(absolute ? source : m_workingFolder + source, m_root);
        if (!folder.empty()) {
            m_cached = true;
            m_cachedFolder = folder;
            m_cachedLocation = location;
        }
        return location;
    }

private:
    std::string m_root;
    std::string m_workingFolder;
    bool m_cached = false;
    std::string m_cachedFolder; // the source folder, as given, of the location below
    MailboxLocation m_cachedLocation;
};

// Makes the mirror folders. Sources come grouped by folder, so a folder is
// made once for a run of sources that share it.
class FolderMaker {
public:
    // Nothing when the folder of `location` is there, with `madeEarlier`
    // telling whether it was made for an earlier source; else the failure.
    std::optional<RecordResult> Make(const MailboxLocation &location, bool &madeEarlier)
    {
        madeEarlier = location.mirrorFolder == m_ready;
        if (!madeEarlier && !EnsureFolderExists(location.mirrorFolder)) {
            m_ready.clear();
            return FolderFailure(location.mirrorFolder);
        }
        m_ready = location.mirrorFolder;
        return std::nullopt;
    }

    // Yields and runs `append` in the folder just made. A folder made for an
    // earlier source may have vanished since: when the append fails and the
    // folder is gone, it is made again and the append tried once more.
    template <typename Appender>
    RecordResult Append(const MailboxLocation &location, bool madeEarlier, BatchObserver &observer,
                        Appender &&append)
    {
        RecordResult result;
        for (int attempt = 0; attempt < 2; ++attempt) {
            observer.Yield();
            result = append();
            std::error_code ec;
            if (result.ok || !madeEarlier ||
                std::filesystem::is_directory(std::filesystem::path(location.mirrorFolder), ec))
                break;
            if (!EnsureFolderExists(location.mirrorFolder)) {
                m_ready.clear();
                return FolderFailure(location.mirrorFolder);
            }
            m_ready = location.mirrorFolder;
            madeEarlier = false;
        }
        return result;
    }

private:
    std::string m_ready; // the mirror folder last made sure of
};

class Tally {
public:
    void Count(const std::string &source, const MailboxLocation &location, const RecordResult &result)
    {
        if (result.messages > 0) {
            m_summary.messages += static_cast<std::uint64_t>(result.messages);
            m_mailboxes.insert(location.mailboxPath);
        }
        m_summary.bytesRead += result.bytesRead;
        if (result.ok)
            ++m_summary.sourceFiles;
        else
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

BatchSummary ConvertInTurn(const ConversionRequest &request, BatchObserver &observer, RecordFileIo &io)
{
    Locator locator(request);
    FolderMaker folders;
    Tally tally;
    const std::size_t total = request.sources.size();
    for (std::size_t i = 0; i < total; ++i) {
        const std::string &source = request.sources[i];
        observer.FileStarted(i, total, source);
        const MailboxLocation location = locator.Locate(source);
        bool madeEarlier = false;
        std::optional<RecordResult> result = folders.Make(location, madeEarlier);
        if (!result)
            result = folders.Append(location, madeEarlier, observer, [&] {
                return AppendMailboxRecord(source, location.mailboxPath, &observer, io);
            });
        tally.Count(source, location, *result);
        observer.FileDone(i, total, source, *result);
    }
    return tally.Summary();
}

// What the reading thread hands over for one source.
struct ReadItem {
    MailboxLocation location;
    bool folderReady = false;                  // the reader saw to the mirror folder
    std::optional<RecordResult> folderFailure; // it could not be made
    bool folderMadeEarlier = false;
    std::optional<PreparedSource> prepared; // none: the writer converts the source itself
    std::uint64_t charge = 0;               // memory it is counted for
};

// The sources of a batch read and made into records by a second thread (which
// also makes their mirror folders while the writer is the slower one), and
// handed to the writing thread in order. Header reading (GMime) happens on
// one thread at a time: the reader waits while the writer converts a source
// itself. Each side wakes the other only when it has a batch of work for it,
// not for every source.
class ReadAhead {
public:
    ReadAhead(const ConversionRequest &request, const Locator &locator, const BatchTuning &tuning,
              RecordFileIo &io)
        : m_sources(request.sources), m_locator(locator), m_tuning(tuning), m_io(io)
    {
    }

    // The second thread's work.
    void Run(std::stop_token stop)
    {
        try {
            for (std::size_t index = 0; index < m_sources.size(); ++index) {
                if (!Prepare(index, stop))
                    break;
            }
        } catch (...) {
            // Out of memory: the writer converts what is left itself.
        }
        std::lock_guard lock(m_mutex);
        m_ended = true;
        m_writerWakes.notify_one();
    }

    // The next source's item, in order; nothing when the reader stopped
    // early and the writer has to do the rest itself.
    std::optional<ReadItem> Take()
    {
        std::unique_lock lock(m_mutex);
        WaitForItem(lock);
        if (m_ready.empty())
            return std::nullopt;
        std::optional<ReadItem> item(std::move(m_ready.front()));
        m_ready.pop_front();
        return item;
    }

    // Whether the source after the one taken last goes to `mailboxPath`;
    // nothing when the reader will not tell.
    std::optional<bool> NextGoesTo(const std::string &mailboxPath)
    {
        std::unique_lock lock(m_mutex);
        WaitForItem(lock);
        if (m_ready.empty())
            return std::nullopt;
        return m_ready.front().location.mailboxPath == mailboxPath;
    }

    // The writer is done with the source it took last, whose item held `charge`.
    void Done(std::uint64_t charge)
    {
        std::lock_guard lock(m_mutex);
        ++m_done;
        m_charged -= charge;
        if (m_readerWait != Wait::None && ReaderMayGo())
            m_readerWakes.notify_one();
    }

private:
    enum class Wait { None, Room, Writer };
    static constexpr std::size_t kWakeBatch = 8;

    void WaitForItem(std::unique_lock<std::mutex> &lock)
    {
        if (!m_ready.empty())
            return;
        m_writerWaiting = true;
        m_writerWakes.wait(lock, [this] { return WriterMayGo(); });
        m_writerWaiting = false;
    }

    bool WriterMayGo() const
    {
        return m_ended || m_ready.size() >= kWakeBatch ||
               (!m_ready.empty() && (m_readerWait != Wait::None || !m_ready.back().prepared));
    }

    // Once it had to wait for room, the reader goes on when half the bound
    // is free again, so it is not woken for every source written.
    bool ReaderMayGo() const
    {
        switch (m_readerWait) {
        case Wait::Room:
            return m_charged == 0 || (m_charged <= m_tuning.readAheadBytes / 2 &&
                                      m_charged + m_waitCharge <= m_tuning.readAheadBytes);
        case Wait::Writer:
            return m_done > m_waitIndex;
        case Wait::None:
            break;
        }
        return true;
    }

    // Waits, lock held, until ReaderMayGo; false when asked to stop.
    bool ReaderWait(std::unique_lock<std::mutex> &lock, std::stop_token &stop, Wait wait)
    {
        m_readerWait = wait;
        if (m_writerWaiting && WriterMayGo())
            m_writerWakes.notify_one();
        const bool go = m_readerWakes.wait(lock, stop, [this] { return ReaderMayGo(); });
        m_readerWait = Wait::None;
        return go;
    }

    void Push(ReadItem item)
    {
        std::lock_guard lock(m_mutex);
        m_ready.push_back(std::move(item));
        if (m_writerWaiting && WriterMayGo())
            m_writerWakes.notify_one();
    }

    // False when asked to stop.
    bool Prepare(std::size_t index, std::stop_token &stop)
    {
        ReadItem item;
        item.location = m_locator.Locate(m_sources[index]);
        if (item.location.mirrorFolder != m_lastFolder) {
            // While the writer is the slower one, the reader makes the
            // folders, each one for all the sources that go to it.
            std::lock_guard lock(m_mutex);
            m_makesFolder = m_ready.size() >= kWakeBatch;
            m_lastFolder = item.location.mirrorFolder;
        }
        if (m_makesFolder) {
            // Made ahead of its append, it counts as made earlier, so the
            // append makes it again should it vanish in between.
            item.folderFailure = m_folders.Make(item.location, item.folderMadeEarlier);
            item.folderMadeEarlier = true;
            item.folderReady = true;
            if (item.folderFailure) {
                Push(std::move(item));
                return true;
            }
        }
        std::optional<PreparedSource> source(std::in_place, m_sources[index], m_io);
        if (source->Size() > m_tuning.readAheadLimit) {
            source.reset();
            Push(std::move(item));
            std::unique_lock lock(m_mutex);
            m_waitIndex = index;
            return ReaderWait(lock, stop, Wait::Writer);
        }
        // The reading takes a little over twice the size, and a read buffer.
        const std::uint64_t size = source->Size();
        const std::uint64_t charge = 2 * size + size / 8 + std::min<std::uint64_t>(size, std::uint64_t{1} << 20);
        {
            std::unique_lock lock(m_mutex);
            if (m_charged != 0 && m_charged + charge > m_tuning.readAheadBytes) {
                m_waitCharge = charge;
                if (!ReaderWait(lock, stop, Wait::Room))
                    return false;
            }
            m_charged += charge;
        }
        source->Read();
        item.charge = source->HeldBytes();
        item.prepared.emplace(std::move(*source));
        {
            std::lock_guard lock(m_mutex);
            m_charged = m_charged - charge + item.charge;
        }
        Push(std::move(item));
        return true;
    }

    const std::vector<std::string> &m_sources;
    Locator m_locator;    // the reader's own
    const BatchTuning m_tuning;
    RecordFileIo &m_io;
    FolderMaker m_folders; // the reader's own
    std::string m_lastFolder;  // the mirror folder of the source read last
    bool m_makesFolder = false; // and whether the reader makes it

    std::mutex m_mutex;
    std::condition_variable m_writerWakes;
    std::condition_variable_any m_readerWakes;
    std::deque<ReadItem> m_ready; // read, not yet taken, in source order
    std::size_t m_done = 0;       // sources the writer has finished
    std::uint64_t m_charged = 0;  // memory of the items not yet done
    bool m_ended = false;         // the reader prepares nothing more
    bool m_writerWaiting = false;
    Wait m_readerWait = Wait::None;
    std::uint64_t m_waitCharge = 0; // what the reader waits to have room for
    std::size_t m_waitIndex = 0;    // the source the reader waits for the writer to finish
};

// The records of a source went to a mailbox that was removed while open.
RecordResult Removed(RecordResult result, const std::string &mailboxPath)
{
    result.ok = false;
    result.messages = 0;
    result.errorCode = ENOENT;
    result.error = "cannot write to mailbox '" + mailboxPath + "': " + std::generic_category().message(ENOENT);
    return result;
}

// A failed close of a mailbox at the end of a run of sources: the source
// that ended the run answers for it.
RecordResult CloseFailed(RecordResult result, MailboxFile &mailbox, std::uint64_t lengthBefore, int error)
{
    const std::string reason = std::generic_category().message(error);
    if (!result.ok) {
        result.error += " (closing the mailbox failed too: " + reason + ")";
        return result;
    }
    RecordResult failed;
    failed.bytesRead = result.bytesRead;
    failed.errorCode = error;
    failed.error = "cannot write to mailbox '" + mailbox.Path() + "': " + reason + mailbox.CutBack(lengthBefore);
    return failed;
}

// Under an address-space limit (ulimit -v) glibc's malloc arena for a second
// thread reserves 64 MB at a time; once that fails, every allocation of the
// thread costs a mapping of its own, and GLib (GMime's allocator) ends the
// process when one fails. Both threads share one arena then.
void KeepToOneArenaUnderAMemoryLimit()
{
#ifdef __GLIBC__
    static const bool once = [] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            (void)::mallopt(M_ARENA_MAX, 1);
        return true;
    }();
    (void)once;
#endif
}

BatchSummary ConvertAhead(const ConversionRequest &request, BatchObserver &observer, const BatchTuning &tuning,
                          RecordFileIo &io)
{
    Locator locator(request);
    FolderMaker folders;
    Tally tally;
    ReadAhead ahead(request, locator, tuning, io);
    KeepToOneArenaUnderAMemoryLimit();
    // Declared after what it uses: stopped and joined first on every way out.
    std::jthread reader([&ahead](std::stop_token stop) { ahead.Run(std::move(stop)); });
    std::optional<MailboxFile> mailbox; // open across the sources that go to it

    const std::size_t total = request.sources.size();
    for (std::size_t i = 0; i < total; ++i) {
        const std::string &source = request.sources[i];
        observer.FileStarted(i, total, source);
        std::optional<ReadItem> item = ahead.Take();
        if (!item) {
            // The reader gave up (out of memory): the source is converted here.
            item.emplace();
            item->location = locator.Locate(source);
        }
        if (!item->folderReady)
            item->folderFailure = folders.Make(item->location, item->folderMadeEarlier);
        const MailboxLocation &location = item->location;

        bool wasOpen = false;
        std::uint64_t lengthBefore = 0;
        RecordResult result;
        if (item->folderFailure) {
            result = std::move(*item->folderFailure);
        } else {
            result = folders.Append(location, item->folderMadeEarlier, observer, [&] {
                RecordResult written;
                for (int attempt = 0; attempt < 2; ++attempt) {
                    // A mailbox that is not open has nothing to keep: start
                    // afresh, which also forgets a file whose folder vanished.
                    if (!mailbox || !mailbox->IsOpen() || mailbox->Path() != location.mailboxPath)
                        mailbox.emplace(location.mailboxPath, io);
                    wasOpen = mailbox->IsOpen();
                    lengthBefore = mailbox->Length();
                    written = item->prepared ? item->prepared->WriteTo(*mailbox)
                                             : AppendMailboxRecord(source, *mailbox, &observer);
                    if (!written.ok || !mailbox->WasRemoved())
                        return written;
                    // Removed while open, so the records went nowhere: write
                    // them again to a new file, as an append that opens the
                    // mailbox anew would.
                    mailbox.reset();
                }
                return Removed(std::move(written), location.mailboxPath);
            });
        }
        item->prepared.reset(); // its memory goes back before the reader is told
        ahead.Done(item->charge);

        // The source that ends a run of sources going to one mailbox closes
        // it, and answers for a failed close.
        if (mailbox) {
            bool runEnds = i + 1 == total;
            if (!runEnds) {
                const std::optional<bool> same = ahead.NextGoesTo(mailbox->Path());
                runEnds = same ? !*same : locator.Locate(request.sources[i + 1]).mailboxPath != mailbox->Path();
            }
            if (runEnds) {
                if (const int error = mailbox->Close(); error != 0)
                    result = CloseFailed(std::move(result), *mailbox,
                                         wasOpen ? lengthBefore : mailbox->LengthWhenOpened(), error);
                mailbox.reset();
            }
        }
        tally.Count(source, location, result);
        observer.FileDone(i, total, source, result);
    }
    return tally.Summary();
}

} // namespace

BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer)
{
    RecordFileIo io;
    return ConvertBatch(request, observer, BatchTuning{}, io);
}

BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer, const BatchTuning &tuning,
                          RecordFileIo &io)
{
    // A window follows the lines and may run anything at a yield: one source
    // at a time, nothing open while it yields.
    if (observer.FollowsLines() || request.sources.size() < 2)
        return ConvertInTurn(request, observer, io);
    return ConvertAhead(request, observer, tuning, io);
}

} // namespace tovaly
