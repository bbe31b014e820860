#pragma once
// One mailbox file as the record writer holds it: opened below the output
// folder, locked the way mail programs lock, its length tracked so that
// what this program wrote, and only that, can be cut off again.

#include "record_file_io.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tovaly {

/// A mailbox file taking records. It is opened for appending (and created)
/// on use and locked while open; every time it is opened its length is
/// asked of the file system under the lock and then tracked, so what this
/// object wrote can be cut off again, and only that.
/// Closing it is up to the owner: the destructor closes it too, but without
/// telling of a failure.
class MailboxFile {
public:
    /// A location with a root is opened only inside that output folder
    /// (see RecordFileIo::OpenMailbox).
    MailboxFile(MailboxLocation location, RecordFileIo &io);
    ~MailboxFile();
    MailboxFile(const MailboxFile &) = delete;
    MailboxFile &operator=(const MailboxFile &) = delete;

    const MailboxLocation &Location() const { return m_location; }
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
    /// empty, or the error that stopped it, with OpenFailure() in plain words.
    /// The locks are those mail programs take: the lock file NAME.lock,
    /// then the locks on the file itself (RecordFileIo::TryLock), waited
    /// for up to the lock wait all told; a file this call creates gets the
    /// latter only.
    [[nodiscard]] std::error_code Open();
    /// The same for a file that is there already: ENOENT, and no file made,
    /// when there is none.
    [[nodiscard]] std::error_code OpenExisting();
    /// Why the last Open failed, in plain words.
    const std::string &OpenFailure() const { return m_openFailure; }
    /// What the user should hear of besides a failure (a lock file that
    /// could not be made), taken once.
    std::vector<std::string> TakeWarnings() { return std::exchange(m_warnings, {}); }
    /// Reads up to `size` bytes at `offset` of the open file: bytes read, 0
    /// at its end.
    IoResult<std::size_t> ReadAt(char *buffer, std::size_t size, std::uint64_t offset);
    /// Removes the file when this object made it and it is still empty
    /// and still that file, as a source that wrote no record leaves it.
    /// Returns whether it was removed.
    bool RemoveIfMadeAndEmpty();
    /// The length of the file: what it had when last opened plus what was
    /// written since. Only valid once opened.
    std::uint64_t Length() const { return m_length; }
    /// Reads the last bytes (up to four) of the open file.
    IoResult<std::string> ReadTail();
    /// Writes every byte of `pieces` to the open file: empty, or the error
    /// that stopped it.
    [[nodiscard]] std::error_code Write(std::span<const std::string_view> pieces);
    /// Closes the file if open: empty, or the error of a failed close.
    [[nodiscard]] std::error_code Close();
    /// Cuts the file back to `length`, but only while it still ends where
    /// this object last left it (nobody else wrote since); opens it again
    /// when closed. Returns empty, or a note for the error text saying that
    /// the cut failed or was not made.
    std::string CutBack(std::uint64_t length);

private:
    std::error_code OpenWith(int fd, bool dotlock);
    std::error_code TakeLocks(int fd, bool dotlock);
    void DropDotlock();
    bool Confined() const { return !m_location.root.empty(); }

    MailboxLocation m_location;
    std::string m_path; // its path, for the texts
    RecordFileIo &m_io;
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

} // namespace tovaly
