// RecordFileIo on POSIX systems: open(2) with O_APPEND, writev(2), the
// locks mail programs take (a NAME.lock file linked into place, an fcntl
// write lock and flock) and ftruncate(2); below the output folder, folders,
// mailboxes and lock files are reached one name at a time with openat(2)
// and O_NOFOLLOW.

#include "output_layout.h"
#include "record_file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>
#ifdef __linux__
#include <sys/vfs.h>
#endif

namespace tovaly {

// ---- Files below the output folder -------------------------------------------

namespace {

// What the folder descriptors are opened with: only a way to name what lies
// in them, so a folder that may be entered but not listed is passed too.
#ifdef O_PATH
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Opens `name` in the folder `dir` as a folder, never through a link: a
// descriptor, or -1 with errno, ELOOP when `name` is a symbolic link.
int OpenFolderAt(int dir, const std::string &name)
{
    const int fd = ::openat(dir, name.c_str(), kFolderFlags | O_NOFOLLOW);
    if (fd >= 0)
        return fd;
    int error = errno;
    struct stat info {};
    if (error != ENOENT && ::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
        error = ELOOP;
    errno = error;
    return -1;
}

std::string HostName()
{
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) != 0)
        return {};
    return std::string(name.data());
}

// What a lock file holds: "PID:HOST", as Dovecot writes it.
std::string DotlockText()
{
    return std::to_string(::getpid()) + ":" + HostName() + "\n";
}

// Whether the process a lock file names is known to be gone: it names this
// host, and no process has its number.
bool WriterIsGone(int dir, const std::string &lockName)
{
    const int fd = ::openat(dir, lockName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::array<char, 300> text{};
    const ssize_t got = ::read(fd, text.data(), text.size() - 1);
    ::close(fd);
    if (got <= 0)
        return false;
    const std::string_view held(text.data(), static_cast<std::size_t>(got));
    const auto colon = held.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    long long pid = 0;
    for (const char c : held.substr(0, colon)) {
        if (c < '0' || c > '9' || pid > 100000000)
            return false;
        pid = pid * 10 + (c - '0');
    }
    std::string_view host = held.substr(colon + 1);
    while (!host.empty() && (host.back() == '\n' || host.back() == '\r'))
        host.remove_suffix(1);
    if (pid <= 0 || host != HostName())
        return false;
    return ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// Whether the lock file `lockName` beside the mailbox `mailboxName` in
// `dir` was left by a program that died: it names a process of this host
// that is gone, or neither it nor the mailbox has changed for
// kStaleDotlockAge. `seen` is what the lock file was found to be.
bool DotlockIsStale(int dir, const std::string &lockName, const std::string &mailboxName, struct stat &seen)
{
    if (::fstatat(dir, lockName.c_str(), &seen, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(seen.st_mode))
        return false;
    if (WriterIsGone(dir, lockName))
        return true;
    const auto now = static_cast<long long>(std::time(nullptr));
    const long long limit = kStaleDotlockAge.count();
    if (now - static_cast<long long>(seen.st_mtime) <= limit)
        return false;
    struct stat mailbox {};
    return ::fstatat(dir, mailboxName.c_str(), &mailbox, AT_SYMLINK_NOFOLLOW) != 0 ||
           now - static_cast<long long>(mailbox.st_mtime) > limit;
}

// Whether flock there is a lock of its own: NFS clients make it an fcntl
// lock, which would then stand against this program's own fcntl lock.
bool FlockStandsApart(int fd)
{
#ifdef __linux__
    struct statfs info {};
    constexpr long kNfsMagic = 0x6969;
    if (::fstatfs(fd, &info) == 0 && static_cast<long>(info.f_type) == kNfsMagic)
        return false;
#else
    (void)fd;
#endif
    return true;
}

// The error errno holds after a failed call (EIO when it holds none).
std::error_code LastErrorCode()
{
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

IoResult<int> Descriptor(int fd)
{
    if (fd >= 0)
        return {fd, {}};
    return {-1, LastErrorCode()};
}

std::error_code Done(int result)
{
    return result == 0 ? std::error_code() : LastErrorCode();
}

IoResult<std::size_t> Count(ssize_t result)
{
    if (result >= 0)
        return {static_cast<std::size_t>(result), {}};
    return {0, LastErrorCode()};
}

} // namespace

// The folders from an output folder down to the one last walked to, each
// open, so the next walk opens only the names it does not share with this
// one: the output folder (with an empty name) first.
struct RecordFileIo::SystemState {
    std::string walkRoot;
    std::vector<std::pair<std::string, int>> walk;

    ~SystemState() { Forget(); }

    void Forget()
    {
        for (const auto &folder : walk)
            ::close(folder.second);
        walk.clear();
        walkRoot.clear();
    }

    // Opens the folder `root` (following a link there: the user named it;
    // with `make`, made first as EnsureFolderExists makes it), then each of
    // `names` below it without following any, reusing the folders the last
    // walk opened as far as the two share names: a descriptor of the last
    // folder (kept here), or -1 with errno, with `reached` the index of the
    // name that failed. With `make`, a missing folder is created.
    int WalkFromWhereItWas(const std::string &root, std::span<const std::string> names, bool make, std::size_t &reached,
                           bool &reused)
    {
        reached = 0;
        reused = !walk.empty() && walkRoot == root;
        if (!reused) {
            Forget();
            if (make) {
                if (const FolderMade made = EnsureFolderExists(root); !made) {
                    errno = made.error.value();
                    return -1;
                }
            }
            const int fd = ::open(root.empty() ? "." : root.c_str(), kFolderFlags);
            if (fd < 0)
                return -1;
            walkRoot = root;
            walk.emplace_back(std::string(), fd);
        }
        std::size_t keep = 0;
        while (keep < names.size() && keep + 1 < walk.size() && walk[keep + 1].first == names[keep])
            ++keep;
        while (walk.size() > keep + 1) {
            ::close(walk.back().second);
            walk.pop_back();
        }
        if (reused) {
            // A folder removed since still answers through its descriptor, but
            // nothing can be made in it.
            struct stat info {};
            if (::fstat(walk.back().second, &info) != 0 || info.st_nlink == 0) {
                errno = ENOENT;
                return -1;
            }
        }
        walk.reserve(names.size() + 1); // no descriptor is opened that could not be kept
        for (reached = keep; reached < names.size(); ++reached) {
            const std::string &name = names[reached];
            const int dir = walk.back().second;
            int next = OpenFolderAt(dir, name);
            if (next < 0 && errno == ENOENT && make) {
                if (::mkdirat(dir, name.c_str(), 0777) == 0 || errno == EEXIST)
                    next = OpenFolderAt(dir, name);
            }
            if (next < 0)
                return -1;
            walk.emplace_back(name, next);
        }
        return walk.back().second;
    }

    // The same, walking once more from the output folder when a folder kept
    // open from an earlier walk has been removed since.
    int Walk(const std::string &root, std::span<const std::string> names, bool make, std::size_t &reached)
    {
        bool reused = false;
        const int fd = WalkFromWhereItWas(root, names, make, reached, reused);
        if (fd >= 0 || errno != ENOENT || !reused)
            return fd;
        Forget();
        return WalkFromWhereItWas(root, names, make, reached, reused);
    }

    // Opens the mailbox of `location` with `flags` (`fallbackFlags` when
    // those are refused for want of rights), never through a link below its
    // root: a descriptor, or -1 with errno (ELOOP for a link).
    int OpenBelow(const MailboxLocation &location, int flags, int fallbackFlags)
    {
        if (!NamesStayBelowRoot(location) || location.file.empty()) {
            errno = EINVAL;
            return -1;
        }
        const std::string &name = location.file;
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::size_t reached = 0;
            const int dir = Walk(location.root, location.folders, false, reached);
            if (dir < 0)
                return -1;
            int fd = ::openat(dir, name.c_str(), flags | O_NOFOLLOW, 0666);
            if (fd < 0 && errno == EACCES && fallbackFlags != flags)
                fd = ::openat(dir, name.c_str(), fallbackFlags | O_NOFOLLOW, 0666);
            if (fd >= 0 || errno != ENOENT || attempt > 0 || (flags & O_CREAT) == 0)
                return fd;
            Forget(); // its folder was removed since it was opened: walk to it again
        }
        return -1;
    }

    // The folder the mailbox of `location` lies in (reached as OpenBelow
    // does): a descriptor kept here, AT_FDCWD when it has no root (its file
    // name is then its whole path), or -1 with errno.
    int FolderOf(const MailboxLocation &location)
    {
        if (location.root.empty())
            return AT_FDCWD;
        if (!NamesStayBelowRoot(location) || location.file.empty()) {
            errno = EINVAL;
            return -1;
        }
        std::size_t reached = 0;
        return Walk(location.root, location.folders, false, reached);
    }
};

RecordFileIo::RecordFileIo(std::chrono::milliseconds lockWait, std::chrono::milliseconds holdLimit)
    : m_lockWait(lockWait), m_holdLimit(holdLimit), m_system(std::make_unique<SystemState>())
{
}

RecordFileIo::~RecordFileIo() = default;

std::error_code RecordFileIo::WalkFolders(const MailboxLocation &location, bool make, std::size_t &reached)
{
    return m_system->Walk(location.root, location.folders, make, reached) < 0 ? LastErrorCode() : std::error_code();
}

IoResult<int> RecordFileIo::OpenSource(const std::string &path)
{
    return Descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
}

IoResult<std::size_t> RecordFileIo::Read(int fd, char *buffer, std::size_t size)
{
    return Count(::read(fd, buffer, size));
}

IoResult<std::size_t> RecordFileIo::ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset)
{
    return Count(::pread(fd, buffer, size, static_cast<off_t>(offset)));
}

namespace {

// Read access too, for a look at the tail and a scan; a mailbox that may
// only be written to is appended to without them.
int OpenForAppending(const std::string &path, int flags)
{
    const int fd = ::open(path.c_str(), O_RDWR | flags, 0666);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return ::open(path.c_str(), O_WRONLY | flags, 0666);
}

} // namespace

IoResult<int> RecordFileIo::OpenMailbox(const MailboxLocation &location, bool *created)
{
    const int flags = O_APPEND | O_CLOEXEC | O_NONBLOCK;
    const auto open = [&](int more) {
        return location.root.empty() ? OpenForAppending(location.file, flags | more)
                                     : m_system->OpenBelow(location, O_RDWR | flags | more, O_WRONLY | flags | more);
    };
    if (created)
        *created = false;
    // Made with O_EXCL when missing, so that this call knows it made it.
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = open(0);
        if (fd >= 0 || errno != ENOENT)
            return Descriptor(fd);
        fd = open(O_CREAT | O_EXCL);
        if (fd >= 0) {
            if (created)
                *created = true;
            return Descriptor(fd);
        }
        if (errno != EEXIST)
            break;
    }
    return Descriptor(-1);
}

IoResult<int> RecordFileIo::ReopenMailbox(const MailboxLocation &location)
{
    const int flags = O_CLOEXEC | O_NONBLOCK;
    if (location.root.empty())
        return Descriptor(OpenForAppending(location.file, flags));
    return Descriptor(m_system->OpenBelow(location, O_RDWR | flags, O_WRONLY | flags));
}

std::error_code RecordFileIo::Stat(int fd, FileStatus &status)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return LastErrorCode();
    status.regular = S_ISREG(info.st_mode);
    status.directory = S_ISDIR(info.st_mode);
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.modified = static_cast<std::int64_t>(info.st_mtime);
    status.device = static_cast<std::uint64_t>(info.st_dev);
    status.inode = static_cast<std::uint64_t>(info.st_ino);
    status.links = static_cast<std::uint64_t>(info.st_nlink);
    return {};
}

std::error_code RecordFileIo::TryLock(int fd)
{
    // The write lock mail readers and delivery agents take with fcntl. An
    // open-file-description lock where there is one, so that it belongs to
    // this descriptor, not to the whole process.
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
#ifdef F_OFD_SETLK
    const int command = F_OFD_SETLK;
#else
    const int command = F_SETLK;
#endif
    if (::fcntl(fd, command, &lock) != 0) {
        if (errno == EAGAIN || errno == EACCES || errno == EINTR)
            return IoError(std::errc::operation_would_block);
        return LastErrorCode();
    }
#ifdef LOCK_EX
    // And flock, which some programs take instead.
    if (FlockStandsApart(fd) && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS)
            return {}; // no flock on this file system: fcntl alone
        lock.l_type = F_UNLCK;
        (void)::fcntl(fd, command, &lock);
        if (error == EWOULDBLOCK || error == EAGAIN || error == EINTR)
            return IoError(std::errc::operation_would_block);
        return {error != 0 ? error : EIO, std::generic_category()};
    }
#endif
    return {};
}

namespace {

// Makes the lock file `lockName` in `dir` with O_EXCL and writes `text`
// into it: 0, or -1.
int MakeDotlock(int dir, const std::string &lockName, const std::string &text)
{
    const int fd = ::openat(dir, lockName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = written ? 0 : (errno != 0 ? errno : ENOSPC);
    if (::close(fd) != 0 || !written) {
        ::unlinkat(dir, lockName.c_str(), 0);
        errno = error != 0 ? error : EIO;
        return -1;
    }
    return 0;
}

// Makes the lock file `lockName` in `dir` holding DotlockText, never empty
// for a moment (a program killed meanwhile would leave a lock nobody could
// tell the owner of): written under a name of its own first, then linked
// to `lockName`, which fails with EEXIST while it is there. 0, or -1.
int LinkDotlock(int dir, const std::string &lockName)
{
    const std::string text = DotlockText();
#ifdef O_TMPFILE
    // A file with no name at all until it is linked (Linux), so that a
    // program killed meanwhile leaves nothing behind.
    if (const int fd = ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644); fd >= 0) {
        const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        int error = written ? 0 : (errno != 0 ? errno : ENOSPC);
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        if (error == 0 && ::linkat(AT_FDCWD, self.c_str(), dir, lockName.c_str(), AT_SYMLINK_FOLLOW) != 0)
            error = errno;
        ::close(fd);
        if (error != ENOENT) { // ENOENT: no /proc to link it through
            errno = error;
            return error == 0 ? 0 : -1;
        }
    }
#endif
    const std::string own = lockName + "." + std::to_string(::getpid()) + ".tmp";
    const int fd = ::openat(dir, own.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = written ? 0 : (errno != 0 ? errno : ENOSPC);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::linkat(dir, own.c_str(), dir, lockName.c_str(), 0) != 0)
        error = errno;
    ::unlinkat(dir, own.c_str(), 0);
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK)
        return MakeDotlock(dir, lockName, text); // a file system without hard links
    errno = error;
    return error == 0 ? 0 : -1;
}

} // namespace

std::error_code RecordFileIo::TryDotlock(const MailboxLocation &location)
{
    const int dir = m_system->FolderOf(location);
    if (dir == -1)
        return LastErrorCode();
    const std::string &name = location.file;
    const std::string lockName = name + ".lock";
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (LinkDotlock(dir, lockName) == 0)
            return {};
        const std::error_code error = LastErrorCode(); // before the look at the lock file
        struct stat seen {};
        if (error != std::errc::file_exists || attempt > 0 || !DotlockIsStale(dir, lockName, name, seen))
            return error;
        // Taken over, but only the one found stale: another program may
        // have taken it over first.
        struct stat now {};
        if (::fstatat(dir, lockName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_ino == seen.st_ino &&
            now.st_dev == seen.st_dev && now.st_mtime == seen.st_mtime)
            (void)::unlinkat(dir, lockName.c_str(), 0);
    }
    return IoError(std::errc::file_exists);
}

std::error_code RecordFileIo::RemoveDotlock(const MailboxLocation &location)
{
    const int dir = m_system->FolderOf(location);
    if (dir == -1)
        return LastErrorCode();
    return Done(::unlinkat(dir, (location.file + ".lock").c_str(), 0));
}

std::error_code RecordFileIo::RemoveMailbox(int fd, const MailboxLocation &location)
{
    const int dir = m_system->FolderOf(location);
    if (dir == -1)
        return LastErrorCode();
    const std::string &name = location.file;
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) != 0 || ::fstatat(dir, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return LastErrorCode();
    if (open.st_dev != named.st_dev || open.st_ino != named.st_ino)
        return {ESTALE, std::generic_category()};
    return Done(::unlinkat(dir, name.c_str(), 0));
}

std::error_code RecordFileIo::Truncate(int fd, std::uint64_t length)
{
    return Done(::ftruncate(fd, static_cast<off_t>(length)));
}

IoResult<std::size_t> RecordFileIo::Write(int fd, std::span<const std::string_view> pieces)
{
    std::array<iovec, 8> vectors{};
    const std::size_t count = std::min(pieces.size(), vectors.size());
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<char *>(pieces[i].data());
        vectors[i].iov_len = pieces[i].size();
    }
    return Count(::writev(fd, vectors.data(), static_cast<int>(count)));
}

std::error_code RecordFileIo::Close(int fd)
{
    return Done(::close(fd));
}

void LetOversizeWritesFail()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace tovaly
