#include "existing_messages.h"

#include "error_text.h"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

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

constexpr std::size_t kScanChunk = std::size_t{1} << 18;

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

ExistingMessages::ExistingMessages(MailboxLocation location, CutHandler onCut, TornEnd tornEnd, RecordFileIo *io)
    : m_path(location.Path()), m_onCut(std::move(onCut)), m_tornEnd(tornEnd),
      m_ownIo(io ? nullptr : new RecordFileIo()), m_io(io ? io : m_ownIo.get()),
      m_mailbox(std::make_unique<MailboxFile>(std::move(location), *m_io))
{
}

ExistingMessages::~ExistingMessages() = default;

bool ExistingMessages::Load()
{
    // Under the locks, so that a record another program is writing is
    // whole before it is read; through the descriptor that was checked, so
    // that a link or FIFO put in its place meanwhile is neither read nor cut.
    if (const std::error_code error = m_mailbox->OpenExisting()) {
        if (error == std::errc::no_such_file_or_directory)
            return true; // a missing mailbox holds nothing, and none is made
        m_errorCode = error;
        m_error = m_mailbox->OpenFailure();
        return false;
    }
    MailboxScan scan;
    bool loaded = Scan(scan);
    if (loaded && m_tornEnd == TornEnd::Keep) {
        // A torn last record is in no digest, and nothing is in doubt.
        m_digests = std::move(scan.digests);
        m_length = scan.size;
    } else if (loaded) {
        m_digests = std::move(scan.digests);
        m_length = scan.size;
        // The last record is in doubt unless what follows it was torn off:
        // a run writes a record whole before it starts the next one.
        const bool lastRecordTorn = scan.records > 0 && scan.wholeEnd == scan.lastRecordAt && scan.wholeEnd < scan.size;
        loaded = scan.wholeEnd == scan.size || Cut(scan.size, scan.wholeEnd);
        m_lastInDoubt = scan.records > 0 && !lastRecordTorn;
        m_lastDigest = scan.lastRecordDigest;
        m_lastSize = scan.lastRecordSize;
        m_lastAt = scan.lastRecordAt;
    }
    if (const std::error_code error = m_mailbox->Close(); error && loaded) {
        m_errorCode = error;
        m_error = "cannot read mailbox " + Quoted(m_path) + ": " + Describe(error);
        return false;
    }
    return loaded;
}

// Reads the open mailbox to the length it had when it was locked.
bool ExistingMessages::Scan(MailboxScan &scan)
{
    MailboxScanner scanner;
    std::vector<char> buffer(kScanChunk);
    const std::uint64_t length = m_mailbox->Length();
    std::uint64_t offset = 0;
    while (offset < length) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - offset));
        const IoResult<std::size_t> got = m_mailbox->ReadAt(buffer.data(), want, offset);
        if (got.error == std::errc::interrupted)
            continue;
        if (got.error || got.value == 0) {
            m_errorCode = got.error ? got.error : IoError(std::errc::io_error);
            m_error = "cannot read mailbox " + Quoted(m_path) + ": " + Describe(m_errorCode);
            return false;
        }
        scanner.Feed(std::string_view(buffer.data(), got.value));
        offset += got.value;
    }
    scan = scanner.Finish();
    return true;
}

// Cuts the mailbox back from `from` to `to` bytes: at once when it is open
// (and locked), else once it is opened and locked again and still ends at
// `from`; a mailbox another program has written to since is left alone.
bool ExistingMessages::Cut(std::uint64_t from, std::uint64_t to)
{
    const bool wasOpen = m_mailbox->IsOpen();
    if (!wasOpen) {
        if (const std::error_code error = m_mailbox->OpenExisting()) {
            m_errorCode = error;
            m_error =
                "cannot cut mailbox " + Quoted(m_path) + " back to its last whole record: " + m_mailbox->OpenFailure();
            return false;
        }
        if (m_mailbox->Length() != from) {
            // Another program wrote after that record: it is no longer last.
            (void)m_mailbox->Close();
            return true;
        }
    }
    const std::string failure = m_mailbox->CutBack(to);
    if (!wasOpen)
        (void)m_mailbox->Close();
    if (!failure.empty()) {
        m_errorCode = IoError(std::errc::io_error);
        m_error = "cannot cut mailbox " + Quoted(m_path) + " back to its last whole record" + failure;
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

ExistingMessages *ExistingMailboxes::For(const MailboxLocation &location, RecordResult &failure,
                                         std::vector<std::string> *warnings)
{
    std::string mailboxPath = location.Path();
    if (const auto found = m_mailboxes.find(mailboxPath); found != m_mailboxes.end())
        return found->second.get();
    auto messages = std::make_unique<ExistingMessages>(location, m_onCut, m_tornEnd, m_io);
    const bool loaded = messages->Load();
    if (warnings) {
        for (std::string &warning : messages->TakeWarnings())
            warnings->push_back(std::move(warning));
    }
    if (!loaded) {
        failure = RecordResult{};
        failure.errorCode = messages->ErrorCode().value();
        failure.error = messages->Error();
        return nullptr;
    }
    return m_mailboxes.emplace(std::move(mailboxPath), std::move(messages)).first->second.get();
}

} // namespace tovaly
