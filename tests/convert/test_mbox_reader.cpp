#include "mailbox_record.h"
#include "mailbox_scan.h"
#include "mbox_reader.h"
#include "message_digest.h"
#include "message_text.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

// ---- what a reader tells ------------------------------------------------------

struct Record {
    std::uint64_t start = 0;
    std::string fromLine;
    std::string text;
    std::uint64_t end = 0;
    RecordEnd how = RecordEnd::Torn;

    bool operator==(const Record &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Record &r)
{
    const char *how = r.how == RecordEnd::Whole ? "whole" : r.how == RecordEnd::Torn ? "torn" : "no empty line";
    return out << "{" << r.start << " '" << r.fromLine << "' text='" << r.text << "' " << r.end << " " << how << "}";
}

class Recorder final : public MboxVisitor {
public:
    std::vector<Record> records;
    std::size_t largestPiece = 0;
    int calls = 0;

    void RecordStarted(std::uint64_t offset, std::string_view fromLine) override
    {
        // Every record that starts has ended the one before.
        EXPECT_TRUE(records.empty() || m_ended);
        records.push_back({offset, std::string(fromLine), {}, 0, RecordEnd::Torn});
        m_ended = false;
        ++calls;
    }
    void RecordText(std::string_view piece) override
    {
        EXPECT_FALSE(records.empty());
        EXPECT_FALSE(piece.empty());
        if (!records.empty())
            records.back().text.append(piece);
        largestPiece = std::max(largestPiece, piece.size());
        ++calls;
    }
    void RecordEnded(std::uint64_t end, RecordEnd how) override
    {
        EXPECT_FALSE(records.empty());
        EXPECT_FALSE(m_ended);
        if (!records.empty()) {
            records.back().end = end;
            records.back().how = how;
        }
        m_ended = true;
        ++calls;
    }

private:
    bool m_ended = false;
};

struct Reading {
    std::vector<Record> records;
    std::uint64_t size = 0;
    std::uint64_t count = 0;
    std::uint64_t firstRecordAt = 0;
    std::uint64_t wholeEnd = 0;
    bool torn = false;

    bool operator==(const Reading &) const = default;
};

std::ostream &operator<<(std::ostream &out, const Reading &r)
{
    out << "size " << r.size << " records " << r.count << " first " << r.firstRecordAt << " whole to " << r.wholeEnd
        << (r.torn ? " torn" : "") << "\n";
    for (const Record &record : r.records)
        out << "  " << record << "\n";
    return out;
}

// Reads `data` fed in the pieces that `cuts` (ascending offsets) make.
Reading Read(std::string_view data, const std::vector<std::size_t> &cuts = {})
{
    Recorder recorder;
    MboxReader reader(recorder);
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        reader.Feed(data.substr(from, cut - from));
        from = cut;
    }
    reader.Feed(data.substr(from));
    reader.Finish();
    return {recorder.records,       reader.Size(),     reader.Records(),
            reader.FirstRecordAt(), reader.WholeEnd(), reader.Torn()};
}

Record R(std::uint64_t start, std::string from, std::string text, std::uint64_t end, RecordEnd how)
{
    return {start, std::move(from), std::move(text), end, how};
}

constexpr auto kWhole = RecordEnd::Whole;
constexpr auto kTorn = RecordEnd::Torn;
constexpr auto kNoEmptyLine = RecordEnd::NoEmptyLine;

const std::string kFromAnn = "From ann@example.org Tue Mar 05 09:07:03 2024";
const std::string kFromBob = "From bob@example.org Wed Mar 06 10:00:00 2024";

// A CR LF mailbox of two records with every kind of quoted line.
std::string CrLfMailbox()
{
    return kFromAnn + "\r\nSubject: one\r\n\r\n>From the start\r\n>>From twice\r\n>Fromage\r\nFrom\r\n" +
           ">\r\n>>\r\n\r\n\r\n" + kFromBob + "\r\nSubject: two\r\n\r\nbody\r\n\r\n";
}

// The same kind of mailbox with LF line ends, an empty message and empty
// lines at the start and end of a text.
std::string LfMailbox()
{
    return kFromAnn + "\n\n" + kFromBob + "\n\nafter an empty line\n\n\n\n" + kFromAnn + "\nX: y\n\n";
}

} // namespace

// ---- reading ------------------------------------------------------------------

TEST(MboxReader, ReadsRecordsAndUndoesOneLevelOfQuoting)
{
    const std::string data = CrLfMailbox();
    const std::size_t second = data.find(kFromBob);
    const Reading reading = Read(data);
    EXPECT_EQ(
        reading.records,
        (std::vector<Record>{
            R(0, kFromAnn, "Subject: one\r\n\r\nFrom the start\r\n>From twice\r\n>Fromage\r\nFrom\r\n>\r\n>>\r\n\r\n",
              second, kWhole),
            R(second, kFromBob, "Subject: two\r\n\r\nbody\r\n", data.size(), kWhole)}))
        << reading;
    EXPECT_EQ(reading.count, 2u);
    EXPECT_EQ(reading.firstRecordAt, 0u);
    EXPECT_EQ(reading.wholeEnd, data.size());
    EXPECT_FALSE(reading.torn);
}

TEST(MboxReader, LfLineEndsEmptyMessagesAndEmptyLinesAroundTheText)
{
    const std::string data = LfMailbox();
    const std::size_t second = data.find(kFromBob);
    const std::size_t third = data.rfind(kFromAnn);
    EXPECT_EQ(Read(data).records,
              (std::vector<Record>{R(0, kFromAnn, "", second, kWhole),
                                   R(second, kFromBob, "\nafter an empty line\n\n\n", third, kWhole),
                                   R(third, kFromAnn, "X: y\n", data.size(), kWhole)}))
        << Read(data);
}

TEST(MboxReader, RecordsWithoutAnEmptyLineAndBytesBeforeTheFirstRecord)
{
    // Every line that begins "From " starts a record (mboxrd).
    const std::string data = "not mail\n\n" + kFromAnn + "\nFrom the body\n" + kFromBob + "\r\nx\r\n\r\n";
    const std::size_t first = data.find(kFromAnn);
    const std::size_t inBody = data.find("From the body");
    const std::size_t last = data.find(kFromBob);
    const Reading reading = Read(data);
    EXPECT_EQ(reading.records, (std::vector<Record>{R(first, kFromAnn, "", inBody, kNoEmptyLine),
                                                    R(inBody, "From the body", "", last, kNoEmptyLine),
                                                    R(last, kFromBob, "x\r\n", data.size(), kWhole)}))
        << reading;
    EXPECT_EQ(reading.firstRecordAt, first);
    EXPECT_FALSE(reading.torn);

    const Reading none = Read("no record here\n>From x\n");
    EXPECT_TRUE(none.records.empty());
    EXPECT_EQ(none.firstRecordAt, none.size);
    EXPECT_EQ(none.wholeEnd, none.size);
    EXPECT_FALSE(none.torn);

    const Reading empty = Read("");
    EXPECT_EQ(empty, (Reading{{}, 0, 0, 0, 0, false}));
}

TEST(MboxReader, TellsWhereTheLastWholeRecordEnds)
{
    const std::string whole = kFromAnn + "\r\nSubject: one\r\n\r\nbody\r\n\r\n";
    const std::uint64_t end = whole.size();
    constexpr std::uint64_t kAtEnd = ~std::uint64_t{0}; // the end of the data
    struct Case {
        std::string tail; // after one whole record
        std::uint64_t wholeEnd;
        std::vector<Record> records;
    };
    const std::vector<Case> cases = {
        // Cut inside the next record, its From line or the From of it.
        {kFromBob + "\r\nSubject: two\r\n\r\nbo",
         end,
         {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole),
          R(end, kFromBob, "Subject: two\r\n\r\nbo", kAtEnd, kTorn)}},
        {kFromBob + "\r\nSubject: two\r\n",
         end,
         {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole),
          R(end, kFromBob, "Subject: two\r\n", kAtEnd, kTorn)}},
        {kFromBob + "\r\nSubject: two\r\n\r\nbody\r\n\r",
         end,
         {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole),
          R(end, kFromBob, "Subject: two\r\n\r\nbody\r\n\r", kAtEnd, kTorn)}},
        {kFromBob + "\r",
         end,
         {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole), R(end, kFromBob, "", kAtEnd, kTorn)}},
        {"From bob",
         end,
         {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole), R(end, "From bob", "", kAtEnd, kTorn)}},
        // A From line cut before its space: the record before is whole.
        {"Fro", end, {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole)}},
        {"F", end, {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n", end, kWhole)}},
        // Other text after the empty line belongs to the record, which is torn.
        {"Frog", 0, {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n\r\nFrog", kAtEnd, kTorn)}},
        {">Fro", 0, {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n\r\n>Fro", kAtEnd, kTorn)}},
        {"\r", 0, {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n\r\n\r", kAtEnd, kTorn)}},
        {"\r\n", end + 2, {R(0, kFromAnn, "Subject: one\r\n\r\nbody\r\n\r\n", end + 2, kWhole)}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tail);
        const std::string data = whole + c.tail;
        const Reading reading = Read(data);
        std::vector<Record> expected = c.records;
        for (Record &record : expected) {
            if (record.end == kAtEnd)
                record.end = data.size();
        }
        EXPECT_EQ(reading.records, expected) << reading;
        EXPECT_EQ(reading.wholeEnd, c.wholeEnd);
        EXPECT_EQ(reading.torn, c.wholeEnd < data.size());
    }

    // The first record cut short.
    EXPECT_EQ(Read(kFromAnn + "\r\nSubject: one\r\n\r\nbody\r\n").wholeEnd, 0u);
    EXPECT_EQ(Read(kFromAnn + "\r\nSubject: one\r\n\r\nbody").wholeEnd, 0u);
    EXPECT_EQ(Read(kFromAnn + "\r\n").wholeEnd, 0u);
    EXPECT_EQ(Read("From").wholeEnd, 0u);
    EXPECT_TRUE(Read("From").torn);
    EXPECT_EQ(Read("garbage\n\nFr").wholeEnd, 9u);
}

TEST(MboxReader, EverySplitOfTheInputReadsTheSame)
{
    const std::vector<std::string> inputs = {
        CrLfMailbox(),
        LfMailbox(),
        "x\n\n" + kFromAnn + "\r\n>>>From a\r\n>>>Fro\r\n\r\r\n\r\n>\n\n" + kFromBob + "\nFrom",
        kFromAnn + "\r\n\r\n\r\n\r\nFr",
        kFromAnn + "\r\nbody\r\n\r",
    };
    for (const std::string &data : inputs) {
        SCOPED_TRACE(data);
        const Reading whole = Read(data);
        // Two pieces, three pieces and single bytes.
        for (std::size_t i = 0; i <= data.size(); ++i) {
            ASSERT_EQ(Read(data, {i}), whole) << "cut at " << i;
            for (std::size_t j = i; j <= data.size(); ++j)
                ASSERT_EQ(Read(data, {i, j}), whole) << "cuts at " << i << " and " << j;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 1; i < data.size(); ++i)
            everyByte.push_back(i);
        EXPECT_EQ(Read(data, everyByte), whole);
    }
}

TEST(MboxReader, MemoryStaysBoundedWhateverTheLines)
{
    // A large message fed in small chunks goes on in pieces no larger than
    // the chunks: nothing of it is gathered.
    std::string body;
    std::mt19937 random(7);
    while (body.size() < (std::size_t{1} << 20)) {
        std::string line(random() % 300, 'x');
        for (char &c : line)
            c = static_cast<char>('a' + random() % 26);
        body += line + (random() % 2 ? "\r\n" : "\n");
    }
    body += std::string(100000, 'y') + "\r\n"; // one long line
    const std::string data = kFromAnn + "\r\n" + body + "\r\n";
    constexpr std::size_t kChunk = 4096;
    Recorder recorder;
    MboxReader reader(recorder);
    for (std::size_t at = 0; at < data.size(); at += kChunk)
        reader.Feed(std::string_view(data).substr(at, kChunk));
    reader.Finish();
    ASSERT_EQ(recorder.records.size(), 1u);
    EXPECT_EQ(recorder.records[0].text, body);
    EXPECT_LE(recorder.largestPiece, kChunk);
    EXPECT_FALSE(reader.Torn());

    // A From line is kept up to its limit; a long run of quotes is counted,
    // not kept.
    const std::string longFrom = "From " + std::string(10000, 'a');
    const std::string quotes(100000, '>');
    const std::string data2 = longFrom + "\r\n" + quotes + "From x\r\n\r\n";
    const Reading reading = Read(data2, {5000, 20000, 60000});
    ASSERT_EQ(reading.records.size(), 1u);
    EXPECT_EQ(reading.records[0].fromLine, longFrom.substr(0, MboxReader::kMaxFromLine));
    EXPECT_EQ(reading.records[0].text, quotes.substr(1) + "From x\r\n");

    // The CR before the LF is not part of a From line, even at the limit.
    const std::string atLimit = "From " + std::string(MboxReader::kMaxFromLine - 6, 'b');
    EXPECT_EQ(Read(atLimit + "\r\n\r\n").records.at(0).fromLine, atLimit);
}

// ---- message digests -----------------------------------------------------------

TEST(MessageHasher, LineEndsCountAsOneLfWhereverThePiecesEnd)
{
    const std::string text = "a\r\nb\rc\nd\r\r\ne\r";
    const MessageDigest expected = test::DigestOf("a\nb\nc\nd\n\ne\n");
    MessageHasher hasher;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        for (std::size_t j = i; j <= text.size(); ++j) {
            hasher.Add(std::string_view(text).substr(0, i));
            hasher.Add(std::string_view(text).substr(i, j - i));
            hasher.Add(std::string_view(text).substr(j));
            ASSERT_EQ(hasher.Finish(), expected) << i << " " << j;
        }
    }
    // Different texts stay different, an empty line included.
    hasher.Add("a\n");
    const MessageDigest one = hasher.Finish();
    hasher.Add("a\n\n");
    EXPECT_NE(hasher.Finish(), one);
    hasher.Add("a\r\n");
    EXPECT_EQ(hasher.Finish(), one);
}

TEST(MessageHasher, DigestOfAPrefixOfEachText)
{
    const std::string text = "ab\r\ncd\r\nef";
    for (std::size_t i = 0; i <= text.size(); ++i) {
        MessageHasher hasher;
        hasher.WatchPrefix(5); // "ab\ncd" in the normal form
        hasher.Add(std::string_view(text).substr(0, i));
        hasher.Add(std::string_view(text).substr(i));
        EXPECT_EQ(hasher.Size(), 8u);
        EXPECT_EQ(hasher.Finish(), test::DigestOf("ab\ncd\nef"));
        ASSERT_TRUE(hasher.PrefixDigest().has_value()) << i;
        EXPECT_EQ(*hasher.PrefixDigest(), test::DigestOf("ab\ncd")) << i;

        // The next text is too short for the prefix.
        hasher.Add(std::string_view("ab\r\n").substr(0, std::min<std::size_t>(i, 4)));
        hasher.Add(std::string_view("ab\r\n").substr(std::min<std::size_t>(i, 4)));
        EXPECT_EQ(hasher.Finish(), test::DigestOf("ab\n"));
        EXPECT_FALSE(hasher.PrefixDigest().has_value());
    }
    MessageHasher whole;
    whole.WatchPrefix(3);
    whole.Add("ab\r");
    EXPECT_EQ(whole.Size(), 2u); // the CR waits for what follows
    EXPECT_EQ(whole.Finish(), test::DigestOf("ab\n"));
    EXPECT_EQ(whole.PrefixDigest(), test::DigestOf("ab\n"));
    MessageHasher empty;
    empty.WatchPrefix(0);
    empty.Add("x");
    (void)empty.Finish();
    EXPECT_EQ(empty.PrefixDigest(), test::DigestOf(""));
    MessageHasher unwatched;
    unwatched.Add("x");
    (void)unwatched.Finish();
    EXPECT_FALSE(unwatched.PrefixDigest().has_value());
}

TEST(DigestCounts, CountsEachDigestAsOftenAsAdded)
{
    const MessageDigest a = test::DigestOf("a");
    const MessageDigest b = test::DigestOf("b");
    DigestCounts counts;
    counts.Add(a);
    counts.Add(a);
    counts.Add(b);
    EXPECT_EQ(counts.Size(), 3u);
    EXPECT_EQ(counts.Count(a), 2u);
    EXPECT_TRUE(counts.Take(a));
    EXPECT_TRUE(counts.Take(a));
    EXPECT_FALSE(counts.Take(a));
    EXPECT_EQ(counts.Count(a), 0u);
    EXPECT_EQ(counts.Count(b), 1u);
    EXPECT_EQ(counts.Size(), 1u);
}

namespace {

class MailboxFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()) << "no temporary folder"; }
    std::string Put(const std::string &name, const std::string &content) const
    {
        return m_temp.Put(name, content).string();
    }
    std::string ReadAll(const std::string &path) const
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    test::TempFolder m_temp{"mbox_reader"};
    const fs::path m_dir = m_temp.Path();
};

std::string Message(const std::string &subject, const std::string &body, const std::string &eol = "\r\n")
{
    return "From: Ann <ann@example.org>" + eol + "Date: Tue, 5 Mar 2024 09:07:03 +0000" + eol + "Subject: " + subject +
           eol + eol + body;
}

} // namespace

TEST_F(MailboxFiles, ReadsBackWhatTheRecordWriterWrote)
{
    // Sources with lines a reader could take for record starts, quoting,
    // bare LFs, lone CRs, a source of two messages and a last line without
    // a line end.
    const std::vector<std::string> sources = {
        Message("one", "From the start of a line\r\n>From quoted\r\n>>From twice\r\nend\r\n"),
        Message("two", "mixed\nline ends\rhere\r\n\r\n\r\n", "\n"),
        Message("three", "no line end at the end"),
        "From - Tue Mar 05 10:00:00 2024\r\nX-Opera-Status: 00\r\n" + Message("four", "a\r\n") +
            "\r\nFrom - Tue Mar 05 10:00:01 2024\r\nX-Opera-Status: 00\r\n" + Message("five", "b\r\n"),
    };
    // What each message reads back as: its text, line ends as LF.
    const std::vector<std::string> expected = {
        test::LfText(Message("one", "From the start of a line\r\n>From quoted\r\n>>From twice\r\nend\r\n")),
        test::LfText(Message("two", "mixed\nline ends\rhere\r\n\r\n\r\n", "\n")),
        test::LfText(Message("three", "no line end at the end\r\n")),
        // The envelope line goes; the Opera header stays part of the message.
        test::LfText("X-Opera-Status: 00\r\n" + Message("four", "a\r\n")),
        test::LfText("X-Opera-Status: 00\r\n" + Message("five", "b\r\n")),
    };
    const std::string mailbox = (m_dir / "out.mbox").string();
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const RecordResult result = AppendMailboxRecord(Put(std::to_string(i) + ".mbs", sources[i]), mailbox);
        ASSERT_TRUE(result.ok) << result.error;
    }

    const std::string data = ReadAll(mailbox);
    const Reading reading = Read(data);
    ASSERT_EQ(reading.records.size(), expected.size()) << reading;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(reading.records[i].how, kWhole);
        EXPECT_EQ(test::LfText(reading.records[i].text), expected[i]) << i;
        EXPECT_EQ(reading.records[i].fromLine.rfind("From ann@example.org ", 0), 0u);
    }
    EXPECT_FALSE(reading.torn);

    const MailboxScan scan = tovaly::test::ScanMailboxFile(mailbox, 7);
    ASSERT_TRUE(scan.ok) << scan.error;
    EXPECT_TRUE(scan.exists);
    EXPECT_EQ(scan.size, data.size());
    EXPECT_EQ(scan.records, expected.size());
    EXPECT_EQ(scan.wholeEnd, data.size());
    EXPECT_EQ(scan.lastRecordAt, reading.records.back().start);
    EXPECT_EQ(scan.lastRecordDigest, test::DigestOf(expected.back()));
    EXPECT_EQ(scan.lastRecordSize, expected.back().size());
    EXPECT_EQ(scan.digests.Size(), expected.size());
    for (const std::string &text : expected)
        EXPECT_EQ(scan.digests.Count(test::DigestOf(text)), 1u) << text;
}

namespace {

// The digests of the records that are not torn, in order.
std::vector<MessageDigest> DigestList(std::string_view data)
{
    class Lister final : public MboxVisitor {
    public:
        std::vector<MessageDigest> digests;
        void RecordText(std::string_view piece) override { m_hasher.Add(piece); }
        void RecordEnded(std::uint64_t, RecordEnd how) override
        {
            const MessageDigest digest = m_hasher.Finish();
            if (how != RecordEnd::Torn)
                digests.push_back(digest);
        }

    private:
        MessageHasher m_hasher;
    };
    Lister lister;
    MboxReader reader(lister);
    reader.Feed(data);
    reader.Finish();
    return lister.digests;
}

} // namespace

TEST_F(MailboxFiles, AMailboxCutAnywhereKeepsItsWholeRecords)
{
    // Three records as the writer makes them; the file is cut at every byte.
    const std::string mailbox = (m_dir / "out.mbox").string();
    std::vector<std::uint64_t> ends = {0};
    for (const char *subject : {"one", "two", "three"}) {
        const std::string body = std::string("Body of ") + subject + "\r\n\r\nFrom here\r\n";
        ASSERT_TRUE(AppendMailboxRecord(Put(std::string(subject) + ".mbs", Message(subject, body)), mailbox).ok);
        ends.push_back(fs::file_size(mailbox));
    }
    const std::string data = ReadAll(mailbox);
    const std::vector<MessageDigest> all = DigestList(data);
    ASSERT_EQ(all.size(), 3u);
    const Reading full = Read(data);

    int looksWhole = 0;
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        SCOPED_TRACE(cut);
        const std::string_view prefix = std::string_view(data).substr(0, cut);
        Recorder recorder;
        MboxReader reader(recorder);
        reader.Feed(prefix);
        reader.Finish();
        std::size_t whole = 0; // records wholly before the cut
        while (whole + 1 < ends.size() && ends[whole + 1] <= cut)
            ++whole;
        const std::vector<MessageDigest> digests = DigestList(prefix);
        ASSERT_GE(digests.size(), whole);
        // The whole records are the first ones of the full mailbox.
        EXPECT_TRUE(std::equal(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(whole), digests.begin()));
        if (reader.WholeEnd() == ends[whole]) {
            EXPECT_EQ(reader.Torn(), cut != ends[whole]);
            EXPECT_EQ(digests.size(), whole);
        } else {
            // A cut right after an empty line inside a message looks like a
            // whole record, with less text than the message: only the
            // sources can tell it apart.
            EXPECT_EQ(reader.WholeEnd(), cut);
            EXPECT_TRUE(prefix.ends_with("\n\n") || prefix.ends_with("\r\n\r\n"));
            ASSERT_EQ(digests.size(), whole + 1);
            EXPECT_NE(digests.back(), all[whole]);
            // The message it was cut from shows it: the record is a prefix
            // of that message's text.
            const MailboxScan scan = tovaly::test::ScanMailboxFile(Put("torn.mbox", std::string(prefix)));
            EXPECT_EQ(scan.lastRecordDigest, digests.back());
            MessageHasher hasher;
            hasher.WatchPrefix(scan.lastRecordSize);
            hasher.Add(full.records[whole].text);
            EXPECT_EQ(hasher.Finish(), all[whole]);
            EXPECT_EQ(hasher.PrefixDigest(), scan.lastRecordDigest);
            ++looksWhole;
        }
    }
    // The header-body separators and the empty lines in the bodies.
    EXPECT_EQ(looksWhole, 6);
}

TEST_F(MailboxFiles, ChunkSizesDoNotChangeWhatIsFound)
{
    const std::string path = Put("x.mbox", CrLfMailbox() + LfMailbox() + "From x\r\nto");
    const MailboxScan big = tovaly::test::ScanMailboxFile(path);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
        const MailboxScan scan = tovaly::test::ScanMailboxFile(path, chunk);
        EXPECT_EQ(scan.records, big.records);
        EXPECT_EQ(scan.wholeEnd, big.wholeEnd);
        EXPECT_EQ(scan.lastRecordAt, big.lastRecordAt);
        EXPECT_EQ(scan.digests.Size(), big.digests.Size());
    }
    EXPECT_EQ(big.records, 6u);
    EXPECT_EQ(big.digests.Size(), 5u);
    EXPECT_EQ(big.wholeEnd, big.lastRecordAt);
    EXPECT_LT(big.wholeEnd, big.size);
}
