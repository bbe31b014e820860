#pragma once
// Every file-system call the record writer makes, behind one class that
// each operating system's file implements (record_file_io_posix.cpp,
// record_file_io_windows.cpp) and tests replace to make calls fail.

#include "output_layout.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tovaly {

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

} // namespace tovaly
