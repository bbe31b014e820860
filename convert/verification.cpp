#include "verification.h"

#include "error_text.h"
#include "mbox_reader.h"
#include "utf8_path.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>

namespace tovaly {

namespace {

constexpr std::size_t kReadChunk = std::size_t{1} << 18;

// The check of a record's text as a reader will get it back: one ">" off
// every line matching ^>+From , and the line end the closing gave a last
// line without one (the closing is then two line ends, of which a reader
// drops only the empty line).
MessageDigest CheckOfRecordText(std::string_view text, std::string_view closing)
{
    ExactHasher hasher;
    std::size_t from = 0; // of the text not yet hashed
    // Only a line that starts with ">" can be a quoted From line, so the
    // search goes from one ">" to the next rather than line by line.
    for (std::size_t at = text.find('>'); at != std::string_view::npos;) {
        if (at > 0 && text[at - 1] != '\n') {
            at = text.find('>', at + 1);
            continue;
        }
        const std::size_t quotes = text.find_first_not_of('>', at);
        if (quotes == std::string_view::npos)
            break;
        if (text.substr(quotes).starts_with("From ")) {
            hasher.Add(text.substr(from, at - from));
            from = at + 1;
        }
        at = text.find('>', quotes);
    }
    hasher.Add(text.substr(from));
    const std::string_view half = closing.substr(0, closing.size() / 2);
    if (!half.empty() && closing.size() == 2 * half.size() && closing.ends_with(half))
        hasher.Add(half);
    return hasher.Finish();
}

// The records of a mailbox read from some byte on: the check and place of
// each whole one, and where torn ones start.
class ReadBack final : public MboxVisitor {
public:
    explicit ReadBack(std::uint64_t from) : m_from(from) {}

    void RecordStarted(std::uint64_t offset, std::string_view) override { m_start = m_from + offset; }
    void RecordText(std::string_view piece) override { m_hasher.Add(piece); }
    void RecordEnded(std::uint64_t, RecordEnd how) override
    {
        const MessageDigest digest = m_hasher.Finish();
        if (how == RecordEnd::Torn)
            torn.push_back(m_start);
        else
            records.push_back({digest, m_start});
    }

    struct Record {
        MessageDigest digest{};
        std::uint64_t at = 0;
    };
    std::vector<Record> records;
    std::vector<std::uint64_t> torn;

private:
    std::uint64_t m_from;
    std::uint64_t m_start = 0;
    ExactHasher m_hasher;
};

} // namespace

std::string ReadBackSummary(const VerificationReport &report)
{
    std::string line = Counted(report.messages, "message", "messages") + " in " +
                       Counted(report.mailboxes, "mailbox", "mailboxes") + " read back";
    if (report.Matched())
        return line + " and matched";
    return line + "; " + Counted(report.mismatches.size(), "mismatch", "mismatches");
}

// Passes each record on to the skipper of the run and notes the ones that
// are not left out.
class RunVerifier::Watcher final : public RecordSkipper {
public:
    explicit Watcher(RunVerifier &verifier) : m_verifier(verifier) {}

    void Use(RecordSkipper *inner) { m_inner = inner; }

    SkipVerdict Check(std::string_view text, std::string_view closing) override
    {
        SkipVerdict verdict = m_inner ? m_inner->Check(text, closing) : SkipVerdict{};
        if (!verdict.skip && !verdict.errorCode)
            m_verifier.Noted(text, closing);
        return verdict;
    }

private:
    RunVerifier &m_verifier;
    RecordSkipper *m_inner = nullptr;
};

RunVerifier::RunVerifier() : m_watcher(std::make_unique<Watcher>(*this)) {}

RunVerifier::~RunVerifier() = default;

RecordSkipper *RunVerifier::Watch(std::size_t sourceIndex, const std::string &mailboxPath, RecordSkipper *inner)
{
    const auto [found, added] = m_index.try_emplace(mailboxPath, m_mailboxes.size());
    if (added)
        m_mailboxes.push_back(Mailbox{mailboxPath, false, 0, {}});
    m_current = found->second;
    m_source = sourceIndex;
    m_pending.clear();
    m_watcher->Use(inner);
    return m_watcher.get();
}

void RunVerifier::Noted(std::string_view text, std::string_view closing)
{
    Mailbox &mailbox = m_mailboxes[m_current];
    if (!mailbox.started) {
        // Asked after the skipper had its say: a rerun may have cut the
        // mailbox back just now.
        std::error_code ec;
        const auto size = std::filesystem::file_size(PathFromUtf8(mailbox.path), ec);
        mailbox.from = ec ? 0 : static_cast<std::uint64_t>(size);
        mailbox.started = true;
    }
    m_pending.push_back({CheckOfRecordText(text, closing), m_source});
}

void RunVerifier::SourceDone(bool ok)
{
    if (ok && !m_pending.empty()) {
        std::vector<Written> &records = m_mailboxes[m_current].records;
        records.insert(records.end(), m_pending.begin(), m_pending.end());
    }
    m_pending.clear();
}

VerificationReport RunVerifier::Verify(const std::vector<std::string> &sources, RecordFileIo &io,
                                       const std::function<void()> &yield) const
{
    VerificationReport report;
    for (const Mailbox &mailbox : m_mailboxes) {
        if (mailbox.records.empty())
            continue;
        if (yield)
            yield();
        CheckMailbox(mailbox, sources, io, yield, report);
    }
    return report;
}

void RunVerifier::CheckMailbox(const Mailbox &mailbox, const std::vector<std::string> &sources, RecordFileIo &io,
                               const std::function<void()> &yield, VerificationReport &report) const
{
    ++report.mailboxes;
    const auto mismatch = [&](std::string problem) { report.mismatches.push_back({mailbox.path, std::move(problem)}); };
    ReadBack readBack(mailbox.from);
    {
        const IoResult<int> opened = io.OpenSource(mailbox.path);
        if (!opened) {
            mismatch("cannot be read back: " + Describe(opened.error));
            return;
        }
        const int fd = opened.value;
        const auto fail = [&](std::string problem) {
            (void)io.Close(fd); // read only: nothing to lose
            mismatch(std::move(problem));
        };
        FileStatus status;
        if (const std::error_code error = io.Stat(fd, status)) {
            fail("cannot be read back: " + Describe(error));
            return;
        }
        if (!status.regular) {
            // Something else was put in its place: a pipe would never end.
            fail("cannot be read back: it is no longer a plain file");
            return;
        }
        MboxReader reader(readBack);
        const auto chunk = std::make_unique_for_overwrite<char[]>(kReadChunk);
        for (std::uint64_t at = mailbox.from;;) {
            const IoResult<std::size_t> got = io.ReadAt(fd, chunk.get(), kReadChunk, at);
            if (!got) {
                fail("cannot be read back to its end: " + Describe(got.error));
                return;
            }
            if (got.value == 0)
                break;
            reader.Feed(std::string_view(chunk.get(), got.value));
            at += got.value;
            if (yield)
                yield();
        }
        (void)io.Close(fd);
        reader.Finish();
    }

    DigestCounts found;
    for (const ReadBack::Record &record : readBack.records)
        found.Add(record.digest);
    DigestCounts written;
    for (const Written &record : mailbox.records) {
        written.Add(record.digest);
        if (found.Take(record.digest))
            ++report.messages;
        else
            mismatch("a message of " + Quoted(sources.at(record.source)) + " is not in it as written");
    }
    for (const ReadBack::Record &record : readBack.records) {
        if (!written.Take(record.digest))
            mismatch("the record at byte " + std::to_string(record.at) + " is none of the messages written to it");
    }
    for (const std::uint64_t at : readBack.torn)
        mismatch("it ends inside a record (at byte " + std::to_string(at) + ")");
}

} // namespace tovaly
