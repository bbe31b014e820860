#pragma once
// Telling messages apart by a 128-bit hash of their text (xxHash's XXH3), so
// a mailbox can be compared with the sources without holding any message:
// the digests of the records a mailbox holds, and the digest of a record
// about to be written, worked out the same way.

#include "mbox_reader.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tovaly {

/// XXH3-128 in its canonical (big-endian) byte order.
using MessageDigest = std::array<std::uint8_t, 16>;

/// The digest of a text exactly as given, fed in pieces of any size: what
/// reading a mailbox back compares, byte for byte.
class ExactHasher {
public:
    ExactHasher();
    ~ExactHasher();
    ExactHasher(ExactHasher &&) noexcept;
    ExactHasher &operator=(ExactHasher &&) noexcept;

    void Add(std::string_view piece);
    /// The digest of the text added so far; adding goes on after it.
    MessageDigest Digest() const;
    /// The digest of the text added; the hasher starts afresh afterwards.
    MessageDigest Finish();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

/// The digest of a message text in its normal form, fed in pieces of any
/// size: every line end (CR LF, a lone CR, a lone LF) counts as one LF, so
/// the digest does not change with the line ends a mailbox was written with.
class MessageHasher {
public:
    /// Adds the next piece of the text.
    void Add(std::string_view piece);
    /// Bytes of the normal form added so far (a CR waiting for its LF not
    /// yet counted).
    std::uint64_t Size() const { return m_size; }
    /// The digest of the text added; the hasher starts afresh afterwards.
    MessageDigest Finish();

    /// From now on, also take the digest of the first `size` bytes of the
    /// normal form of every text (see PrefixDigest): it tells whether a
    /// record that may have been cut short is the start of a message.
    void WatchPrefix(std::uint64_t size) { m_prefixSize = size; }
    /// After Finish: the digest of the first WatchPrefix bytes of the text
    /// just finished; nothing when it was shorter or no prefix is watched.
    const std::optional<MessageDigest> &PrefixDigest() const { return m_finishedPrefix; }

private:
    void Put(const char *data, std::size_t size);

    ExactHasher m_hash;       // of the normal form
    bool m_pendingCr = false; // the last piece ended in a CR
    std::uint64_t m_size = 0;
    std::optional<std::uint64_t> m_prefixSize;
    std::optional<MessageDigest> m_prefix;         // of the text being added
    std::optional<MessageDigest> m_finishedPrefix; // of the text finished last
};

/// Digests with a count each: the messages of a mailbox, taken off one by
/// one as sources turn out to be there already (a message the sources hold
/// twice is skipped only as often as the mailbox holds it).
class DigestCounts {
public:
    void Add(const MessageDigest &digest);
    /// Takes one `digest` away: true when there was one.
    bool Take(const MessageDigest &digest);
    std::size_t Count(const MessageDigest &digest) const;
    /// Digests held, each counted as often as it was added and not taken.
    std::uint64_t Size() const { return m_size; }

private:
    struct Hash {
        std::size_t operator()(const MessageDigest &digest) const;
    };
    std::unordered_map<MessageDigest, std::uint32_t, Hash> m_counts;
    std::uint64_t m_size = 0;
};

/// An MboxVisitor that hashes the text of every record that is not torn.
class RecordDigester : public MboxVisitor {
public:
    void RecordText(std::string_view piece) override { m_hasher.Add(piece); }
    void RecordEnded(std::uint64_t end, RecordEnd how) override;

    DigestCounts &Digests() { return m_digests; }
    /// The digest of the record that ended last (torn or not).
    const MessageDigest &Last() const { return m_last; }
    /// The size of its text in the normal form.
    std::uint64_t LastSize() const { return m_lastSize; }

private:
    MessageHasher m_hasher;
    DigestCounts m_digests;
    MessageDigest m_last{};
    std::uint64_t m_lastSize = 0;
};

/// What a mailbox file holds.
struct [[nodiscard]] MailboxScan {
    bool ok = false; ///< read to its end (or it does not exist)
    bool exists = false;
    int errorCode = 0;      ///< errno of a failure to open or read it
    std::string error;      ///< the failure in plain words
    std::uint64_t size = 0; ///< bytes read
    std::uint64_t records = 0;
    std::uint64_t firstRecordAt = 0; ///< bytes before it belong to no record
    std::uint64_t wholeEnd = 0;      ///< see MboxReader::WholeEnd
    std::uint64_t lastRecordAt = 0;  ///< start of the last record (0 when none)
    DigestCounts digests;            ///< of every record but a torn last one
    /// The last record's digest and the size of its normal text, torn or
    /// not. A record cut short right after an empty line of its message
    /// looks whole; compared with the prefixes of the messages about to be
    /// written (MessageHasher::WatchPrefix), it shows for what it is.
    MessageDigest lastRecordDigest{};
    std::uint64_t lastRecordSize = 0;
};

/// Hashes the records of a mailbox fed from its first byte in pieces of any
/// size, wherever the pieces come from.
class MailboxScanner {
public:
    MailboxScanner() : m_reader(m_visitor) {}
    MailboxScanner(const MailboxScanner &) = delete;
    MailboxScanner &operator=(const MailboxScanner &) = delete;

    void Feed(std::string_view piece) { m_reader.Feed(piece); }
    /// What the pieces held, as a mailbox that exists and was read whole.
    MailboxScan Finish();

private:
    // Also remembers where the last record started.
    class Visitor final : public RecordDigester {
    public:
        std::uint64_t lastRecordAt = 0;
        void RecordStarted(std::uint64_t offset, std::string_view) override { lastRecordAt = offset; }
    };
    Visitor m_visitor;
    MboxReader m_reader;
};

} // namespace tovaly
