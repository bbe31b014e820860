#include "message_digest.h"

// xxHash compiled into this file alone, from its header: nothing to link,
// and the same code on every system.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstring>
#include <memory>
#include <utility>

namespace tovaly {

namespace {

MessageDigest Canonical(XXH128_hash_t hash)
{
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, hash);
    MessageDigest digest;
    static_assert(sizeof canonical.digest == sizeof digest);
    std::memcpy(digest.data(), canonical.digest, digest.size());
    return digest;
}

} // namespace

// XXH3_state_t is 64-byte aligned, which `new` of this type honours.
struct ExactHasher::State {
    XXH3_state_t xxh;
};

ExactHasher::ExactHasher() : m_state(std::make_unique<State>())
{
    XXH3_128bits_reset(&m_state->xxh);
}

ExactHasher::~ExactHasher() = default;
ExactHasher::ExactHasher(ExactHasher &&) noexcept = default;
ExactHasher &ExactHasher::operator=(ExactHasher &&) noexcept = default;

void ExactHasher::Add(std::string_view piece)
{
    XXH3_128bits_update(&m_state->xxh, piece.data(), piece.size());
}

MessageDigest ExactHasher::Digest() const
{
    return Canonical(XXH3_128bits_digest(&m_state->xxh));
}

MessageDigest ExactHasher::Finish()
{
    const MessageDigest digest = Digest();
    XXH3_128bits_reset(&m_state->xxh);
    return digest;
}

void MessageHasher::Add(std::string_view piece)
{
    // The text goes to the hash in its normal form, a run between two CRs
    // at a time.
    const char *p = piece.data();
    const char *const end = p + piece.size();
    if (m_pendingCr && p < end) {
        m_pendingCr = false;
        if (*p != '\n')
            Put("\n", 1); // a lone CR; a CR LF goes on as its LF
    }
    while (p < end) {
        const auto *cr = static_cast<const char *>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
        const char *stop = cr ? cr : end;
        Put(p, static_cast<std::size_t>(stop - p));
        if (!cr)
            return;
        p = cr + 1;
        if (p == end) {
            m_pendingCr = true;
            return;
        }
        if (*p != '\n')
            Put("\n", 1);
    }
}

void MessageHasher::Put(const char *data, std::size_t size)
{
    if (m_prefixSize && !m_prefix && size > 0 && m_size + size >= *m_prefixSize) {
        // The watched prefix ends in this piece; taking a digest leaves the
        // hash going on.
        const auto head = static_cast<std::size_t>(*m_prefixSize - m_size);
        m_hash.Add(std::string_view(data, head));
        m_prefix = m_hash.Digest();
        m_size += head;
        data += head;
        size -= head;
    }
    m_hash.Add(std::string_view(data, size));
    m_size += size;
}

MessageDigest MessageHasher::Finish()
{
    if (m_pendingCr)
        Put("\n", 1);
    m_pendingCr = false;
    if (m_prefixSize && *m_prefixSize == 0)
        m_prefix = Canonical(XXH3_128bits(nullptr, 0));
    m_finishedPrefix = m_prefix;
    m_prefix.reset();
    m_size = 0;
    return m_hash.Finish();
}

std::size_t DigestCounts::Hash::operator()(const MessageDigest &digest) const
{
    std::size_t h;
    std::memcpy(&h, digest.data(), sizeof h); // the digest is uniform already
    return h;
}

void DigestCounts::Add(const MessageDigest &digest)
{
    ++m_counts[digest];
    ++m_size;
}

bool DigestCounts::Take(const MessageDigest &digest)
{
    const auto found = m_counts.find(digest);
    if (found == m_counts.end())
        return false;
    if (--found->second == 0)
        m_counts.erase(found);
    --m_size;
    return true;
}

std::size_t DigestCounts::Count(const MessageDigest &digest) const
{
    const auto found = m_counts.find(digest);
    return found == m_counts.end() ? 0 : found->second;
}

void RecordDigester::RecordEnded(std::uint64_t, RecordEnd how)
{
    m_lastSize = m_hasher.Size();
    m_last = m_hasher.Finish();
    if (how != RecordEnd::Torn)
        m_digests.Add(m_last);
}

MailboxScan MailboxScanner::Finish()
{
    m_reader.Finish();
    MailboxScan scan;
    scan.ok = true;
    scan.exists = true;
    scan.size = m_reader.Size();
    scan.records = m_reader.Records();
    scan.firstRecordAt = m_reader.FirstRecordAt();
    scan.wholeEnd = m_reader.WholeEnd();
    scan.lastRecordAt = m_visitor.lastRecordAt;
    if (scan.records > 0) {
        scan.lastRecordDigest = m_visitor.Last();
        scan.lastRecordSize = m_visitor.LastSize();
    }
    scan.digests = std::move(m_visitor.Digests());
    return scan;
}

} // namespace tovaly
