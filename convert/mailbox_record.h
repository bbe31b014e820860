#pragma once
// Appends the messages of one source file to a mailbox file as mbox records:
// "From <sender> <date>", the message text and an empty line, every line
// ended alike (LF, or CR LF). Body lines matching ^>*From  get one more ">"
// (mboxrd).

#include "line_end.h"
#include "message_splitter.h"
#include "output_layout.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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
    bool ok = false;             ///< every message of the source was appended
    int messages = 0;            ///< records appended to the mailbox
    int skipped = 0;             ///< records left out as already there (see RecordSkipper)
    std::uint64_t bytesRead = 0; ///< size of the source read
    int errorCode = 0;           ///< errno of the failure, 0 when ok
    std::string error;           ///< the failure in plain words, empty when ok
    /// What the writer did besides appending that the user should hear of,
    /// in plain words (a torn mailbox completed, say); kept only when ok.
    std::vector<std::string> warnings;
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

/// What the record writer asks of an open file.
struct FileStatus {
    bool regular = false;   ///< a plain file (not a folder, FIFO, device ...)
    bool directory = false; ///< a folder
    std::uint64_t size = 0;
    std::int64_t modified = 0; ///< seconds since 1970
    std::uint64_t device = 0;  ///< with `inode`, which file this is
    std::uint64_t inode = 0;
};

/// How long a mailbox that another program holds locked is waited for.
inline constexpr std::chrono::milliseconds kMailboxLockWait{10000};

/// Every file-system call the record writer makes, with the POSIX meaning
/// (-1 with errno set on failure). The default uses the operating system;
/// tests pass one that fails part-way to check that nothing half-written is
/// left in a mailbox. A port to another system replaces this one class.
class RecordFileIo {
public:
    explicit RecordFileIo(std::chrono::milliseconds lockWait = kMailboxLockWait) : m_lockWait(lockWait) {}
    virtual ~RecordFileIo();
    RecordFileIo(const RecordFileIo &) = delete;
    RecordFileIo &operator=(const RecordFileIo &) = delete;
    /// Opens a source for reading without blocking on a FIFO: a descriptor, or -1.
    virtual int OpenSource(const std::string &path);
    /// Reads up to `size` bytes of the source: bytes read, 0 at its end, or -1.
    virtual std::int64_t Read(int fd, char *buffer, std::size_t size);
    /// Reads up to `size` bytes at `offset` without moving the file position.
    virtual std::int64_t ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset);
    /// Creates `folder` and every missing folder above it, where `folder`
    /// begins with the output folder `root`. The root is made as
    /// EnsureFolderExists makes it and may be a symbolic link (the user named
    /// it); the folders below it are opened and made one at a time without
    /// following a link, so a link there fails with ELOOP and `link` names it.
    virtual FolderMade MakeFolders(const std::string &root, const std::string &folder, std::string *link = nullptr);
    /// Opens a mailbox for appending, creating it when missing, without
    /// blocking on a FIFO: a descriptor, or -1. When `root` is not empty,
    /// `path` begins with it, and neither a folder below `root` on the way
    /// nor the mailbox itself may be a symbolic link (-1 with ELOOP), so the
    /// mailbox never lies outside the output folder.
    virtual int OpenMailbox(const std::string &path, const std::string &root);
    /// Opens an existing mailbox for cutting it back, never creating it;
    /// `root` as for OpenMailbox.
    virtual int ReopenMailbox(const std::string &path, const std::string &root);
    /// Fills `status` for an open descriptor: 0, or -1.
    virtual int Stat(int fd, FileStatus &status);
    /// Takes the write lock on the whole file, waiting up to the lock wait
    /// while another program holds it: 0, or -1 with EWOULDBLOCK when it was
    /// not freed in time.
    virtual int Lock(int fd);
    /// Cuts the file back to `length` bytes: 0, or -1.
    virtual int Truncate(int fd, std::uint64_t length);
    /// Writes a leading part of `pieces`, taken in order: bytes written, or -1.
    virtual std::int64_t Write(int fd, std::span<const std::string_view> pieces);
    /// Closes a descriptor (and drops its lock): 0, or -1.
    virtual int Close(int fd);

    std::chrono::milliseconds LockWait() const { return m_lockWait; }

private:
    int Walk(const std::string &root, std::span<const std::string_view> names, bool make, std::size_t &reached);
    int WalkFromWhereItWas(const std::string &root, std::span<const std::string_view> names, bool make,
                           std::size_t &reached, bool &reused);
    int OpenBelow(const std::string &root, const std::string &path, int flags, int fallbackFlags);
    void ForgetWalk();

    std::chrono::milliseconds m_lockWait;
    // The folders from an output folder down to the one last walked to, each
    // open, so the next walk opens only the names it does not share with
    // this one: the output folder (with an empty name) first.
    std::string m_walkRoot;
    std::vector<std::pair<std::string, int>> m_walk;
};

/// How a mailbox ends, seen from its last bytes.
enum class TailState {
    Whole,            ///< empty, or a line end and an empty line after the last record
    MissingLineEnd,   ///< the last line has no line end
    MissingEmptyLine, ///< the last line is ended, but no empty line follows
};

struct MailboxTail {
    TailState state = TailState::Whole;
    std::uint64_t offset = 0; ///< where the missing bytes go: the mailbox length
};

/// Looks at the last bytes of a mailbox of `length` bytes (up to four are
/// enough; `lastBytes` holds its final min(length, n) bytes). Either line-end
/// form counts.
MailboxTail CheckMailboxTail(std::string_view lastBytes, std::uint64_t length);

/// What to write after `lastBytes` so the next record starts on its own
/// line after an empty one (empty when the tail is whole). A CR that ends
/// the file is taken as half a CR LF when `lineEnds` is CR LF.
std::string TailCompletion(const MailboxTail &tail, std::string_view lastBytes, LineEnds lineEnds);

/// A mailbox file taking records. It is opened for appending (and created)
/// on use and locked while open; every time it is opened its length is
/// asked of the file system under the lock and then tracked, so what this
/// object wrote can be cut off again, and only that.
/// Closing it is up to the owner: the destructor closes it too, but without
/// telling of a failure.
class MailboxFile {
public:
    /// With a `root`, the mailbox is opened only inside that output folder
    /// (see RecordFileIo::OpenMailbox).
    MailboxFile(std::string path, RecordFileIo &io, std::string root = {});
    ~MailboxFile();
    MailboxFile(const MailboxFile &) = delete;
    MailboxFile &operator=(const MailboxFile &) = delete;

    const std::string &Path() const { return m_path; }
    RecordFileIo &Io() const { return m_io; }
    bool IsOpen() const { return m_fd >= 0; }

    /// Refuse to write into this file (device and inode): the source being read.
    void Exclude(std::uint64_t device, std::uint64_t inode)
    {
        m_excluded = true;
        m_excludedDevice = device;
        m_excludedInode = inode;
    }

    /// Opens and locks the file unless it is open, and learns its length:
    /// 0, or the errno of the failure, with OpenFailure() in plain words.
    [[nodiscard]] int Open();
    /// Why the last Open failed, in plain words.
    const std::string &OpenFailure() const { return m_openFailure; }
    /// The length of the file: what it had when last opened plus what was
    /// written since. Only valid once opened.
    std::uint64_t Length() const { return m_length; }
    /// Reads the last bytes (up to four) of the open file.
    [[nodiscard]] int ReadTail(std::string &tail);
    /// Writes every byte of `pieces` to the open file: 0, or the errno of the
    /// failure.
    [[nodiscard]] int Write(std::span<const std::string_view> pieces);
    /// Closes the file if open: 0, or the errno of a failed close.
    [[nodiscard]] int Close();
    /// Cuts the file back to `length`, but only while it still ends where
    /// this object last left it (nobody else wrote since); opens it again
    /// when closed. Returns empty, or a note for the error text saying that
    /// the cut failed or was not made.
    std::string CutBack(std::uint64_t length);

private:
    int OpenWith(int fd);

    std::string m_path;
    RecordFileIo &m_io;
    std::string m_root;
    int m_fd = -1;
    bool m_lengthKnown = false;
    std::uint64_t m_length = 0;
    bool m_excluded = false;
    std::uint64_t m_excludedDevice = 0;
    std::uint64_t m_excludedInode = 0;
    std::string m_openFailure;
};

/// Appends one record per message held in `sourcePath` to `mailboxPath`
/// (created when missing): the From line, the message text with every line
/// end written as `lineEnds`, and one empty line; a last line the source
/// left without a line end gets one. Either every record of the source is
/// appended or none is: on any failure the mailbox is cut back to its
/// previous length. An empty source holds no message and fails with "the
/// file is empty". The observer, when given, sees every line read and every
/// point where the caller's window may handle its events; none of them
/// while the mailbox is open. Never throws.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer = nullptr, LineEnds lineEnds = kNativeLineEnds);

/// The same, making its system calls through `io`. With a `skipper`, the
/// records it says the mailbox holds are left out (and counted as skipped).
/// With an `outputRoot` (which `mailboxPath` begins with), the mailbox is
/// written only when no symbolic link below that folder leads to it.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, RecordFileIo &io, LineEnds lineEnds = kNativeLineEnds,
                                 RecordSkipper *skipper = nullptr, const std::string &outputRoot = {});

} // namespace tovaly
