#pragma once
// Appends the messages of one source file to a mailbox file as mbox records:
// "From <sender> <date>", the message text and an empty line, every line
// ended alike (LF, or CR LF). Body lines matching ^>*From  get one more ">"
// (mboxrd).

#include "line_end.h"
#include "message_splitter.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tovaly {

/// Receives the progress of one source file and the points where a window
/// may process its events. Both calls happen on the caller's thread.
class RecordObserver {
public:
    virtual ~RecordObserver() = default;
    /// A point where the caller may let its window handle pending events.
    /// Never called while a mailbox file is open.
    virtual void Yield() {}
    /// Called after every line read. `bytesSoFar` counts the lines read so
    /// far, each with two bytes for its line end, whatever the mailbox is
    /// written with; `totalBytes` is the source size;
    /// `percent` is bytesSoFar / totalBytes * 100 rounded half to even and
    /// capped at 100 (it keeps its last value when totalBytes is 0).
    virtual void LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes, int percent)
    {
        (void)bytesSoFar;
        (void)totalBytes;
        (void)percent;
    }
    /// False when the observer has no use for LineRead and the yields after
    /// each line: the writer then skips them, which a batch without a
    /// display notices in its speed. Asked once per source.
    virtual bool FollowsLines() const { return true; }
};

struct [[nodiscard]] RecordResult {
    bool ok = false;        ///< every message of the source was appended
    int messages = 0;       ///< records appended to the mailbox
    int skipped = 0;        ///< records left out as already there (see RecordSkipper)
    std::uint64_t bytesRead = 0; ///< size of the source read
    int errorCode = 0;      ///< errno of the failure, 0 when ok
    std::string error;      ///< the failure in plain words, empty when ok
};

/// What a RecordSkipper makes of a record.
struct [[nodiscard]] SkipVerdict {
    bool skip = false; ///< leave the record out
    int errorCode = 0; ///< nonzero: fail the source with `error`
    std::string error;
};

/// Tells the record writer which records the mailbox holds already.
class RecordSkipper {
public:
    virtual ~RecordSkipper() = default;
    /// Before the record of a message is written: `text` is the message as
    /// it will be written (line ends rewritten, From lines quoted) and
    /// `closing` the line end(s) written after it. Never called while the
    /// mailbox is open.
    virtual SkipVerdict Check(std::string_view text, std::string_view closing) = 0;
};

/// Percentage of `n` in `m`, rounded half to even and capped at 100; 0 when
/// `m` is 0.
int ProgressPercent(std::uint64_t n, std::uint64_t m);

/// Makes a write past the process's file-size limit fail with "File too
/// large" (and so be cut back and reported) instead of ending the process
/// with SIGXFSZ. Programs call it once at start-up.
void LetOversizeWritesFail();

/// The system calls the record writer makes on its files, with the POSIX
/// meaning (errno set on failure). The default uses the operating system;
/// tests pass one that fails part-way to check that nothing half-written is
/// left in a mailbox.
class RecordFileIo {
public:
    virtual ~RecordFileIo() = default;
    /// Reads up to `size` bytes of the source: bytes read, 0 at its end, or -1.
    virtual std::int64_t Read(int fd, char *buffer, std::size_t size);
    /// Opens a mailbox for appending, creating it when missing: a descriptor, or -1.
    virtual int OpenMailbox(const std::string &path);
    /// Writes a leading part of `pieces`, taken in order: bytes written, or -1.
    virtual std::int64_t Write(int fd, std::span<const std::string_view> pieces);
    /// Closes a descriptor: 0, or -1.
    virtual int Close(int fd);
};

/// A mailbox file taking records. It is opened for appending (and created)
/// on first use; its length is asked of the file system once and then
/// tracked, so the records of a source that fails can be cut off again.
/// Closing it is up to the owner: the destructor closes it too, but without
/// telling of a failure.
class MailboxFile {
public:
    MailboxFile(std::string path, RecordFileIo &io);
    ~MailboxFile();
    MailboxFile(const MailboxFile &) = delete;
    MailboxFile &operator=(const MailboxFile &) = delete;

    const std::string &Path() const { return m_path; }
    RecordFileIo &Io() const { return m_io; }
    bool IsOpen() const { return m_fd >= 0; }

    /// Opens the file unless it is open (and learns its length when not
    /// known): 0, or the errno of the failure.
    [[nodiscard]] int Open();
    /// The length of the file as far as this object knows: what it had when
    /// first opened plus what was written since. Only valid once opened.
    std::uint64_t Length() const { return m_length; }
    /// Writes every byte of `pieces` to the open file: 0, or the errno of the
    /// failure.
    [[nodiscard]] int Write(std::span<const std::string_view> pieces);
    /// Closes the file if open: 0, or the errno of a failed close.
    [[nodiscard]] int Close();
    /// Cuts the file back to `length` (no-op unless it is a regular file that
    /// has been opened). Returns empty, or a note for the error text saying
    /// that the cut failed.
    std::string CutBack(std::uint64_t length);

private:
    std::string m_path;
    RecordFileIo &m_io;
    int m_fd = -1;
    bool m_lengthKnown = false;
    bool m_regular = false;
    std::uint64_t m_length = 0;
};

/// Appends one record per message held in `sourcePath` to `mailboxPath`
/// (created when missing): the From line, the message text with every line
/// end written as `lineEnds`, and one empty line; a last line the source
/// left without a line end gets one. Either every record of the source is
/// appended or none is: on any failure the mailbox is cut back to its
/// previous length. The observer, when given, sees every line read and every
/// point where the caller's window may handle its events; none of them
/// while the mailbox is open. Never throws.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer = nullptr, LineEnds lineEnds = kNativeLineEnds);

/// The same, making its system calls through `io`. With a `skipper`, the
/// records it says the mailbox holds are left out (and counted as skipped).
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, RecordFileIo &io, LineEnds lineEnds = kNativeLineEnds,
                                 RecordSkipper *skipper = nullptr);

} // namespace tovaly
