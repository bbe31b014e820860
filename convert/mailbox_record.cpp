#include "mailbox_record.h"

#include "mail_message_reader.h"
#include "message_splitter.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tovaly {

namespace {

constexpr std::size_t kMaxChunk = 1024 * 1024;
constexpr std::size_t kMinChunk = 4096;

// Called for every line read, so kept cheap: no library rounding call.
inline int PercentOf(std::uint64_t n, std::uint64_t m)
{
    if (m == 0)
        return 0;
    const double value = static_cast<double>(n) / static_cast<double>(m) * 100.0;
    if (!(value < 100.0))
        return 100;
    int percent = static_cast<int>(value); // value >= 0: truncation is floor
    const double fraction = value - percent;
    if (fraction > 0.5 || (fraction == 0.5 && percent % 2 != 0))
        ++percent;
    return percent;
}

std::string Describe(int error)
{
    return std::generic_category().message(error);
}

std::string Quoted(const std::string &path)
{
    return "'" + path + "'";
}

void YieldTo(RecordObserver *observer)
{
    if (observer)
        observer->Yield();
}

// Writes every byte of `pieces`; 0, or the errno of the failure.
int WriteAll(RecordFileIo &io, int fd, std::array<std::string_view, 3> pieces)
{
    std::size_t first = 0;
    while (true) {
        while (first < pieces.size() && pieces[first].empty())
            ++first;
        if (first == pieces.size())
            return 0;
        errno = 0;
        const std::int64_t written = io.Write(fd, std::span<const std::string_view>(pieces).subspan(first));
        if (written < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            return error != 0 ? error : EIO;
        }
        if (written == 0)
            return ENOSPC;
        auto left = static_cast<std::uint64_t>(written);
        while (left > 0 && first < pieces.size()) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, pieces[first].size()));
            pieces[first].remove_prefix(take);
            left -= take;
            if (pieces[first].empty())
                ++first;
        }
    }
}

// A descriptor that is closed on every way out.
class OpenFile {
public:
    OpenFile(RecordFileIo &io, int fd) : m_io(io), m_fd(fd) {}
    ~OpenFile() { (void)Close(); }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;

    int Fd() const { return m_fd; }
    // 0, or the errno of a failed close.
    int Close()
    {
        if (m_fd < 0)
            return 0;
        errno = 0;
        const int result = m_io.Close(m_fd);
        m_fd = -1;
        return result == 0 ? 0 : (errno != 0 ? errno : EIO);
    }

private:
    RecordFileIo &m_io;
    int m_fd;
};

// Appends the records of one source to the mailbox, one open-write-close per
// record, and cuts the mailbox back to where it was when anything fails.
class RecordAppender {
public:
    RecordAppender(const std::string &mailboxPath, RecordFileIo &io, RecordObserver *observer,
                   std::optional<std::int64_t> fileTime)
        : m_path(mailboxPath), m_io(io), m_observer(observer), m_fileTime(fileTime)
    {
    }

    bool Append(const SplitMessage &message)
    {
        EnvelopeInfo envelope;
        if (message.envelope) {
            if (auto parsed = ParseEnvelopeLine(*message.envelope))
                envelope = std::move(*parsed);
        }
        MailMessageReader reader;
        (void)reader.LoadMessageBytes(message.text.substr(0, message.headerSize), envelope, m_fileTime);
        const std::string fromLine =
            "From " + reader.MessageSender() + " " + FormatEnvelopeDate(reader.MessageDate()) + "\r\n";
        const bool needsLineEnd = !message.text.empty() && !message.text.ends_with("\r\n");
        const std::string_view closing = needsLineEnd ? "\r\n\r\n" : "\r\n";
        YieldTo(m_observer);

        OpenFile mailbox(m_io, m_io.OpenMailbox(m_path));
        if (mailbox.Fd() < 0) {
            const int error = errno;
            return Fail(error, "cannot open mailbox " + Quoted(m_path) + ": " + Describe(error));
        }
        if (!m_touched) {
            struct stat status {};
            if (::fstat(mailbox.Fd(), &status) != 0) {
                const int error = errno;
                (void)mailbox.Close();
                return Fail(error, "cannot open mailbox " + Quoted(m_path) + ": " + Describe(error));
            }
            m_touched = true;
            m_canCutBack = S_ISREG(status.st_mode);
            m_initialLength = static_cast<std::uint64_t>(status.st_size);
        }
        if (const int error = WriteAll(m_io, mailbox.Fd(), {fromLine, message.text, closing}); error != 0) {
            (void)mailbox.Close();
            return Fail(error, "cannot write to mailbox " + Quoted(m_path) + ": " + Describe(error));
        }
        if (const int error = mailbox.Close(); error != 0)
            return Fail(error, "cannot write to mailbox " + Quoted(m_path) + ": " + Describe(error));
        ++m_records;
        YieldTo(m_observer);
        return true;
    }

    // Fails the whole source for a reason outside the mailbox (a read
    // error): takes back the records already appended.
    void Abandon(int error, std::string text) { (void)Fail(error, std::move(text)); }

    bool Failed() const { return m_errorCode != 0; }
    int ErrorCode() const { return m_errorCode; }
    const std::string &Error() const { return m_error; }
    int Records() const { return m_records; }

private:
    bool Fail(int error, std::string text)
    {
        if (m_errorCode == 0) {
            m_errorCode = error != 0 ? error : EIO;
            m_error = std::move(text);
        }
        CutBack();
        return false;
    }

    void CutBack()
    {
        m_records = 0;
        if (!m_touched || !m_canCutBack)
            return;
        std::error_code ec;
        std::filesystem::resize_file(m_path, m_initialLength, ec);
        if (ec)
            m_error += " (the mailbox could not be cut back to its previous length: " + ec.message() + ")";
        m_touched = false;
    }

    const std::string &m_path;
    RecordFileIo &m_io;
    RecordObserver *m_observer;
    std::optional<std::int64_t> m_fileTime;
    bool m_touched = false;
    bool m_canCutBack = false;
    std::uint64_t m_initialLength = 0;
    int m_records = 0;
    int m_errorCode = 0;
    std::string m_error;
};

class RecordRun {
public:
    RecordRun(const std::string &sourcePath, const std::string &mailboxPath, RecordObserver *observer,
              RecordFileIo &io)
        : m_sourcePath(sourcePath), m_mailboxPath(mailboxPath), m_observer(observer), m_io(io)
    {
    }

    RecordResult Run()
    {
        YieldTo(m_observer);
        OpenFile source(m_io, ::open(m_sourcePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (source.Fd() < 0) {
            const int error = errno;
            return Failure(error, "cannot open file " + Quoted(m_sourcePath) + ": " + Describe(error));
        }
        struct stat status {};
        if (::fstat(source.Fd(), &status) != 0) {
            const int error = errno;
            return Failure(error, "cannot read file " + Quoted(m_sourcePath) + ": " + Describe(error));
        }
        if (S_ISDIR(status.st_mode))
            return Failure(EISDIR, Quoted(m_sourcePath) + " is a folder, not a message file");
        if (!S_ISREG(status.st_mode))
            return Failure(EINVAL, Quoted(m_sourcePath) + " is not a message file");

        const auto totalBytes = static_cast<std::uint64_t>(status.st_size);
        m_appender.emplace(m_mailboxPath, m_io, m_observer, static_cast<std::int64_t>(status.st_mtime));
        YieldTo(m_observer);

        m_totalBytes = totalBytes;
        const auto lineRead = [this](std::uint64_t bytesSoFar) {
            if (m_totalBytes > 0)
                m_percent = PercentOf(bytesSoFar, m_totalBytes);
            m_observer->LineRead(bytesSoFar, m_totalBytes, m_percent);
            m_observer->Yield();
        };
        MessageSplitter splitter([this](const SplitMessage &message) { return m_appender->Append(message); },
                                 totalBytes,
                                 m_observer && m_observer->FollowsLines() ? MessageSplitter::LineCounted(lineRead)
                                                                          : nullptr);

        // A chunk no larger than the file, so small messages cost a small buffer.
        const auto chunkSize =
            static_cast<std::size_t>(std::clamp<std::uint64_t>(totalBytes + 1, kMinChunk, kMaxChunk));
        const auto chunk = std::make_unique_for_overwrite<char[]>(chunkSize);
        int readError = 0;
        while (true) {
            errno = 0;
            const std::int64_t got = m_io.Read(source.Fd(), chunk.get(), chunkSize);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                readError = errno != 0 ? errno : EIO;
                break;
            }
            if (got == 0)
                break;
            m_result.bytesRead += static_cast<std::uint64_t>(got);
            const std::string_view bytes(chunk.get(), static_cast<std::size_t>(got));
            if (!splitter.Feed(bytes))
                break;
        }
        (void)source.Close(); // read only: nothing to lose
        YieldTo(m_observer);

        if (readError != 0)
            return Abandon(readError, "cannot read file " + Quoted(m_sourcePath) + ": " + Describe(readError));
        if (!m_appender->Failed())
            (void)splitter.Finish();
        if (m_appender->Failed())
            return Failure(m_appender->ErrorCode(), m_appender->Error());

        m_result.ok = true;
        m_result.messages = m_appender->Records();
        return m_result;
    }

    // Gives up on the source: nothing of it stays in the mailbox.
    RecordResult Abandon(int error, std::string text)
    {
        if (!m_appender)
            return Failure(error, std::move(text));
        m_appender->Abandon(error, std::move(text));
        return Failure(m_appender->ErrorCode(), m_appender->Error());
    }

private:
    RecordResult Failure(int error, std::string text)
    {
        m_result.ok = false;
        m_result.messages = 0;
        m_result.errorCode = error != 0 ? error : EIO;
        m_result.error = std::move(text);
        return m_result;
    }

    const std::string &m_sourcePath;
    const std::string &m_mailboxPath;
    RecordObserver *m_observer;
    RecordFileIo &m_io;
    std::optional<RecordAppender> m_appender;
    RecordResult m_result;
    std::uint64_t m_totalBytes = 0;
    int m_percent = 0;
};

} // namespace

std::int64_t RecordFileIo::Read(int fd, char *buffer, std::size_t size)
{
    return ::read(fd, buffer, size);
}

int RecordFileIo::OpenMailbox(const std::string &path)
{
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
}

std::int64_t RecordFileIo::Write(int fd, std::span<const std::string_view> pieces)
{
    std::array<iovec, 8> vectors{};
    const std::size_t count = std::min(pieces.size(), vectors.size());
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<char *>(pieces[i].data());
        vectors[i].iov_len = pieces[i].size();
    }
    return ::writev(fd, vectors.data(), static_cast<int>(count));
}

int RecordFileIo::Close(int fd)
{
    return ::close(fd);
}

int ProgressPercent(std::uint64_t n, std::uint64_t m)
{
    return PercentOf(n, m);
}

RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer)
{
    RecordFileIo io;
    return AppendMailboxRecord(sourcePath, mailboxPath, observer, io);
}

RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, RecordFileIo &io)
{
    RecordRun run(sourcePath, mailboxPath, observer, io);
    // Out of memory, or an exception from the observer: take back what this
    // source appended and report it like any other failure.
    try {
        try {
            return run.Run();
        } catch (const std::bad_alloc &) {
            return run.Abandon(ENOMEM, "not enough memory to convert " + Quoted(sourcePath));
        } catch (...) {
            return run.Abandon(EIO, "the conversion of " + Quoted(sourcePath) + " was interrupted");
        }
    } catch (...) {
        RecordResult bare;
        bare.errorCode = ENOMEM;
        return bare;
    }
}

} // namespace tovaly
