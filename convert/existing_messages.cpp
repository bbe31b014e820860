#include "existing_messages.h"
#include "utf8_path.h"

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

namespace tovaly {

namespace {

// Hashes the text of the one record it is fed.
class TextDigester final : public MboxVisitor {
public:
    explicit TextDigester(std::optional<std::uint64_t> prefixSize)
    {
        if (prefixSize)
            m_hasher.WatchPrefix(*prefixSize);
    }
    void RecordText(std::string_view piece) override { m_hasher.Add(piece); }
    void RecordEnded(std::uint64_t, RecordEnd) override
    {
        digests.full = m_hasher.Finish();
        digests.prefix = m_hasher.PrefixDigest();
    }

    RecordDigests digests;

private:
    MessageHasher m_hasher;
};

std::string Quoted(const std::string &path)
{
    return "'" + path + "'";
}

} // namespace

RecordDigests DigestsOfRecordText(std::string_view text, std::string_view closing,
                                  std::optional<std::uint64_t> prefixSize)
{
    // The From line is not part of the text a reader hands on, so any one
    // stands in for the real one.
    TextDigester digester(prefixSize);
    MboxReader reader(digester);
    reader.Feed("From -\n");
    reader.Feed(text);
    reader.Feed(closing);
    reader.Finish();
    return digester.digests;
}

ExistingMessages::ExistingMessages(std::string mailboxPath, CutHandler onCut, TornEnd tornEnd)
    : m_path(std::move(mailboxPath)), m_onCut(std::move(onCut)), m_tornEnd(tornEnd)
{
}

bool ExistingMessages::Load()
{
    // A link may lead out of the output folder: the record writer refuses
    // it, and it is neither read nor cut here.
    std::error_code linkError;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(std::filesystem::path(m_path), linkError))) {
        m_errorCode = ELOOP;
        m_error = "mailbox " + Quoted(m_path) +
                  " is a symbolic link, and mailboxes are written only inside the output folder, never through links";
        return false;
    }
    // Reading a FIFO or a device would wait or never end: only a regular
    // file (or none) is read.
    std::error_code statusError;
    const std::filesystem::file_status status = std::filesystem::status(PathFromUtf8(m_path), statusError);
    if (!statusError && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        m_errorCode = std::filesystem::is_directory(status) ? EISDIR : EINVAL;
        m_error = "mailbox " + Quoted(m_path) + " is not a file";
        return false;
    }
    MailboxScan scan = ScanMailbox(m_path);
    if (!scan.ok) {
        m_errorCode = scan.errorCode != 0 ? scan.errorCode : EIO;
        m_error = std::move(scan.error);
        return false;
    }
    m_digests = std::move(scan.digests);
    m_length = scan.size;
    if (m_tornEnd == TornEnd::Keep)
        return true; // a torn last record is in no digest, and nothing is in doubt
    // The last record is in doubt unless what follows it was torn off: a run
    // writes a record whole before it starts the next one.
    const bool lastRecordTorn = scan.records > 0 && scan.wholeEnd == scan.lastRecordAt && scan.wholeEnd < scan.size;
    if (scan.wholeEnd < scan.size && !Cut(scan.size, scan.wholeEnd))
        return false;
    m_lastInDoubt = scan.records > 0 && !lastRecordTorn;
    m_lastDigest = scan.lastRecordDigest;
    m_lastSize = scan.lastRecordSize;
    m_lastAt = scan.lastRecordAt;
    return true;
}

bool ExistingMessages::Cut(std::uint64_t from, std::uint64_t to)
{
    std::error_code ec;
    std::filesystem::resize_file(PathFromUtf8(m_path), to, ec);
    if (ec) {
        m_errorCode = ec.value() != 0 ? ec.value() : EIO;
        m_error = "cannot cut mailbox " + Quoted(m_path) + " back to its last whole record: " + ec.message();
        return false;
    }
    m_length = to;
    if (m_onCut)
        m_onCut(MailboxCut{m_path, from, to});
    return true;
}

SkipVerdict ExistingMessages::Check(std::string_view text, std::string_view closing)
{
    SkipVerdict verdict;
    if (m_digests.Size() == 0 && !m_lastInDoubt)
        return verdict; // nothing left to match: no digest to take
    const RecordDigests digests =
        DigestsOfRecordText(text, closing, m_lastInDoubt ? std::optional<std::uint64_t>(m_lastSize) : std::nullopt);
    if (m_digests.Take(digests.full)) {
        verdict.skip = true;
        return verdict;
    }
    if (m_lastInDoubt) {
        // The first record to be written: settle the doubt about the last
        // one before anything follows it.
        m_lastInDoubt = false;
        if (digests.prefix && *digests.prefix == m_lastDigest && m_digests.Count(m_lastDigest) > 0) {
            if (!Cut(m_length, m_lastAt)) {
                verdict.errorCode = m_errorCode;
                verdict.error = m_error;
                return verdict;
            }
            (void)m_digests.Take(m_lastDigest);
        }
    }
    return verdict;
}

ExistingMessages *ExistingMailboxes::For(const std::string &mailboxPath, RecordResult &failure)
{
    if (const auto found = m_mailboxes.find(mailboxPath); found != m_mailboxes.end())
        return found->second.get();
    auto messages = std::make_unique<ExistingMessages>(mailboxPath, m_onCut, m_tornEnd);
    if (!messages->Load()) {
        failure = RecordResult{};
        failure.errorCode = messages->ErrorCode();
        failure.error = messages->Error();
        return nullptr;
    }
    return m_mailboxes.emplace(mailboxPath, std::move(messages)).first->second.get();
}

} // namespace tovaly
