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
#include <functional>
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
    /// False when Yield does nothing (no window to serve): the writer then
    /// never calls it, and keeps a mailbox open and locked across the
    /// records (and, in a batch, the sources) bound for it one after
    /// another, letting go of it at least every RecordFileIo::HoldLimit so that a
    /// mail program waiting for it gets its turn.
    virtual bool Yields() const { return true; }
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
    /// True once the user asked the run to stop (Ctrl-C, say): the writer
    /// then takes back the records of the source it is writing and fails it
    /// with ECANCELED, and gives up waiting for a mailbox lock. Asked
    /// between records and between reads.
    virtual bool StopRequested() const { return false; }
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

/// How long a mailbox is held open and locked at most, by default, while
/// records go in one after another (see RecordObserver::Yields).
inline constexpr std::chrono::milliseconds kMailboxHoldLimit{1000};

/// A lock file NAME.lock older than this, beside a mailbox that has not
/// changed for as long, is taken to be left by a program that died, and is
/// taken over.
inline constexpr std::chrono::seconds kStaleDotlockAge{300};

/// Every file-system call the record writer makes, with the POSIX meaning
/// (-1 with errno set on failure). The default uses the operating system;
/// tests pass one that fails part-way to check that nothing half-written is
/// left in a mailbox. A port to another system replaces this one class.
class RecordFileIo {
public:
    explicit RecordFileIo(std::chrono::milliseconds lockWait = kMailboxLockWait,
                          std::chrono::milliseconds holdLimit = kMailboxHoldLimit)
        : m_lockWait(lockWait), m_holdLimit(holdLimit)
    {
    }
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
    /// blocking on a FIFO: a descriptor, or -1; `created` (when given) says
    /// whether this call made the file. When `root` is not empty,
    /// `path` begins with it, and neither a folder below `root` on the way
    /// nor the mailbox itself may be a symbolic link (-1 with ELOOP), so the
    /// mailbox never lies outside the output folder.
    virtual int OpenMailbox(const std::string &path, const std::string &root, bool *created = nullptr);
    /// Opens an existing mailbox for cutting it back, never creating it;
    /// `root` as for OpenMailbox.
    virtual int ReopenMailbox(const std::string &path, const std::string &root);
    /// Fills `status` for an open descriptor: 0, or -1.
    virtual int Stat(int fd, FileStatus &status);
    /// Tries once to take the write locks on the whole open file that mail
    /// programs take besides the lock file (fcntl, and flock where the
    /// system has it; LockFileEx on Windows): 0, or -1 with EWOULDBLOCK
    /// while another program holds one of them (none is then held).
    virtual int TryLock(int fd);
    /// Tries once to make the lock file of the mailbox `path`: NAME.lock
    /// beside it, created exclusively (`root` as for OpenMailbox). A lock
    /// file left by a program that died (see kStaleDotlockAge) is taken
    /// over. 0; -1 with EEXIST while another program holds it; -1 with
    /// another errno when it cannot be made there. Systems whose mail
    /// programs lock otherwise (Windows) make none and return 0.
    virtual int TryDotlock(const std::string &path, const std::string &root);
    /// Removes the lock file TryDotlock made: 0, or -1.
    virtual int RemoveDotlock(const std::string &path, const std::string &root);
    /// Removes the mailbox `path`, but only while that name still leads to
    /// the file `fd` is open on: 0, or -1 (ESTALE, ENOENT on Windows, when it
    /// leads elsewhere).
    virtual int RemoveMailbox(int fd, const std::string &path, const std::string &root);
    /// Cuts the file back to `length` bytes: 0, or -1.
    virtual int Truncate(int fd, std::uint64_t length);
    /// Writes a leading part of `pieces`, taken in order: bytes written, or -1.
    virtual std::int64_t Write(int fd, std::span<const std::string_view> pieces);
    /// Closes a descriptor (and drops its lock): 0, or -1.
    virtual int Close(int fd);

    std::chrono::milliseconds LockWait() const { return m_lockWait; }
    /// How long a mailbox is held open and locked at most while records go
    /// in one after another (see RecordObserver::Yields).
    std::chrono::milliseconds HoldLimit() const { return m_holdLimit; }
    /// Asked while a lock is waited for: true gives up the wait (ECANCELED).
    void SetStopCheck(std::function<bool()> stopRequested) { m_stopRequested = std::move(stopRequested); }
    bool StopRequested() const { return m_stopRequested && m_stopRequested(); }
    /// True the first time only: a lock file that could not be made is
    /// reported once per run.
    bool FirstDotlockRefusal() { return !std::exchange(m_dotlockRefused, true); }

private:
    int Walk(const std::string &root, std::span<const std::string_view> names, bool make, std::size_t &reached);
    int WalkFromWhereItWas(const std::string &root, std::span<const std::string_view> names, bool make,
                           std::size_t &reached, bool &reused);
    int OpenBelow(const std::string &root, const std::string &path, int flags, int fallbackFlags);
    int FolderOf(const std::string &root, const std::string &path, std::string &name);
    void ForgetWalk();

    std::chrono::milliseconds m_lockWait;
    std::chrono::milliseconds m_holdLimit;
    std::function<bool()> m_stopRequested;
    bool m_dotlockRefused = false;
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

    /// Refuse to write into this file (device and inode): the source being
    /// read. False when the file is open and is that one.
    bool Exclude(std::uint64_t device, std::uint64_t inode)
    {
        m_excluded = true;
        m_excludedDevice = device;
        m_excludedInode = inode;
        return m_fd < 0 || device != m_device || inode != m_inode;
    }
    /// Whether it has been open (and locked) for `limit` or longer.
    bool HeldFor(std::chrono::steady_clock::duration limit) const
    {
        return m_fd >= 0 && std::chrono::steady_clock::now() - m_openedAt >= limit;
    }
    /// Whether nobody can have written to it since this object last did:
    /// it has stayed open (and locked) since then.
    bool WrittenLastByUs() const { return m_fd >= 0 && m_wroteSinceOpen; }

    /// Opens and locks the file unless it is open, and learns its length:
    /// 0, or the errno of the failure, with OpenFailure() in plain words.
    /// The locks are those mail programs take: the lock file NAME.lock,
    /// then the locks on the file itself (RecordFileIo::TryLock), waited
    /// for up to the lock wait all told; a file this call creates gets the
    /// latter only.
    [[nodiscard]] int Open();
    /// The same for a file that is there already: ENOENT, and no file made,
    /// when there is none.
    [[nodiscard]] int OpenExisting();
    /// Why the last Open failed, in plain words.
    const std::string &OpenFailure() const { return m_openFailure; }
    /// What the user should hear of besides a failure (a lock file that
    /// could not be made), taken once.
    std::vector<std::string> TakeWarnings() { return std::exchange(m_warnings, {}); }
    /// Reads up to `size` bytes at `offset` of the open file: bytes read, 0
    /// at its end, or -1 with errno.
    std::int64_t ReadAt(char *buffer, std::size_t size, std::uint64_t offset);
    /// Removes the file when this object made it and it is still empty
    /// and still that file, as a source that wrote no record leaves it.
    /// Returns whether it was removed.
    bool RemoveIfMadeAndEmpty();
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
    int OpenWith(int fd, bool dotlock);
    int TakeLocks(int fd, bool dotlock);
    void DropDotlock();

    std::string m_path;
    RecordFileIo &m_io;
    std::string m_root;
    int m_fd = -1;
    bool m_lengthKnown = false;
    std::uint64_t m_length = 0;
    bool m_excluded = false;
    std::uint64_t m_excludedDevice = 0;
    std::uint64_t m_excludedInode = 0;
    std::uint64_t m_device = 0; // of the file while open
    std::uint64_t m_inode = 0;
    std::chrono::steady_clock::time_point m_openedAt;
    bool m_wroteSinceOpen = false;
    std::string m_openFailure;
    std::vector<std::string> m_warnings;
    bool m_dotlocked = false;
    bool m_dotlockRefused = false; // no lock file can be made beside it
    bool m_made = false;           // this object created the file ...
    std::uint64_t m_madeDevice = 0;
    std::uint64_t m_madeInode = 0; // ... which is this one
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

/// The same into `mailbox`, which the caller keeps for the next source
/// bound for it: when the observer does not yield, the mailbox may be left
/// open (and locked) at the end, for the caller to close.
RecordResult AppendMailboxRecord(const std::string &sourcePath, MailboxFile &mailbox, RecordObserver *observer,
                                 LineEnds lineEnds = kNativeLineEnds, RecordSkipper *skipper = nullptr);

} // namespace tovaly
