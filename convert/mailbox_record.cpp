#include "mailbox_record.h"

#include "error_text.h"
#include "mail_message_reader.h"
#include "message_splitter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

namespace tovaly {

namespace {

constexpr std::size_t kMaxChunk = 1024 * 1024;
constexpr std::size_t kMinChunk = 4096;

void YieldTo(RecordObserver *observer)
{
    if (observer && observer->Yields())
        observer->Yield();
}

// A descriptor that is closed on every way out.
class OpenFile {
public:
    OpenFile(RecordFileIo &io, int fd) : m_io(io), m_fd(fd) {}
    ~OpenFile() { (void)Close(); }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    int Fd() const { return m_fd; }
    // Empty, or the error of a failed close.
    std::error_code Close()
    {
        if (m_fd < 0)
            return {};
        return m_io.Close(std::exchange(m_fd, -1));
    }

private:
    RecordFileIo &m_io;
    int m_fd;
};

// A source opened for reading, or why it could not be.
struct OpenedSource {
    int fd = -1;
    std::uint64_t size = 0;
    std::int64_t fileTime = 0;
    FileStatus status;
    std::error_code errorCode;
    std::string error;
};

OpenedSource OpenSource(RecordFileIo &io, const std::string &path)
{
    OpenedSource source;
    const auto fail = [&](std::error_code error, std::string text) {
        if (source.fd >= 0)
            (void)io.Close(source.fd); // read only: nothing to lose
        source.fd = -1;
        source.errorCode = error ? error : IoError(std::errc::io_error);
        source.error = std::move(text);
        return std::move(source);
    };
    const IoResult<int> opened = io.OpenSource(path);
    if (!opened)
        return fail(opened.error, "cannot open: " + Describe(opened.error));
    source.fd = opened.value;
    if (const std::error_code error = io.Stat(source.fd, source.status))
        return fail(error, "cannot read: " + Describe(error));
    if (source.status.directory)
        return fail(IoError(std::errc::is_a_directory), "a folder, not a message file");
    if (!source.status.regular)
        return fail(IoError(std::errc::invalid_argument), "not a message file");
    source.size = source.status.size;
    source.fileTime = source.status.modified;
    return source;
}

std::size_t ChunkSizeFor(std::uint64_t totalBytes)
{
    // A chunk no larger than the file, so small messages cost a small buffer.
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(totalBytes + 1, kMinChunk, kMaxChunk));
}

// How reading a source ended.
enum class FeedEnd {
    Whole,     // read to the size it had when opened (or the splitter refused more)
    Grew,      // the same, and there is more now: left for the next run
    Shrank,    // it ended before that size: another program cut it
    Stopped,   // the user asked the run to stop
    ReadError, // with the error
};

struct Fed {
    FeedEnd end = FeedEnd::Whole;
    std::error_code error;
};

// Reads the source through the splitter, a `chunk` at a time, up to `size`
// (its size when opened), a read error or the splitter's refusal.
// `bytesRead` counts what was read, a chunk before it is fed.
Fed FeedSource(RecordFileIo &io, int fd, std::span<char> chunk, MessageSplitter &splitter, std::uint64_t size,
               const RecordObserver *observer, std::uint64_t &bytesRead)
{
    while (bytesRead < size) {
        if (observer && observer->StopRequested())
            return {FeedEnd::Stopped, IoError(std::errc::operation_canceled)};
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - bytesRead));
        const IoResult<std::string_view> got = io.ReadView(fd, chunk.first(want));
        if (got.error == std::errc::interrupted)
            continue;
        if (got.error)
            return {FeedEnd::ReadError, got.error};
        if (got.value.empty())
            return {FeedEnd::Shrank, IoError(std::errc::io_error)};
        bytesRead += got.value.size();
        if (!splitter.Feed(got.value))
            return {};
    }
    // One byte more tells whether it grew.
    IoResult<std::size_t> more;
    do {
        more = io.Read(fd, chunk.data(), 1);
    } while (more.error == std::errc::interrupted);
    if (more.error)
        return {FeedEnd::ReadError, more.error};
    return {more.value > 0 ? FeedEnd::Grew : FeedEnd::Whole, {}};
}

// The parts of the record of one message around its text: the From line
// (sender and date read from its header, with the envelope line and the file
// time as fallbacks) and the closing line end(s).
struct RecordFrame {
    std::string fromLine;
    std::string_view closing;
};

// The message's last line gets its line end when the source left it
// without one; then comes the one empty line that closes the record.
std::string_view ClosingOf(std::string_view text, LineEnds lineEnds)
{
    const std::string_view lineEnd = LineEndText(lineEnds);
    const bool needsLineEnd = !text.empty() && !text.ends_with(lineEnd);
    const std::string_view twoLineEnds = lineEnds == LineEnds::CrLf ? "\r\n\r\n" : "\n\n";
    return needsLineEnd ? twoLineEnds : lineEnd;
}

RecordFrame FrameRecord(const SplitMessage &message, std::int64_t fileTime, LineEnds lineEnds)
{
    EnvelopeInfo envelope;
    if (message.envelope) {
        if (auto parsed = ParseEnvelopeLine(*message.envelope))
            envelope = std::move(*parsed);
    }
    MailMessageReader reader;
    (void)reader.LoadMessageBytes(message.text.substr(0, message.headerSize), envelope, fileTime);
    RecordFrame frame;
    const std::string_view lineEnd = LineEndText(lineEnds);
    frame.fromLine =
        "From " + reader.MessageSender() + " " + FormatEnvelopeDate(UnixTimeFromAutomationDate(reader.MessageDate()));
    frame.fromLine += lineEnd;
    frame.closing = ClosingOf(message.text, lineEnds);
    return frame;
}

// Writes the records of one source to a mailbox and takes them all back when
// anything fails. The mailbox is opened and closed around every write, so it
// is never open while the observer yields; an observer that does not yield
// has it kept open from one record to the next (up to the io's HoldLimit).
class RecordAppender {
public:
    RecordAppender(MailboxFile &mailbox, RecordObserver *observer, LineEnds lineEnds, RecordSkipper *skipper)
        : m_mailbox(mailbox), m_observer(observer), m_lineEnds(lineEnds), m_skipper(skipper),
          m_keepOpen(observer && !observer->Yields())
    {
    }

    // Writes `pieces`, which hold `records` whole records.
    bool Write(std::span<std::string_view> pieces, int records)
    {
        if (Stopped())
            return Fail(IoError(std::errc::operation_canceled), Interrupted());
        // Held since this program's last record: its tail is whole.
        const bool tailKnown = m_mailbox.WrittenLastByUs();
        const std::error_code openError = m_mailbox.Open();
        TakeWarnings();
        if (openError)
            return Fail(openError,
                        openError == std::errc::operation_canceled ? Interrupted() : m_mailbox.OpenFailure());
        std::string completion;
        if (!m_mark) {
            // Before this source's first record: where it may be cut back
            // to, and a tail left torn by an earlier run completed first.
            m_mark = m_mailbox.Length();
            if (!tailKnown) {
                if (const IoResult<std::string> tail = m_mailbox.ReadTail()) {
                    const MailboxTail state = CheckMailboxTail(tail.value, m_mailbox.Length());
                    completion = TailCompletion(state, tail.value, m_lineEnds);
                    if (!completion.empty())
                        m_completion = state;
                }
            }
        } else if (m_mailbox.Length() != m_end) {
            // Another program appended between two records of this source:
            // what went before is followed by its mail and stays.
            m_mark = m_mailbox.Length();
            m_stranded += m_sinceMark;
            m_sinceMark = 0;
        }
        std::vector<std::string_view> all;
        if (!completion.empty()) {
            all.reserve(pieces.size() + 1);
            all.push_back(completion);
            all.insert(all.end(), pieces.begin(), pieces.end());
            pieces = all;
        }
        if (const std::error_code error = m_mailbox.Write(pieces))
            return Fail(error, "cannot write to mailbox " + Quoted(m_mailbox.Path()) + ": " + Describe(error));
        m_end = m_mailbox.Length();
        if (!m_keepOpen || m_mailbox.HeldFor(m_mailbox.Io().HoldLimit())) {
            if (const std::error_code closeError = m_mailbox.Close())
                return Fail(closeError,
                            "cannot write to mailbox " + Quoted(m_mailbox.Path()) + ": " + Describe(closeError));
        }
        m_records += records;
        m_sinceMark += records;
        return true;
    }

    // The record of one message cut out while the source is read.
    bool Append(const SplitMessage &message, std::int64_t fileTime)
    {
        if (Stopped())
            return Fail(IoError(std::errc::operation_canceled), Interrupted());
        if (m_skipper) {
            SkipVerdict verdict = m_skipper->Check(message.text, ClosingOf(message.text, m_lineEnds));
            if (verdict.errorCode)
                return Fail(verdict.errorCode, std::move(verdict.error));
            if (verdict.skip) {
                ++m_skipped;
                YieldTo(m_observer);
                return true;
            }
        }
        const RecordFrame frame = FrameRecord(message, fileTime, m_lineEnds);
        YieldTo(m_observer);
        std::array<std::string_view, 3> pieces{frame.fromLine, message.text, frame.closing};
        if (!Write(pieces, 1))
            return false;
        YieldTo(m_observer);
        return true;
    }

    // Fails the whole source for a reason outside the mailbox (a read
    // error): takes back the records already appended.
    void Abandon(std::error_code error, std::string text) { (void)Fail(error, std::move(text)); }

    bool Failed() const { return static_cast<bool>(m_errorCode); }
    const std::error_code &ErrorCode() const { return m_errorCode; }
    const std::string &Error() const { return m_error; }
    int Records() const { return m_records; }
    int Skipped() const { return m_skipped; }

    // The warnings for the report of a source that went in whole.
    std::vector<std::string> Warnings() const
    {
        std::vector<std::string> warnings = m_warnings;
        if (m_completion) {
            const char *added =
                m_completion->state == TailState::MissingLineEnd ? "a line end and an empty line" : "an empty line";
            warnings.push_back("mailbox " + Quoted(m_mailbox.Path()) + " ended inside a record (at byte " +
                               std::to_string(m_completion->offset) + "); added " + added + " before the next record");
        }
        return warnings;
    }

    void Warn(std::string text) { m_warnings.push_back(std::move(text)); }

    // Takes the mailbox's warnings into this source's.
    void TakeWarnings()
    {
        for (std::string &warning : m_mailbox.TakeWarnings())
            m_warnings.push_back(std::move(warning));
    }

private:
    bool Stopped() const { return m_observer && m_observer->StopRequested(); }
    std::string Interrupted() const
    {
        return "interrupted before all its messages were in mailbox " + Quoted(m_mailbox.Path());
    }

    bool Fail(std::error_code error, std::string text)
    {
        if (!m_errorCode) {
            m_errorCode = error ? error : IoError(std::errc::io_error);
            m_error = std::move(text);
        }
        m_records = 0;
        m_sinceMark = 0;
        m_skipped = 0;
        if (m_mark) {
            m_error += m_mailbox.CutBack(*m_mark);
            m_mark.reset();
        }
        (void)m_mailbox.Close();
        if (m_stranded > 0)
            m_error += " (" + std::to_string(m_stranded) +
                       " of its messages stay in the mailbox: another program wrote after them)";
        m_stranded = 0;
        m_completion.reset();
        return false;
    }

    MailboxFile &m_mailbox;
    RecordObserver *m_observer;
    LineEnds m_lineEnds;
    RecordSkipper *m_skipper;
    bool m_keepOpen;
    std::optional<std::uint64_t> m_mark;     // the mailbox length before this source
    std::uint64_t m_end = 0;                 // where this source's last record ended
    std::optional<MailboxTail> m_completion; // a torn tail this source completed
    std::vector<std::string> m_warnings;
    int m_stranded = 0;  // records that stay whatever happens: another program wrote after them
    int m_sinceMark = 0; // records written since m_mark
    int m_records = 0;
    int m_skipped = 0;
    std::error_code m_errorCode;
    std::string m_error;
};

// The failure when not even its message could be built: a text short enough
// to be kept without allocating.
RecordResult OutOfMemory() noexcept
{
    RecordResult bare;
    bare.errorCode = ENOMEM;
    bare.error = "out of memory";
    return bare;
}

RecordResult Failure(RecordResult result, const std::error_code &error, std::string text)
{
    result.ok = false;
    result.messages = 0;
    result.skipped = 0;
    result.errorCode = error ? error.value() : EIO;
    result.error = std::move(text);
    return result;
}

// Runs `convert` and turns what it throws into a failure of the source,
// taking back what `appender` wrote.
template <typename Convert>
RecordResult Guarded(RecordAppender &appender, const std::uint64_t &bytesRead, Convert &&convert)
{
    try {
        try {
            return convert();
        } catch (const std::bad_alloc &) {
            appender.Abandon(IoError(std::errc::not_enough_memory), "not enough memory to convert it");
        } catch (...) {
            appender.Abandon(IoError(std::errc::io_error), "its conversion was interrupted");
        }
        RecordResult result;
        result.bytesRead = bytesRead;
        return Failure(std::move(result), appender.ErrorCode(), appender.Error());
    } catch (...) {
        return OutOfMemory();
    }
}

class RecordRun {
public:
    RecordRun(const std::string &sourcePath, MailboxFile &mailbox, RecordObserver *observer, LineEnds lineEnds,
              RecordSkipper *skipper)
        : m_sourcePath(sourcePath), m_mailbox(mailbox), m_observer(observer), m_io(mailbox.Io()), m_lineEnds(lineEnds),
          m_appender(mailbox, observer, lineEnds, skipper)
    {
    }

    RecordResult Run()
    {
        YieldTo(m_observer);
        OpenedSource opened = OpenSource(m_io, m_sourcePath);
        if (opened.fd < 0)
            return Failure(m_result, opened.errorCode, std::move(opened.error));
        if (!m_mailbox.Exclude(opened.status.device, opened.status.inode)) {
            (void)m_io.Close(opened.fd);
            return Failure(m_result, IoError(std::errc::invalid_argument),
                           "the source is the mailbox " + Quoted(m_mailbox.Path()) + " it would go into");
        }
        OpenFile source(m_io, opened.fd);
        const std::int64_t fileTime = opened.fileTime;
        m_totalBytes = opened.size;
        YieldTo(m_observer);

        const auto lineRead = [this](std::uint64_t bytesSoFar) {
            m_observer->LineRead(bytesSoFar, m_totalBytes);
            YieldTo(m_observer);
        };
        MessageSplitter splitter(
            [this, fileTime](const SplitMessage &message) { return m_appender.Append(message, fileTime); }, m_lineEnds,
            m_totalBytes, m_observer && m_observer->FollowsLines() ? MessageSplitter::LineCounted(lineRead) : nullptr);
        const std::size_t chunkSize = ChunkSizeFor(m_totalBytes);
        const auto chunk = std::make_unique_for_overwrite<char[]>(chunkSize);
        const Fed fed = FeedSource(m_io, source.Fd(), std::span<char>(chunk.get(), chunkSize), splitter, m_totalBytes,
                                   m_observer, m_result.bytesRead);
        (void)source.Close(); // read only: nothing to lose
        YieldTo(m_observer);

        switch (fed.end) {
        case FeedEnd::ReadError:
            m_appender.Abandon(fed.error, "cannot read: " + Describe(fed.error));
            return Failure(m_result, m_appender.ErrorCode(), m_appender.Error());
        case FeedEnd::Shrank:
            m_appender.Abandon(fed.error, "it became shorter while it was read (" + std::to_string(m_result.bytesRead) +
                                              " of its " + std::to_string(m_totalBytes) + " bytes were there)");
            return Failure(m_result, m_appender.ErrorCode(), m_appender.Error());
        case FeedEnd::Stopped:
            m_appender.Abandon(fed.error, "interrupted while it was read");
            return Failure(m_result, m_appender.ErrorCode(), m_appender.Error());
        case FeedEnd::Grew:
            m_appender.Warn("file " + Quoted(m_sourcePath) + " grew while it was read: its first " +
                            std::to_string(m_totalBytes) +
                            " bytes were converted, and what was added is left for the next run");
            break;
        case FeedEnd::Whole:
            break;
        }
        // An empty record would run into the next one in readers that want
        // text after a From line: an empty file gives none, and is no message.
        if (m_result.bytesRead == 0)
            return Failure(m_result, IoError(std::errc::invalid_argument), "the file is empty");
        if (!m_appender.Failed())
            (void)splitter.Finish();
        if (m_appender.Failed())
            return Failure(m_result, m_appender.ErrorCode(), m_appender.Error());

        m_result.ok = true;
        m_result.messages = m_appender.Records();
        m_result.warnings = m_appender.Warnings();
        m_result.skipped = m_appender.Skipped();
        return m_result;
    }

    RecordAppender &Appender() { return m_appender; }
    const std::uint64_t &BytesRead() const { return m_result.bytesRead; }

private:
    const std::string &m_sourcePath;
    MailboxFile &m_mailbox;
    RecordObserver *m_observer;
    RecordFileIo &m_io;
    LineEnds m_lineEnds;
    RecordAppender m_appender;
    RecordResult m_result;
    std::uint64_t m_totalBytes = 0;
};

RecordResult RunGuarded(const std::string &sourcePath, MailboxFile &mailbox, RecordObserver *observer,
                        LineEnds lineEnds, RecordSkipper *skipper)
{
    RecordRun run(sourcePath, mailbox, observer, lineEnds, skipper);
    // Out of memory, or an exception from the observer: take back what this
    // source appended and report it like any other failure.
    return Guarded(run.Appender(), run.BytesRead(), [&] { return run.Run(); });
}

} // namespace

// ---- The tail of a mailbox ---------------------------------------------------

MailboxTail CheckMailboxTail(std::string_view lastBytes, std::uint64_t length)
{
    MailboxTail tail;
    tail.offset = length;
    if (length == 0 || lastBytes.ends_with("\n\n") || lastBytes.ends_with("\n\r\n"))
        tail.state = TailState::Whole;
    else if (lastBytes.ends_with('\n'))
        tail.state = TailState::MissingEmptyLine;
    else
        tail.state = TailState::MissingLineEnd;
    return tail;
}

std::string TailCompletion(const MailboxTail &tail, std::string_view lastBytes, LineEnds lineEnds)
{
    const std::string_view lineEnd = LineEndText(lineEnds);
    switch (tail.state) {
    case TailState::Whole:
        return {};
    case TailState::MissingEmptyLine:
        return std::string(lineEnd);
    case TailState::MissingLineEnd:
        if (lineEnds == LineEnds::CrLf && lastBytes.ends_with('\r'))
            return "\n" + std::string(lineEnd);
        return std::string(lineEnd) + std::string(lineEnd);
    }
    return {};
}

// ---- The entry points --------------------------------------------------------
// RecordFileIo's system calls live in record_file_io_posix.cpp and
// record_file_io_windows.cpp, one of which the build picks.

RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, LineEnds lineEnds)
{
    RecordFileIo io;
    return AppendMailboxRecord(sourcePath, mailboxPath, observer, io, lineEnds);
}

RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, RecordFileIo &io, LineEnds lineEnds, RecordSkipper *skipper)
{
    std::optional<MailboxLocation> location;
    try {
        location = MailboxLocation::At(mailboxPath);
    } catch (...) {
        return OutOfMemory();
    }
    return AppendMailboxRecord(sourcePath, *location, observer, io, lineEnds, skipper);
}

RecordResult AppendMailboxRecord(const std::string &sourcePath, const MailboxLocation &location,
                                 RecordObserver *observer, RecordFileIo &io, LineEnds lineEnds, RecordSkipper *skipper)
{
    std::optional<MailboxFile> mailbox;
    try {
        mailbox.emplace(location, io);
    } catch (...) {
        return OutOfMemory();
    }
    RecordResult result = AppendMailboxRecord(sourcePath, *mailbox, observer, lineEnds, skipper);
    if (const std::error_code closeError = mailbox->Close(); closeError && result.ok)
        result = Failure(std::move(result), closeError,
                         "cannot write to mailbox " + Quoted(mailbox->Path()) + ": " + Describe(closeError));
    return result;
}

RecordResult AppendMailboxRecord(const std::string &sourcePath, MailboxFile &mailbox, RecordObserver *observer,
                                 LineEnds lineEnds, RecordSkipper *skipper)
{
    RecordResult result = RunGuarded(sourcePath, mailbox, observer, lineEnds, skipper);
    // A mailbox this source made and left empty (every record taken back)
    // would read as an empty mailbox in a mail program: it goes again.
    try {
        (void)mailbox.RemoveIfMadeAndEmpty();
    } catch (...) {
        // Out of memory for a message: the empty file stays.
    }
    return result;
}

} // namespace tovaly
