// RecordFileIo on POSIX systems: open(2) with O_APPEND, writev(2), an fcntl
// write lock and ftruncate(2).

#include "mailbox_record.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace tovaly {

int RecordFileIo::OpenSource(const std::string &path)
{
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

std::int64_t RecordFileIo::Read(int fd, char *buffer, std::size_t size)
{
    return ::read(fd, buffer, size);
}

std::int64_t RecordFileIo::ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset)
{
    return ::pread(fd, buffer, size, static_cast<off_t>(offset));
}

int RecordFileIo::OpenMailbox(const std::string &path)
{
    // Read access too, for a look at the tail; a mailbox that may only be
    // written to is appended to without that look.
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd >= 0 || errno != EACCES)
        return fd;
    return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
}

int RecordFileIo::ReopenMailbox(const std::string &path)
{
    return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
}

int RecordFileIo::Stat(int fd, FileStatus &status)
{
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return -1;
    status.regular = S_ISREG(info.st_mode);
    status.directory = S_ISDIR(info.st_mode);
    status.size = static_cast<std::uint64_t>(info.st_size);
    status.modified = static_cast<std::int64_t>(info.st_mtime);
    status.device = static_cast<std::uint64_t>(info.st_dev);
    status.inode = static_cast<std::uint64_t>(info.st_ino);
    return 0;
}

int RecordFileIo::Lock(int fd)
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
    const auto deadline = std::chrono::steady_clock::now() + m_lockWait;
    while (true) {
        if (::fcntl(fd, command, &lock) == 0)
            return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            errno = EWOULDBLOCK;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int RecordFileIo::Truncate(int fd, std::uint64_t length)
{
    return ::ftruncate(fd, static_cast<off_t>(length));
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

void LetOversizeWritesFail()
{
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

} // namespace tovaly
