#pragma once
// Every file-system call the record writer makes, behind one class that
// each operating system's file implements (record_file_io_posix.cpp,
// record_file_io_windows.cpp) and tests replace to make calls fail.

#include "output_layout.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
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
    std::uint64_t links = 0; ///< names the file has (hard links)
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

/// What a call gives back (a descriptor, a byte count, the last bytes of a
/// file), or the error that stopped it.
template <typename T>
struct [[nodiscard]] IoResult {
    T value{};
    std::error_code error;
    explicit operator bool() const { return !error; }
};

/// An error of the generic category: `std::errc` values compare equal to it,
/// and its value() is the errno a failure is reported with.
inline std::error_code IoError(std::errc error)
{
    return std::make_error_code(error);
}

/// Every file-system call the record writer makes. Each one returns the
/// error that stopped it (of the generic category; an empty one on
/// success), and what the system keeps of its own (errno, GetLastError)
/// stays inside the file of that system. The default uses the operating
/// system; tests pass one that fails part-way to check that nothing
/// half-written is left in a mailbox. A port to another system replaces
/// this one class.
class RecordFileIo {
public:
    explicit RecordFileIo(std::chrono::milliseconds lockWait = kMailboxLockWait,
                          std::chrono::milliseconds holdLimit = kMailboxHoldLimit);
    virtual ~RecordFileIo();
    RecordFileIo(const RecordFileIo &) = delete;
    RecordFileIo &operator=(const RecordFileIo &) = delete;
    /// Opens a source for reading without blocking on a FIFO: a descriptor.
    virtual IoResult<int> OpenSource(const std::string &path);
    /// Reads up to `size` bytes of the source: bytes read, 0 at its end.
    virtual IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size);
    /// Reads the next bytes of the source, up to `scratch.size()`: a view of
    /// them, empty at its end. They are in `scratch` or in a buffer of the
    /// io's own that stays valid until the next call for `fd`.
    virtual IoResult<std::string_view> ReadView(int fd, std::span<char> scratch);
    /// Reads up to `size` bytes at `offset` without moving the file position.
    virtual IoResult<std::size_t> ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset);
    /// Creates the folders of `location` that are missing, and its root.
    /// The root is made as EnsureFolderExists makes it and may be a
    /// symbolic link (the user named it); the folders below it are made and
    /// checked one at a time, never through a link, so a link there fails
    /// with ELOOP and `link` names it.
    FolderMade MakeFolders(const MailboxLocation &location, std::string *link = nullptr);
    /// Opens the mailbox of `location` for appending, creating it when
    /// missing, without blocking on a FIFO; `created` (when given) says
    /// whether this call made the file. Below a root, neither a folder on
    /// the way nor the mailbox itself may be a symbolic link (ELOOP), so the
    /// mailbox never lies outside the output folder; a name that is empty,
    /// "." or ".." or holds a separator fails with EINVAL.
    virtual IoResult<int> OpenMailbox(const MailboxLocation &location, bool *created = nullptr);
    /// Opens an existing mailbox for cutting it back, never creating it.
    virtual IoResult<int> ReopenMailbox(const MailboxLocation &location);
    /// Fills `status` for an open descriptor.
    virtual std::error_code Stat(int fd, FileStatus &status);
    /// Tries once to take the write locks on the whole open file that mail
    /// programs take besides the lock file (fcntl, and flock where the
    /// system has it; LockFileEx on Windows): EWOULDBLOCK while another
    /// program holds one of them (none is then held).
    virtual std::error_code TryLock(int fd);
    /// Tries once to make the lock file of the mailbox: NAME.lock beside it,
    /// created exclusively. A lock file left by a program that died (see
    /// kStaleDotlockAge) is taken over. EEXIST while another program holds
    /// it; another error when it cannot be made there. Systems whose mail
    /// programs lock otherwise (Windows) make none and succeed.
    virtual std::error_code TryDotlock(const MailboxLocation &location);
    /// Removes the lock file TryDotlock made.
    virtual std::error_code RemoveDotlock(const MailboxLocation &location);
    /// Removes the mailbox, but only while its name still leads to the file
    /// `fd` is open on (ESTALE, ENOENT on Windows, when it leads elsewhere).
    virtual std::error_code RemoveMailbox(int fd, const MailboxLocation &location);
    /// Cuts the file back to `length` bytes.
    virtual std::error_code Truncate(int fd, std::uint64_t length);
    /// Writes a leading part of `pieces`, taken in order: bytes written.
    virtual IoResult<std::size_t> Write(int fd, std::span<const std::string_view> pieces);
    /// Closes a descriptor (and drops its lock).
    virtual std::error_code Close(int fd);

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
    struct SystemState;

    /// Checks (with `make`, creates) the folders of `location` below its
    /// root, one name at a time, never through a link: empty, or the error
    /// with `reached` the index of the folder that failed.
    std::error_code WalkFolders(const MailboxLocation &location, bool make, std::size_t &reached);

    std::chrono::milliseconds m_lockWait;
    std::chrono::milliseconds m_holdLimit;
    std::function<bool()> m_stopRequested;
    bool m_dotlockRefused = false;
    std::unique_ptr<SystemState> m_system; // what the system's file keeps between calls
};

/// Whether every name of `location` is one name of the folder it lies in:
/// not empty, not "." or "..", no separator. Its file name may be empty
/// (for its folders alone); a location without a root is not checked.
bool NamesStayBelowRoot(const MailboxLocation &location);

} // namespace tovaly
