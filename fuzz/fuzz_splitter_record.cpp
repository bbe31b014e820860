// The splitter and the record writer on arbitrary sources: the mbox reader
// reads back exactly the messages the splitter cut out, with one level of
// ">From " quoting undone, however the source is read, the mailbox written
// and the mailbox read back.
//
// Input: four control bytes, then the source.
//   byte 0: bit 0 the line ends (1: CR LF); bits 1-3 what the mailbox holds
//           before (see kBefore); bit 4 a second append of the same source
//   byte 1: the most bytes one read of the source returns (0: no limit)
//   byte 2: the most bytes one write to the mailbox takes (0: no limit)
//   byte 3: the most bytes the reader is fed at once (0: all at once)
// Each read, write and feed takes a size between 1 and its limit, drawn
// from a sequence seeded with the control bytes.
#include "fuzz_report.h"
#include "line_end.h"
#include "mailbox_record.h"
#include "mbox_reader.h"
#include "message_splitter.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

using tovaly::LineEnds;

// Sizes between 1 and a limit, the same sequence for the same input.
class Sizes {
public:
    Sizes(std::uint32_t seed, std::size_t limit) : m_state(seed | 1u), m_limit(limit) {}
    std::size_t Next(std::size_t wanted)
    {
        if (m_limit == 0 || wanted == 0)
            return wanted;
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return std::min<std::size_t>(wanted, 1 + m_state % m_limit);
    }

private:
    std::uint32_t m_state;
    std::size_t m_limit;
};

constexpr int kSourceFd = 3;
constexpr int kMailboxFd = 4;

// The source and the mailbox in memory, read and written in pieces of the
// sizes the input chose.
class MemoryIo final : public tovaly::RecordFileIo {
public:
    MemoryIo(std::string_view source, std::string before, Sizes reads, Sizes writes)
        : RecordFileIo(std::chrono::milliseconds(0)), mailbox(std::move(before)), m_source(source), m_reads(reads),
          m_writes(writes)
    {
    }

    std::string mailbox;

    void Rewind() { m_readAt = 0; }

    tovaly::IoResult<int> OpenSource(const std::string &) override { return {kSourceFd, {}}; }
    tovaly::IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size) override
    {
        if (fd != kSourceFd)
            return {0, tovaly::IoError(std::errc::bad_file_descriptor)};
        const std::size_t take = m_reads.Next(std::min(size, m_source.size() - m_readAt));
        std::copy_n(m_source.data() + m_readAt, take, buffer);
        m_readAt += take;
        return {take, {}};
    }
    tovaly::IoResult<std::size_t> ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset) override
    {
        const std::string_view file = fd == kSourceFd ? m_source : std::string_view(mailbox);
        if (offset >= file.size())
            return {0, {}};
        const std::size_t take = std::min<std::size_t>(size, file.size() - static_cast<std::size_t>(offset));
        std::copy_n(file.data() + offset, take, buffer);
        return {take, {}};
    }
    tovaly::IoResult<int> OpenMailbox(const tovaly::MailboxLocation &, bool *created) override
    {
        if (created)
            *created = false;
        return {kMailboxFd, {}};
    }
    tovaly::IoResult<int> ReopenMailbox(const tovaly::MailboxLocation &) override { return {kMailboxFd, {}}; }
    std::error_code Stat(int fd, tovaly::FileStatus &status) override
    {
        status = {};
        status.regular = true;
        status.size = fd == kSourceFd ? m_source.size() : mailbox.size();
        status.modified = 1709629623;
        status.inode = static_cast<std::uint64_t>(fd);
        return {};
    }
    std::error_code TryLock(int) override { return {}; }
    std::error_code TryDotlock(const tovaly::MailboxLocation &) override { return {}; }
    std::error_code RemoveDotlock(const tovaly::MailboxLocation &) override { return {}; }
    std::error_code RemoveMailbox(int, const tovaly::MailboxLocation &) override { return {}; }
    std::error_code Truncate(int fd, std::uint64_t length) override
    {
        if (fd != kMailboxFd || length > mailbox.size())
            return tovaly::IoError(std::errc::invalid_argument);
        mailbox.resize(static_cast<std::size_t>(length));
        return {};
    }
    tovaly::IoResult<std::size_t> Write(int fd, std::span<const std::string_view> pieces) override
    {
        if (fd != kMailboxFd)
            return {0, tovaly::IoError(std::errc::bad_file_descriptor)};
        std::size_t total = 0;
        for (const std::string_view piece : pieces)
            total += piece.size();
        std::size_t allowance = m_writes.Next(total);
        const std::size_t written = allowance;
        for (const std::string_view piece : pieces) {
            const std::size_t take = std::min(allowance, piece.size());
            mailbox.append(piece.substr(0, take));
            allowance -= take;
        }
        return {written, {}};
    }
    std::error_code Close(int) override { return {}; }

private:
    std::string_view m_source;
    std::size_t m_readAt = 0;
    Sizes m_reads;
    Sizes m_writes;
};

// Collects the text of every record the reader finds.
class Records final : public tovaly::MboxVisitor {
public:
    std::vector<std::string> texts;
    std::vector<tovaly::RecordEnd> ends;

    void RecordStarted(std::uint64_t, std::string_view) override { texts.emplace_back(); }
    void RecordText(std::string_view piece) override { texts.back().append(piece); }
    void RecordEnded(std::uint64_t, tovaly::RecordEnd how) override { ends.push_back(how); }
};

// `text` with one ">" taken off every line that matches ^>+From .
std::string Unquoted(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (lineStart && text[i] == '>') {
            std::size_t j = i;
            while (j < text.size() && text[j] == '>')
                ++j;
            if (text.substr(j).starts_with("From "))
                ++i; // drop one ">"
        }
        if (i < text.size()) {
            out.push_back(text[i]);
            lineStart = text[i] == '\n';
        }
    }
    return out;
}

// `text` with every line end (CR LF, a lone CR or a lone LF) written as LF.
std::string WithLfLineEnds(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Whether every line end of `text` is `lineEnd`.
bool OnlyLineEnds(std::string_view text, std::string_view lineEnd)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        if (text.substr(i, lineEnd.size()) != lineEnd)
            return false;
        i += lineEnd.size() - 1;
    }
    return true;
}

// What a mailbox held before the run, and the text of that record as read
// back once its tail is completed (empty for none).
struct Before {
    std::string_view bytes;
    std::string_view lfText;   // read back when the run writes LF
    std::string_view crlfText; // and CR LF
    bool torn;
};

#define TOVALY_FROM "From a@example.org Tue Mar 05 09:07:03 2024"
constexpr std::array<Before, 6> kBefore{{
    {"", "", "", false},
    {TOVALY_FROM "\nSubject: x\n\n", "Subject: x\n", "Subject: x\n", false},
    {TOVALY_FROM "\r\nSubject: x\r\n\r\n", "Subject: x\r\n", "Subject: x\r\n", false},
    {TOVALY_FROM "\nSubject: x\n", "Subject: x\n", "Subject: x\n", true},
    {TOVALY_FROM "\nSubject: x", "Subject: x\n", "Subject: x\r\n", true},
    {TOVALY_FROM "\r\nSubject: x\r", "Subject: x\r\n", "Subject: x\r\n", true},
}};
#undef TOVALY_FROM

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 4)
        return 0;
    const std::uint8_t flags = data[0];
    const LineEnds lineEnds = (flags & 1) != 0 ? LineEnds::CrLf : LineEnds::Lf;
    const Before &before = kBefore[((flags >> 1) & 7u) % kBefore.size()];
    const bool twice = (flags & 0x10) != 0;
    const std::uint32_t seed = static_cast<std::uint32_t>(data[0]) << 24 | static_cast<std::uint32_t>(data[1]) << 16 |
                               static_cast<std::uint32_t>(data[2]) << 8 | data[3];
    const std::string_view source(reinterpret_cast<const char *>(data + 4), size - 4);
    const std::string_view lineEnd = tovaly::LineEndText(lineEnds);

    // The messages as the splitter cuts them out of the whole source at once.
    std::vector<std::string> split;
    tovaly::MessageSplitter splitter(
        [&split](const tovaly::SplitMessage &message) {
            split.emplace_back(message.text);
            return true;
        },
        lineEnds);
    (void)splitter.Feed(source);
    (void)splitter.Finish();

    MemoryIo io(source, std::string(before.bytes), Sizes(seed, data[1]), Sizes(seed * 2654435761u, data[2]));
    const auto show = [&](const char *property, std::string_view detail = {}) {
        return [&, property, detail](bool condition) {
            tovaly::fuzz::Require(condition, property,
                                  {{"line ends", lineEnds == LineEnds::CrLf ? "CR LF" : "LF"},
                                   {"before", before.bytes},
                                   {"source", source},
                                   {"mailbox", io.mailbox},
                                   {"detail", detail}});
        };
    };

    const std::size_t runs = twice ? 2 : 1;
    for (std::size_t run = 0; run < runs; ++run) {
        io.Rewind();
        const tovaly::RecordResult result =
            tovaly::AppendMailboxRecord("source.mbs", "mailbox.mbox", nullptr, io, lineEnds);
        show("every message of the source is appended", result.error)(result.ok);
        show("one record per split message")(result.messages == static_cast<int>(split.size()));
        show("a torn mailbox is completed and said so, a whole one is not")(result.warnings.size() ==
                                                                            (run == 0 && before.torn ? 1u : 0u));
    }

    // Read back in pieces of the sizes the input chose.
    Records records;
    tovaly::MboxReader reader(records);
    Sizes feeds(seed ^ 0x5bd1e995u, data[3]);
    for (std::string_view rest = io.mailbox; !rest.empty();) {
        const std::size_t take = data[3] == 0 ? rest.size() : feeds.Next(rest.size());
        reader.Feed(rest.substr(0, take));
        rest.remove_prefix(take);
    }
    reader.Finish();

    show("the mailbox ends with a whole record")(!reader.Torn());
    const std::size_t first = before.bytes.empty() ? 0 : 1;
    show("as many records as were there and were split")(records.texts.size() == first + runs * split.size());
    for (const tovaly::RecordEnd how : records.ends)
        show("every record closed by an empty line")(how == tovaly::RecordEnd::Whole);
    if (first == 1) {
        const std::string_view expected = lineEnds == LineEnds::CrLf ? before.crlfText : before.lfText;
        show("the record that was there reads back as it was", records.texts[0])(records.texts[0] == expected);
    }
    for (std::size_t i = first; i < records.texts.size(); ++i) {
        const std::string &message = split[(i - first) % split.size()];
        // The record gives the message with its quoting undone, and the line
        // end a last line without one was given.
        std::string expected = Unquoted(message);
        if (!message.empty() && !message.ends_with(lineEnd))
            expected += lineEnd;
        show("a record reads back as the split message", records.texts[i])(records.texts[i] == expected);
    }

    // Without the splitter's word for it: every record, its line ends
    // rewritten back, is a run of the source's lines, in the source's order.
    const std::string sourceLines = WithLfLineEnds(source) + "\n";
    std::size_t at = 0;
    for (std::size_t i = first; i < first + split.size() && i < records.texts.size(); ++i) {
        show("a record has only the line ends asked for", records.texts[i])(OnlyLineEnds(records.texts[i], lineEnd));
        const std::string lines = WithLfLineEnds(records.texts[i]);
        std::size_t found = sourceLines.find(lines, at);
        while (found != std::string::npos && found > 0 && sourceLines[found - 1] != '\n')
            found = sourceLines.find(lines, found + 1); // a run of whole lines starts a line
        show("a record is the source's own lines, in order", records.texts[i])(found != std::string::npos);
        at = found + lines.size();
    }
    return 0;
}
