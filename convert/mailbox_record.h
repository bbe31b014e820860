#pragma once
// Appends the messages of one source file to a mailbox file as mbox records:
// "From <sender> <date>" CR LF, the message text with CR LF line ends, and
// an empty line. Body lines matching ^>*From  get one more ">" (mboxrd).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

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
    /// far as written, each with a CR LF; `totalBytes` is the source size;
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
    std::uint64_t bytesRead = 0; ///< size of the source read
    int errorCode = 0;      ///< errno of the failure, 0 when ok
    std::string error;      ///< the failure in plain words, empty when ok
};

/// Percentage of `n` in `m`, rounded half to even and capped at 100; 0 when
/// `m` is 0.
int ProgressPercent(std::uint64_t n, std::uint64_t m);

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

/// Appends one record per message held in `sourcePath` to `mailboxPath`
/// (created when missing). Either every record of the source is appended or
/// none is: on any failure the mailbox is cut back to its previous length.
/// The observer, when given, sees every line read and every point where the
/// caller's window may handle its events; none of them while the mailbox is
/// open. Never throws.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer = nullptr);

/// The same, making its system calls through `io`.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, RecordFileIo &io);

} // namespace tovaly
