#include "mailbox_file.h"

#include "error_text.h"

#include <algorithm>
#include <array>
#include <thread>
#include <utility>
#include <vector>

namespace tovaly {

namespace {

std::string NotPlainFile(const std::string &path)
{
    return "the mailbox " + Quoted(path) + " is not a plain file (a folder, a pipe or a device stands there)";
}

std::string OpenFailureText(const std::string &path, bool confined, const std::error_code &error)
{
    if (error == std::errc::is_a_directory)
        return NotPlainFile(path);
    if (error == std::errc::too_many_symbolic_link_levels && confined)
        return "cannot open mailbox " + Quoted(path) + ": it is a symbolic link or lies behind one, and " +
               std::string(kNeverThroughLinks);
    return "cannot open mailbox " + Quoted(path) + ": " + Describe(error);
}

// Writes every byte of `pieces` (which it consumes): empty, or the error
// that stopped it. `written` counts the bytes that went out.
std::error_code WriteAll(RecordFileIo &io, int fd, std::span<std::string_view> pieces, std::uint64_t &written)
{
    std::size_t first = 0;
    while (true) {
        while (first < pieces.size() && pieces[first].empty())
            ++first;
        if (first == pieces.size())
            return {};
        const IoResult<std::size_t> got = io.Write(fd, std::span<const std::string_view>(pieces.subspan(first)));
        if (got.error == std::errc::interrupted)
            continue;
        if (got.error)
            return got.error;
        if (got.value == 0)
            return IoError(std::errc::no_space_on_device);
        written += got.value;
        std::uint64_t left = got.value;
        while (left > 0 && first < pieces.size()) {
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, pieces[first].size()));
            pieces[first].remove_prefix(take);
            left -= take;
            if (pieces[first].empty())
                ++first;
        }
    }
}

// Closes `fd` if open and marks it closed: empty, or the error of the close.
std::error_code CloseDescriptor(RecordFileIo &io, int &fd)
{
    if (fd < 0)
        return {};
    return io.Close(std::exchange(fd, -1));
}

} // namespace

MailboxFile::MailboxFile(MailboxLocation location, RecordFileIo &io)
    : m_location(std::move(location)), m_path(m_location.Path()), m_io(io)
{
}

MailboxFile::~MailboxFile()
{
    (void)Close();
}

std::error_code MailboxFile::Open()
{
    if (m_fd >= 0)
        return {};
    m_openFailure.clear();
    bool made = false;
    const IoResult<int> opened = m_io.OpenMailbox(m_location, &made);
    if (!opened) {
        m_openFailure = OpenFailureText(m_path, Confined(), opened.error);
        return opened.error;
    }
    const int fd = opened.value;
    if (made) {
        FileStatus status;
        if (!m_io.Stat(fd, status)) {
            m_made = true;
            m_madeDevice = status.device;
            m_madeInode = status.inode;
        }
    }
    // A mailbox this call made was in no other program's hands a moment ago:
    // the locks on the file itself keep it so without a lock file (which
    // costs a new inode per mailbox, the same as the mailbox itself).
    return OpenWith(fd, !made);
}

std::error_code MailboxFile::OpenExisting()
{
    if (m_fd >= 0)
        return {};
    m_openFailure.clear();
    const IoResult<int> opened = m_io.ReopenMailbox(m_location);
    if (!opened) {
        m_openFailure = OpenFailureText(m_path, Confined(), opened.error);
        return opened.error;
    }
    return OpenWith(opened.value, true);
}

// Takes the lock file (with `dotlock`), then the locks on `fd`, waiting while another
// program holds either: empty, or the error that stopped it.
std::error_code MailboxFile::TakeLocks(int fd, bool dotlock)
{
    const auto deadline = std::chrono::steady_clock::now() + m_io.LockWait();
    while (true) {
        bool busy = false;
        if (dotlock && !m_dotlocked && !m_dotlockRefused) {
            const std::error_code error = m_io.TryDotlock(m_location);
            if (!error) {
                m_dotlocked = true;
            } else if (error == std::errc::file_exists) {
                busy = true;
            } else {
                // A folder where no lock file may be made: the locks on the
                // file itself still keep out every program that takes them.
                m_dotlockRefused = true;
                if (m_io.FirstDotlockRefusal())
                    m_warnings.push_back("cannot make the lock file " + Quoted(m_path + ".lock") + " (" +
                                         Describe(error) + "); mailboxes are locked without lock files");
            }
        }
        if (!busy) {
            const std::error_code error = m_io.TryLock(fd);
            if (!error)
                return {};
            if (error != std::errc::operation_would_block && error != std::errc::resource_unavailable_try_again &&
                error != std::errc::interrupted) {
                DropDotlock();
                return error;
            }
        }
        if (m_io.StopRequested()) {
            DropDotlock();
            return IoError(std::errc::operation_canceled);
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            DropDotlock();
            return IoError(std::errc::operation_would_block);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void MailboxFile::DropDotlock()
{
    if (m_dotlocked)
        (void)m_io.RemoveDotlock(m_location);
    m_dotlocked = false;
}

// Checks what `fd` opened, locks it and learns its length; closes it on failure.
std::error_code MailboxFile::OpenWith(int fd, bool dotlock)
{
    const auto fail = [&](std::error_code error, std::string text) {
        (void)m_io.Close(fd);
        m_openFailure = std::move(text);
        return error;
    };
    FileStatus status;
    if (const std::error_code error = m_io.Stat(fd, status))
        return fail(error, "cannot open mailbox " + Quoted(m_path) + ": " + Describe(error));
    if (!status.regular)
        return fail(IoError(status.directory ? std::errc::is_a_directory : std::errc::invalid_argument),
                    NotPlainFile(m_path));
    if (m_excluded && status.device == m_excludedDevice && status.inode == m_excludedInode)
        return fail(IoError(std::errc::invalid_argument),
                    "the source is the mailbox " + Quoted(m_path) + " it would go into");
    if (const std::error_code error = TakeLocks(fd, dotlock)) {
        if (error == std::errc::operation_would_block)
            return fail(error, "cannot write to mailbox " + Quoted(m_path) + ": mailbox is in use by another program");
        if (error == std::errc::operation_canceled)
            return fail(error, "interrupted while waiting for mailbox " + Quoted(m_path));
        return fail(error, "cannot lock mailbox " + Quoted(m_path) + ": " + Describe(error));
    }
    // Asked again under the lock: another program may have appended since.
    if (const std::error_code error = m_io.Stat(fd, status)) {
        DropDotlock();
        return fail(error, "cannot open mailbox " + Quoted(m_path) + ": " + Describe(error));
    }
    m_fd = fd;
    m_length = status.size;
    m_lengthKnown = true;
    m_device = status.device;
    m_inode = status.inode;
    m_openedAt = std::chrono::steady_clock::now();
    m_wroteSinceOpen = false;
    return {};
}

IoResult<std::string> MailboxFile::ReadTail()
{
    if (m_fd < 0)
        return {{}, IoError(std::errc::bad_file_descriptor)};
    const std::uint64_t want = std::min<std::uint64_t>(m_length, 4);
    std::array<char, 4> buffer{};
    std::uint64_t got = 0;
    while (got < want) {
        const IoResult<std::size_t> n =
            m_io.ReadAt(m_fd, buffer.data() + got, static_cast<std::size_t>(want - got), m_length - want + got);
        if (n.error == std::errc::interrupted)
            continue;
        if (n.error)
            return {{}, n.error};
        if (n.value == 0)
            return {{}, IoError(std::errc::io_error)};
        got += n.value;
    }
    return {std::string(buffer.data(), static_cast<std::size_t>(want)), {}};
}

std::error_code MailboxFile::Write(std::span<const std::string_view> pieces)
{
    std::uint64_t sent = 0;
    std::error_code error = IoError(std::errc::bad_file_descriptor);
    if (m_fd >= 0) {
        std::array<std::string_view, 8> local{};
        if (pieces.size() <= local.size()) {
            std::copy(pieces.begin(), pieces.end(), local.begin());
            error = WriteAll(m_io, m_fd, std::span<std::string_view>(local.data(), pieces.size()), sent);
        } else {
            std::vector<std::string_view> copy(pieces.begin(), pieces.end());
            error = WriteAll(m_io, m_fd, copy, sent);
        }
    }
    m_length += sent;
    m_wroteSinceOpen = !error;
    return error;
}

std::error_code MailboxFile::Close()
{
    const std::error_code error = CloseDescriptor(m_io, m_fd);
    DropDotlock();
    return error;
}

IoResult<std::size_t> MailboxFile::ReadAt(char *buffer, std::size_t size, std::uint64_t offset)
{
    if (m_fd < 0)
        return {0, IoError(std::errc::bad_file_descriptor)};
    return m_io.ReadAt(m_fd, buffer, size, offset);
}

bool MailboxFile::RemoveIfMadeAndEmpty()
{
    if (!m_made || (m_lengthKnown && m_length > 0))
        return false; // records of this run are in it (as far as it knows)
    m_made = false;
    if (OpenExisting())
        return false;
    FileStatus status;
    const bool remove =
        !m_io.Stat(m_fd, status) && status.size == 0 && status.device == m_madeDevice && status.inode == m_madeInode;
    const bool removed = remove && !m_io.RemoveMailbox(m_fd, m_location);
    (void)Close();
    return removed;
}

std::string MailboxFile::CutBack(std::uint64_t length)
{
    if (!m_lengthKnown)
        return {};
    const std::string notCut = " (the mailbox could not be cut back to its previous length: ";
    if (m_fd < 0) {
        const IoResult<int> opened = m_io.ReopenMailbox(m_location);
        if (!opened) {
            const bool link = opened.error == std::errc::too_many_symbolic_link_levels && Confined();
            return notCut + (link ? "a symbolic link stands in its place" : Describe(opened.error)) + ")";
        }
        const std::uint64_t expected = m_length;
        if (OpenWith(opened.value, true))
            return notCut + m_openFailure + ")";
        if (m_length != expected) {
            // Someone else has written (or cut) since: their bytes are not ours to remove.
            m_lengthKnown = false;
            return " (the mailbox was not cut back: another program changed it meanwhile)";
        }
    }
    if (const std::error_code error = m_io.Truncate(m_fd, length)) {
        // Where the file ends now is anyone's guess: ask again before the next write.
        m_lengthKnown = false;
        return notCut + Describe(error) + ")";
    }
    m_length = length;
    return {};
}

} // namespace tovaly
