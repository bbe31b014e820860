// RecordFileIo on Windows: CreateFileW with the path turned into UTF-16,
// writes at the end of the file, LockFileEx for the mailbox lock (the one
// lock Windows mail programs know: no lock file is made),
// SetEndOfFile for cutting back, and GetFileInformationByHandle for the
// volume serial number and file index that tell two files apart.
//
// Descriptors are C runtime descriptors wrapping the handles
// (_open_osfhandle), so the writer keeps its int descriptors; every call
// below takes the handle back out with _get_osfhandle and reports a
// failure with the errno value the POSIX calls would give.

#include "output_layout.h"
#include "record_file_io.h"
#include "utf8_path.h"

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace tovaly {

namespace {

// The errno closest to a Windows error code.
int ErrnoFor(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
        return EACCES;
    case ERROR_LOCK_VIOLATION:
        return EWOULDBLOCK;
    case ERROR_INVALID_HANDLE:
        return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
    case ERROR_NO_UNICODE_TRANSLATION:
        return EINVAL;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_BROKEN_PIPE:
        return EPIPE;
    default:
        return EIO;
    }
}

std::error_code ErrorOf(int error)
{
    return {error, std::generic_category()};
}

// The error of the Windows call that failed last.
std::error_code SystemError()
{
    return ErrorOf(ErrnoFor(GetLastError()));
}

// The UTF-16 form of a UTF-8 path; EINVAL for text that is not UTF-8,
// which could only name some other file.
std::error_code WidePath(const std::string &path, std::wstring &wide)
{
    bool valid = true;
    const std::u16string utf16 = Utf16FromUtf8(path, &valid);
    if (!valid || utf16.find(u'\0') != std::u16string::npos)
        return ErrorOf(EINVAL);
    wide.assign(utf16.begin(), utf16.end());
    return {};
}

HANDLE HandleOf(int fd)
{
    const intptr_t handle = _get_osfhandle(fd);
    return handle == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(handle);
}

// A descriptor owning `handle` (closed when none can be had).
IoResult<int> DescriptorFor(HANDLE handle, int flags)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        CloseHandle(handle);
        return {-1, ErrorOf(EMFILE)};
    }
    return {fd, {}};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool IsFolder(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Whether the nearest existing path above `path` is a file: Windows says
// "path not found" there, where POSIX says "not a directory".
bool UnderAFile(std::wstring path)
{
    while (true) {
        const auto cut = path.find_last_of(L"\\/");
        if (cut == std::wstring::npos || cut == 0)
            return false;
        path.resize(cut);
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES)
            return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }
}

// Opens a mailbox for reading and writing (or, where reading is refused,
// for writing alone); `creation` is OPEN_ALWAYS or OPEN_EXISTING. Writes go
// to the end of the file whatever the file position (see Write).
IoResult<int> OpenMailboxWith(const std::string &path, DWORD creation, DWORD flags = FILE_ATTRIBUTE_NORMAL,
                              bool *created = nullptr)
{
    std::wstring wide;
    if (const std::error_code error = WidePath(path, wide))
        return {-1, error};
    HANDLE handle =
        CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED && !IsFolder(wide))
        handle = CreateFileW(wide.c_str(), GENERIC_WRITE, kShareAll, nullptr, creation, flags, nullptr);
    if (handle != INVALID_HANDLE_VALUE && created)
        *created = creation == OPEN_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A folder where the mailbox goes: say so, as open(2) does.
        if (error == ERROR_ACCESS_DENIED && IsFolder(wide))
            return {-1, ErrorOf(EISDIR)};
        if (error == ERROR_PATH_NOT_FOUND && UnderAFile(wide))
            return {-1, ErrorOf(ENOTDIR)};
        return {-1, ErrorOf(ErrnoFor(error))};
    }
    return DescriptorFor(handle, _O_RDWR);
}

// ---- Below the output folder ------------------------------------------------
// Folders below the output folder are made and checked one name at a time,
// and a reparse point (a symbolic link or a junction) there is refused, so a
// mailbox never lies outside the output folder. Unlike openat(2) on POSIX,
// this checks names rather than holding the folders open: a link put in
// place between the check and the open is not caught.

// Checks (and with `make`, creates) each folder of `location` below its
// root as a folder that is not a reparse point: ELOOP for a link, with
// `reached` the index of the folder that failed.
std::error_code WalkBelow(const MailboxLocation &location, bool make, std::size_t &reached)
{
    for (reached = 0; reached < location.folders.size(); ++reached) {
        std::wstring wide;
        if (const std::error_code error = WidePath(location.FolderPath(reached + 1), wide))
            return error;
        DWORD attributes = GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD error = GetLastError();
            if (!make || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND))
                return ErrorOf(ErrnoFor(error));
            if (!CreateDirectoryW(wide.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                return SystemError();
            attributes = GetFileAttributesW(wide.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES)
                return SystemError();
        }
        if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return ErrorOf(ELOOP);
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            return ErrorOf(ENOTDIR);
    }
    return {};
}

// Opens the mailbox of `location` (anywhere when it has no root), refusing
// a reparse point on the way or as the mailbox itself.
IoResult<int> OpenMailboxBelow(const MailboxLocation &location, DWORD creation, bool *created = nullptr)
{
    if (location.root.empty())
        return OpenMailboxWith(location.file, creation, FILE_ATTRIBUTE_NORMAL, created);
    std::string path;
    try {
        if (!NamesStayBelowRoot(location) || location.file.empty())
            return {-1, ErrorOf(EINVAL)};
        std::size_t reached = 0;
        if (const std::error_code error = WalkBelow(location, false, reached))
            return {-1, error};
        path = location.Path();
    } catch (const std::bad_alloc &) {
        return {-1, ErrorOf(ENOMEM)};
    }
    const IoResult<int> opened =
        OpenMailboxWith(path, creation, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, created);
    if (!opened)
        return opened;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(HandleOf(opened.value), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        _close(opened.value);
        return {-1, ErrorOf(ELOOP)};
    }
    return opened;
}

// Seconds since 1970 of a FILETIME (100 ns ticks since 1601).
std::int64_t UnixSeconds(const FILETIME &time)
{
    const std::uint64_t ticks = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    constexpr std::int64_t kTicksPerSecond = 10000000;
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
    return static_cast<std::int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
}

// Every byte the call may move at once: ReadFile and WriteFile count in DWORDs.
constexpr std::size_t kMaxTransfer = 1u << 30;

// Pieces up to this size in all are gathered into one write.
constexpr std::size_t kGatherLimit = 256 * 1024;

} // namespace

// No state is kept between calls: every walk checks the names afresh.
struct RecordFileIo::SystemState {};

RecordFileIo::RecordFileIo(std::chrono::milliseconds lockWait, std::chrono::milliseconds holdLimit)
    : m_lockWait(lockWait), m_holdLimit(holdLimit)
{
}

RecordFileIo::~RecordFileIo() = default;

std::error_code RecordFileIo::WalkFolders(const MailboxLocation &location, bool make, std::size_t &reached)
{
    reached = 0;
    if (make) {
        if (const FolderMade made = EnsureFolderExists(location.root); !made)
            return made.error;
    }
    return WalkBelow(location, make, reached);
}

IoResult<int> RecordFileIo::OpenSource(const std::string &path)
{
    std::wstring wide;
    if (const std::error_code error = WidePath(path, wide))
        return {-1, error};
    // Backup semantics let a folder open too, so that Stat can tell the
    // caller what stands there rather than "Permission denied".
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {-1, SystemError()};
    return DescriptorFor(handle, _O_RDONLY);
}

IoResult<std::size_t> RecordFileIo::Read(int fd, char *buffer, std::size_t size)
{
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return {0, ErrorOf(EBADF)};
    DWORD got = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(std::min(size, kMaxTransfer)), &got, nullptr)) {
        if (GetLastError() == ERROR_BROKEN_PIPE || GetLastError() == ERROR_HANDLE_EOF)
            return {0, {}};
        return {0, SystemError()};
    }
    return {got, {}};
}

IoResult<std::size_t> RecordFileIo::ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset)
{
    // A positioned read moves the file position of a synchronous handle;
    // that is harmless here, as every write goes to the end of the file.
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return {0, ErrorOf(EBADF)};
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handle, buffer, static_cast<DWORD>(std::min(size, kMaxTransfer)), &got, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF)
            return {0, {}};
        return {0, SystemError()};
    }
    return {got, {}};
}

IoResult<int> RecordFileIo::OpenMailbox(const MailboxLocation &location, bool *created)
{
    if (created)
        *created = false;
    return OpenMailboxBelow(location, OPEN_ALWAYS, created);
}

IoResult<int> RecordFileIo::ReopenMailbox(const MailboxLocation &location)
{
    return OpenMailboxBelow(location, OPEN_EXISTING);
}

std::error_code RecordFileIo::Stat(int fd, FileStatus &status)
{
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return ErrorOf(EBADF);
    status = FileStatus{};
    const DWORD type = GetFileType(handle);
    if (type != FILE_TYPE_DISK) {
        // A pipe, a console or a device: not a file, and nothing more to ask.
        if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR)
            return SystemError();
        return {};
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info))
        return SystemError();
    status.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.regular = !status.directory && (info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    status.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.modified = UnixSeconds(info.ftLastWriteTime);
    status.device = info.dwVolumeSerialNumber;
    status.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    status.links = info.nNumberOfLinks;
    return {};
}

std::error_code RecordFileIo::TryLock(int fd)
{
    // The whole file, exclusively: another program's LockFileEx waits, and
    // its reads and writes of the file fail while we hold it.
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return ErrorOf(EBADF);
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
        return {};
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
        return ErrorOf(EWOULDBLOCK);
    return ErrorOf(ErrnoFor(error));
}

std::error_code RecordFileIo::TryDotlock(const MailboxLocation &)
{
    return {}; // Windows mail programs lock with LockFileEx alone
}

std::error_code RecordFileIo::RemoveDotlock(const MailboxLocation &)
{
    return {};
}

std::error_code RecordFileIo::RemoveMailbox(int fd, const MailboxLocation &location)
{
    // Opened again with the right to delete, never through a reparse point,
    // and deleted through that handle only when it is the file `fd` has.
    const HANDLE open = HandleOf(fd);
    if (open == INVALID_HANDLE_VALUE)
        return ErrorOf(EBADF);
    std::wstring wide;
    if (const std::error_code error = WidePath(location.Path(), wide))
        return error;
    // The path was checked below the output folder when `fd` was opened.
    const HANDLE named = CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return SystemError();
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    std::error_code result;
    if (!GetFileInformationByHandle(open, &a) || !GetFileInformationByHandle(named, &b)) {
        result = SystemError();
    } else if (a.dwVolumeSerialNumber != b.dwVolumeSerialNumber || a.nFileIndexHigh != b.nFileIndexHigh ||
               a.nFileIndexLow != b.nFileIndexLow) {
        result = ErrorOf(ENOENT); // that file is no longer there by that name
    } else {
        FILE_DISPOSITION_INFO disposition{};
        disposition.DeleteFile = TRUE;
        if (!SetFileInformationByHandle(named, FileDispositionInfo, &disposition, sizeof disposition))
            result = SystemError();
    }
    CloseHandle(named);
    return result;
}

std::error_code RecordFileIo::Truncate(int fd, std::uint64_t length)
{
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return ErrorOf(EBADF);
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(std::min<std::uint64_t>(length, std::numeric_limits<LONGLONG>::max()));
    if (!SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) || !SetEndOfFile(handle))
        return SystemError();
    return {};
}

IoResult<std::size_t> RecordFileIo::Write(int fd, std::span<const std::string_view> pieces)
{
    const HANDLE handle = HandleOf(fd);
    if (handle == INVALID_HANDLE_VALUE)
        return {0, ErrorOf(EBADF)};
    // Several small pieces go out in one write; otherwise the first one alone.
    std::size_t total = 0;
    for (const std::string_view piece : pieces)
        total += piece.size();
    std::string gathered;
    std::string_view out;
    if (pieces.size() > 1 && total <= kGatherLimit) {
        gathered.reserve(total);
        for (const std::string_view piece : pieces)
            gathered.append(piece);
        out = gathered;
    } else {
        for (const std::string_view piece : pieces) {
            if (!piece.empty()) {
                out = piece;
                break;
            }
        }
    }
    if (out.empty())
        return {0, {}};
    // An offset of all ones writes at the end of the file, as O_APPEND does.
    OVERLAPPED atEnd{};
    atEnd.Offset = MAXDWORD;
    atEnd.OffsetHigh = MAXDWORD;
    DWORD sent = 0;
    if (!WriteFile(handle, out.data(), static_cast<DWORD>(std::min(out.size(), kMaxTransfer)), &sent, &atEnd))
        return {0, SystemError()};
    return {sent, {}};
}

std::error_code RecordFileIo::Close(int fd)
{
    const HANDLE handle = HandleOf(fd);
    if (handle != INVALID_HANDLE_VALUE) {
        // Closing drops the lock too, but only once the system gets round to
        // it: free the file for the next program at once.
        OVERLAPPED whole{};
        (void)UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole);
    }
    errno = 0;
    if (_close(fd) != 0)
        return ErrorOf(errno != 0 ? errno : EIO);
    return {};
}

void LetOversizeWritesFail()
{
    // No file-size limit signal on Windows: a write that cannot be made fails.
}

} // namespace tovaly
