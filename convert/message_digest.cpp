#include "message_digest.h"
#include "utf8_path.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace tovaly {

void MessageHasher::Add(std::string_view piece)
{
    // The text goes to the hash through a buffer, in its normal form: lines
    // are short, and one hash update a line would cost more than the line.
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
        // The watched prefix ends in this piece: its digest is taken from a
        // copy of the hash so far.
        const auto head = static_cast<std::size_t>(*m_prefixSize - m_size);
        Buffer(data, head);
        Flush();
        Sha256 copy = m_sha;
        m_prefix = copy.Final();
        data += head;
        size -= head;
    }
    Buffer(data, size);
}

void MessageHasher::Buffer(const char *data, std::size_t size)
{
    m_size += size;
    if (m_buffered + size > m_buffer.size()) {
        Flush();
        if (size >= m_buffer.size()) {
            m_sha.Update(std::string_view(data, size));
            return;
        }
    }
    std::memcpy(m_buffer.data() + m_buffered, data, size);
    m_buffered += size;
}

void MessageHasher::Flush()
{
    m_sha.Update(std::string_view(m_buffer.data(), m_buffered));
    m_buffered = 0;
}

MessageDigest MessageHasher::Finish()
{
    if (m_pendingCr)
        Put("\n", 1);
    m_pendingCr = false;
    Flush();
    if (m_prefixSize && *m_prefixSize == 0)
        m_prefix = Sha256::Of({});
    m_finishedPrefix = m_prefix;
    m_prefix.reset();
    m_size = 0;
    return m_sha.Final();
}

std::string NormalMessageText(std::string_view text)
{
    std::string normal;
    normal.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            normal.push_back(text[i]);
        } else if (i + 1 == text.size() || text[i + 1] != '\n') {
            normal.push_back('\n');
        }
    }
    return normal;
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

namespace {

// Also remembers where the last record started.
class ScanVisitor final : public RecordDigester {
public:
    std::uint64_t lastRecordAt = 0;
    void RecordStarted(std::uint64_t offset, std::string_view) override { lastRecordAt = offset; }
};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

} // namespace

MailboxScan ScanMailbox(const std::string &path, std::size_t chunkSize)
{
    MailboxScan scan;
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(OpenUtf8File(path, "rb"));
    if (!file) {
        const int error = errno;
        if (error == ENOENT) {
            scan.ok = true;
            return scan;
        }
        std::error_code ec;
        if (std::filesystem::is_directory(PathFromUtf8(path), ec)) {
            // Windows will not open a folder as a file; POSIX opens it and
            // then fails the read. Either way, the same words.
            scan.errorCode = EISDIR;
            scan.error = "cannot read mailbox '" + path + "': " + std::generic_category().message(EISDIR);
            return scan;
        }
        scan.errorCode = error != 0 ? error : EIO;
        scan.error = "cannot open mailbox '" + path + "': " + std::generic_category().message(scan.errorCode);
        return scan;
    }
    scan.exists = true;

    ScanVisitor visitor;
    MboxReader reader(visitor);
    std::vector<char> buffer(chunkSize > 0 ? chunkSize : 1);
    while (true) {
        const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
        if (got > 0)
            reader.Feed(std::string_view(buffer.data(), got));
        if (got < buffer.size()) {
            if (std::ferror(file.get())) {
                const int error = errno != 0 ? errno : EIO;
                scan.errorCode = error;
                scan.error = "cannot read mailbox '" + path + "': " + std::generic_category().message(error);
                return scan;
            }
            break;
        }
    }
    reader.Finish();
    scan.ok = true;
    scan.size = reader.Size();
    scan.records = reader.Records();
    scan.firstRecordAt = reader.FirstRecordAt();
    scan.wholeEnd = reader.WholeEnd();
    scan.lastRecordAt = visitor.lastRecordAt;
    if (scan.records > 0) {
        scan.lastRecordDigest = visitor.Last();
        scan.lastRecordSize = visitor.LastSize();
    }
    scan.digests = std::move(visitor.Digests());
    return scan;
}

MessageDigest DigestOfRecord(std::span<const std::string_view> pieces)
{
    RecordDigester digester;
    MboxReader reader(digester);
    for (const std::string_view piece : pieces)
        reader.Feed(piece);
    reader.Finish();
    return digester.Last();
}

} // namespace tovaly
