#include "batch_conversion.h"
#include "existing_messages.h"
#include "mailbox_location.h"
#include "mailbox_record.h"
#include "mailbox_scan.h"
#include "message_digest.h"
#include "message_text.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

std::string Message(const std::string &subject, const std::string &body, const std::string &eol = "\r\n")
{
    return "From: Ann Example <ann@example.org>" + eol + "Date: Tue, 5 Mar 2024 09:07:03 +0000" + eol +
           "Subject: " + subject + eol + eol + body;
}

std::string ReadAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class ExistingMessagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.empty());
        fs::create_directories(m_dir / "in");
        fs::create_directories(m_dir / "out");
    }
    std::string Put(const std::string &relative, const std::string &content) const
    {
        const fs::path p = m_dir / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    std::string Mailbox(const std::string &name = "box.mbox") const { return (m_dir / "out" / name).string(); }

    // Appends every source to `mailbox`, with `skipper` when given; the sum
    // of what was written and what was left out.
    RecordResult AppendAll(const std::vector<std::string> &sources, const std::string &mailbox, LineEnds lineEnds,
                           RecordSkipper *skipper = nullptr) const
    {
        RecordResult total;
        total.ok = true;
        RecordFileIo io;
        for (const std::string &source : sources) {
            const RecordResult result = AppendMailboxRecord(source, mailbox, nullptr, io, lineEnds, skipper);
            EXPECT_TRUE(result.ok) << result.error;
            total.ok = total.ok && result.ok;
            total.messages += result.messages;
            total.skipped += result.skipped;
        }
        return total;
    }

    // Message files of every shape the writer treats apart: a last line
    // without its line end, body lines to be quoted, lone CR and LF ends,
    // empty lines in the body, an mbox file holding two messages.
    std::vector<std::string> Sources() const
    {
        return {
            Put("in/1.mbs", Message("one", "first body\r\n")),
            Put("in/2.mbs", Message("two", "no line end at the end")),
            Put("in/3.mbs", Message("three", "From the start\r\n>From quoted\r\n\r\nFrom after a gap\r\n")),
            Put("in/4.mbs", Message("four", "lone\rCR\rends\r", "\r")),
            Put("in/5.mbs", Message("five", "para one\n\npara two\n\n\nthree empty lines above\n", "\n")),
            Put("in/6.mbs", "From ann@example.org Tue Mar  5 09:07:03 2024\n" + Message("six", "a\n", "\n") +
                                "\nFrom bob@example.org Wed Mar  6 10:00:00 2024\n" + Message("seven", "b\n\n", "\n")),
        };
    }

    tovaly::test::TempFolder m_temp{"existing_messages"};
    fs::path m_dir = m_temp.Path();
};

// Records the cuts it hears of.
struct Cuts {
    std::vector<MailboxCut> seen;
    ExistingMessages::CutHandler Handler()
    {
        return [this](const MailboxCut &cut) { seen.push_back(cut); };
    }
};

} // namespace

TEST_F(ExistingMessagesTest, AFinishedMailboxIsFoundWhole_InEitherLineEnds)
{
    const std::vector<std::string> sources = Sources();
    for (const LineEnds first : {LineEnds::Lf, LineEnds::CrLf}) {
        for (const LineEnds again : {LineEnds::Lf, LineEnds::CrLf}) {
            SCOPED_TRACE(std::to_string(static_cast<int>(first)) + "/" + std::to_string(static_cast<int>(again)));
            const std::string mailbox = Mailbox();
            fs::remove(mailbox);
            const RecordResult written = AppendAll(sources, mailbox, first);
            ASSERT_EQ(written.messages, 7);
            const std::string before = ReadAll(mailbox);

            Cuts cuts;
            ExistingMessages existing(MailboxLocation::At(mailbox), cuts.Handler());
            ASSERT_TRUE(existing.Load()) << existing.Error();
            EXPECT_EQ(existing.Unmatched(), 7u);
            // Written again with the same or the other line ends: every
            // message is there already, so nothing is written.
            const RecordResult rerun = AppendAll(sources, mailbox, again, &existing);
            EXPECT_EQ(rerun.messages, 0);
            EXPECT_EQ(rerun.skipped, 7);
            EXPECT_EQ(existing.Unmatched(), 0u);
            EXPECT_EQ(ReadAll(mailbox), before);
            EXPECT_TRUE(cuts.seen.empty());
        }
    }
}

TEST_F(ExistingMessagesTest, EachHeldMessageIsLeftOutAsOftenAsItIsHeld)
{
    const std::string a = Put("in/a.mbs", Message("a", "same\r\n"));
    const std::string a2 = Put("in/a2.mbs", Message("a", "same\r\n"));
    // One byte more, one byte less, or other words: different messages.
    const std::string longer = Put("in/b.mbs", Message("a", "same.\r\n"));
    const std::string shorter = Put("in/c.mbs", Message("a", "sam\r\n"));
    const std::string other = Put("in/d.mbs", Message("a", "emas\r\n"));
    const std::string mailbox = Mailbox();
    ASSERT_EQ(AppendAll({a}, mailbox, LineEnds::Lf).messages, 1);

    ExistingMessages existing(MailboxLocation::At(mailbox), nullptr);
    ASSERT_TRUE(existing.Load());
    const RecordResult rerun = AppendAll({a, a2, longer, shorter, other}, mailbox, LineEnds::Lf, &existing);
    EXPECT_EQ(rerun.skipped, 1);
    EXPECT_EQ(rerun.messages, 4);

    const MailboxScan scan = tovaly::test::ScanMailboxFile(mailbox);
    EXPECT_EQ(scan.records, 5u);
    EXPECT_EQ(scan.digests.Count(test::DigestOf(Message("a", "same\r\n"))), 2u);
}

TEST_F(ExistingMessagesTest, ATornLastRecordIsCutOffAndReported)
{
    const std::vector<std::string> sources = Sources();
    const std::string clean = Mailbox("clean.mbox");
    ASSERT_EQ(AppendAll(sources, clean, LineEnds::Lf).messages, 7);
    const std::string whole = ReadAll(clean);
    const MailboxScan full = tovaly::test::ScanMailboxFile(clean);

    // Cut inside the From line of the fourth record, inside its text, and
    // one byte before its end.
    const std::size_t fourth = whole.find("From ann@example.org", whole.find("Subject: three"));
    const std::size_t fifth = whole.find("From ", whole.find("Subject: four"));
    ASSERT_NE(fourth, std::string::npos);
    ASSERT_NE(fifth, std::string::npos);
    for (const std::size_t cut : {fourth + 3, fourth + 8, fourth + 40, fifth - 1}) {
        SCOPED_TRACE(cut);
        const std::string mailbox = Put("out/torn.mbox", whole.substr(0, cut));
        Cuts cuts;
        ExistingMessages existing(MailboxLocation::At(mailbox), cuts.Handler());
        ASSERT_TRUE(existing.Load()) << existing.Error();
        ASSERT_EQ(cuts.seen.size(), 1u);
        EXPECT_EQ(cuts.seen[0].mailboxPath, mailbox);
        EXPECT_EQ(cuts.seen[0].from, cut);
        EXPECT_EQ(cuts.seen[0].to, fourth);
        EXPECT_EQ(fs::file_size(mailbox), fourth);
        EXPECT_EQ(existing.Unmatched(), 3u);

        const RecordResult rerun = AppendAll(sources, mailbox, LineEnds::Lf, &existing);
        EXPECT_EQ(rerun.skipped, 3);
        EXPECT_EQ(rerun.messages, 4);
        EXPECT_EQ(ReadAll(mailbox), whole);
        EXPECT_EQ(cuts.seen.size(), 1u);
    }
    EXPECT_EQ(full.records, 7u);
}

TEST_F(ExistingMessagesTest, ACutShortCopyThatReadsAsWholeIsReplaced)
{
    const std::vector<std::string> sources = Sources();
    const std::string clean = Mailbox("clean.mbox");
    ASSERT_EQ(AppendAll(sources, clean, LineEnds::CrLf).messages, 7);
    const std::string whole = ReadAll(clean);

    // The fifth message holds empty lines after its header and in its body:
    // cut right after each, its record reads as whole.
    const std::size_t fifth = whole.find("From ann@example.org", whole.find("Subject: four"));
    const std::size_t sixth = whole.find("\r\n\r\nFrom ", fifth) + 4;
    int cases = 0;
    for (std::size_t at = whole.find("\r\n\r\n", fifth); at + 4 < sixth; at = whole.find("\r\n\r\n", at + 2)) {
        const std::size_t cut = at + 4;
        SCOPED_TRACE(cut);
        const std::string mailbox = Put("out/short.mbox", whole.substr(0, cut));
        const MailboxScan scan = tovaly::test::ScanMailboxFile(mailbox);
        ASSERT_EQ(scan.wholeEnd, cut); // nothing tells it is cut short
        Cuts cuts;
        ExistingMessages existing(MailboxLocation::At(mailbox), cuts.Handler());
        ASSERT_TRUE(existing.Load());
        EXPECT_TRUE(cuts.seen.empty());

        // Rerun with the other line ends, as a later run might be.
        const RecordResult rerun = AppendAll(sources, mailbox, LineEnds::CrLf, &existing);
        EXPECT_EQ(rerun.skipped, 4);
        EXPECT_EQ(rerun.messages, 3);
        ASSERT_EQ(cuts.seen.size(), 1u);
        EXPECT_EQ(cuts.seen[0].from, cut);
        EXPECT_EQ(cuts.seen[0].to, fifth);
        EXPECT_EQ(ReadAll(mailbox), whole);
        ++cases;
    }
    EXPECT_EQ(cases, 4); // after the header, after the two paragraphs, after the three empty lines
}

TEST_F(ExistingMessagesTest, KeepingTheEndCutsNothingAndWritesWhatIsMissingAfterIt)
{
    const std::vector<std::string> sources = Sources();
    const std::string clean = Mailbox("clean.mbox");
    ASSERT_EQ(AppendAll(sources, clean, LineEnds::Lf).messages, 7);
    const std::string whole = ReadAll(clean);
    const std::size_t fourth = whole.find("From ann@example.org", whole.find("Subject: three"));
    const std::size_t fifth = whole.find("From ann@example.org", whole.find("Subject: four"));
    ASSERT_NE(fifth, std::string::npos);
    struct Case {
        std::size_t cut;        // where the mailbox ends
        std::string completion; // what a plain append writes first
        std::size_t resumeAt;   // where in the clean mailbox the records written start
        int skipped;
    };
    for (const Case &c : {
             Case{fourth + 40, "\n\n", fourth, 3},              // torn inside the fourth's text
             Case{fifth - 1, "\n", fourth, 3},                  // the fourth without its empty line
             Case{whole.find("\n\n", fifth) + 2, "", fifth, 4}, // the fifth's header only: reads as whole
             Case{whole.size(), "", whole.size(), 7},           // finished
         }) {
        SCOPED_TRACE(c.cut);
        const std::string mailbox = Put("out/kept.mbox", whole.substr(0, c.cut));
        Cuts cuts;
        ExistingMessages existing(MailboxLocation::At(mailbox), cuts.Handler(), TornEnd::Keep);
        ASSERT_TRUE(existing.Load()) << existing.Error();
        const RecordResult rerun = AppendAll(sources, mailbox, LineEnds::Lf, &existing);
        EXPECT_EQ(rerun.skipped, c.skipped);
        EXPECT_EQ(rerun.messages, 7 - c.skipped);
        EXPECT_TRUE(cuts.seen.empty());
        EXPECT_EQ(ReadAll(mailbox), whole.substr(0, c.cut) + c.completion + whole.substr(c.resumeAt));
    }
}

TEST_F(ExistingMessagesTest, AWholeLastRecordThatASourceMatchedStays)
{
    // The mailbox's last record is a message of its own whose text is the
    // start of the next source: it is matched by its source, so it stays.
    const std::string head = Put("in/1.mbs", Message("one", ""));
    const std::string longer = Put("in/2.mbs", Message("one", "and a body\r\n"));
    const std::string mailbox = Mailbox();
    ASSERT_EQ(AppendAll({head}, mailbox, LineEnds::Lf).messages, 1);
    const std::string before = ReadAll(mailbox);

    Cuts cuts;
    ExistingMessages existing(MailboxLocation::At(mailbox), cuts.Handler());
    ASSERT_TRUE(existing.Load());
    const RecordResult rerun = AppendAll({head, longer}, mailbox, LineEnds::Lf, &existing);
    EXPECT_EQ(rerun.skipped, 1);
    EXPECT_EQ(rerun.messages, 1);
    EXPECT_TRUE(cuts.seen.empty());
    EXPECT_TRUE(ReadAll(mailbox).starts_with(before));
    EXPECT_EQ(tovaly::test::ScanMailboxFile(mailbox).records, 2u);
}

TEST_F(ExistingMessagesTest, MailboxesThatCannotBeReadFailWithoutWaiting)
{
    const std::string missing = Mailbox("missing.mbox");
    ExistingMessages none(MailboxLocation::At(missing), nullptr);
    EXPECT_TRUE(none.Load());
    EXPECT_EQ(none.Unmatched(), 0u);
    EXPECT_FALSE(fs::exists(missing)); // reading creates nothing

    fs::create_directories(m_dir / "out" / "folder.mbox");
    ExistingMessages folder(MailboxLocation::At(Mailbox("folder.mbox")), nullptr);
    EXPECT_FALSE(folder.Load());
    EXPECT_EQ(folder.ErrorCode().value(), EISDIR);
    EXPECT_EQ(folder.Error(), "the mailbox '" + Mailbox("folder.mbox") +
                                  "' is not a plain file (a folder, a pipe or a device stands there)");

#ifndef _WIN32 // Windows file systems hold no FIFOs; its pipes live apart from any output folder.
    // A FIFO nobody writes to would block a read for ever.
    const std::string fifo = Mailbox("fifo.mbox");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ExistingMessages pipe(MailboxLocation::At(fifo), nullptr);
    EXPECT_FALSE(pipe.Load());
    EXPECT_EQ(pipe.ErrorCode().value(), EINVAL);
#endif

    // In a batch, the sources bound for it fail and the rest go on.
    ConversionRequest request;
    request.outputRoot = (m_dir / "out").string();
    request.layout.per = MailboxPer::Store;
    request.layout.storeName = "folder";
    request.sources = {Put("in/1.mbs", Message("one", "x\n"))};
    request.skipExisting = true;
    BatchObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].errorCode, EISDIR);
    EXPECT_EQ(summary.messages, 0u);
}

TEST(RecordDigests, TheTextAReaderSeesWhateverTheLineEnds)
{
    // What the writer writes: quoted text, and the closing that gives a last
    // line its line end.
    const RecordDigests lf = DigestsOfRecordText("a\n>From b\n\nc", "\n\n");
    const RecordDigests crlf = DigestsOfRecordText("a\r\n>From b\r\n\r\nc\r\n", "\r\n");
    EXPECT_EQ(lf.full, test::DigestOf("a\nFrom b\n\nc\n"));
    EXPECT_EQ(crlf.full, lf.full);
    EXPECT_FALSE(lf.prefix);

    const RecordDigests watched = DigestsOfRecordText("a\r\n>From b\r\n\r\nc\r\n", "\r\n", 9);
    ASSERT_TRUE(watched.prefix);
    EXPECT_EQ(*watched.prefix, test::DigestOf("a\nFrom b\n"));
    EXPECT_FALSE(DigestsOfRecordText("a\n", "\n", 99).prefix);
}

// A run cut off anywhere: the mailbox of one clean run, cut at every byte,
// is made whole by a rerun that leaves out what is there.
TEST_F(ExistingMessagesTest, ARerunAfterACutAnywhereGivesTheCleanMailbox)
{
    ConversionRequest request;
    request.sources = Sources();
    request.layout.per = MailboxPer::Store;
    request.lineEnds = LineEnds::Lf;
    request.outputRoot = (m_dir / "clean").string();
    BatchObserver observer;
    const BatchSummary first = ConvertBatch(request, observer);
    ASSERT_TRUE(first.failures.empty());
    ASSERT_EQ(first.messages, 7u);
    const std::string whole = ReadAll(m_dir / "clean" / "opera.mbox");
    ASSERT_FALSE(whole.empty());

    // A finished mailbox: nothing is added.
    request.skipExisting = true;
    const BatchSummary again = ConvertBatch(request, observer);
    EXPECT_TRUE(again.skipExisting);
    EXPECT_EQ(again.messages, 0u);
    EXPECT_EQ(again.alreadyPresent, 7u);
    EXPECT_EQ(again.sourceFiles, request.sources.size());
    EXPECT_EQ(again.mailboxes, 0u);
    EXPECT_EQ(ReadAll(m_dir / "clean" / "opera.mbox"), whole);

    // Where each record starts in the clean mailbox.
    std::vector<std::size_t> starts;
    for (std::size_t at = whole.find("From "); at != std::string::npos; at = whole.find("\n\nFrom ", at + 1))
        starts.push_back(at == 0 ? 0 : at + 2);
    ASSERT_EQ(starts.size(), 7u);

    request.outputRoot = (m_dir / "rerun").string();
    const std::string mailbox = (m_dir / "rerun" / "opera.mbox").string();
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        Put("rerun/opera.mbox", whole.substr(0, cut));
        class CutCounter final : public BatchObserver {
        public:
            int cuts = 0;
            void MailboxCutBack(const std::string &, std::uint64_t, std::uint64_t) override { ++cuts; }
        } counter;
        const BatchSummary summary = ConvertBatch(request, counter);
        ASSERT_TRUE(summary.failures.empty());
        ASSERT_EQ(ReadAll(mailbox), whole);
        // Records wholly before the cut are left out, the rest written.
        std::uint64_t present = 0;
        while (present < starts.size() && (present + 1 < starts.size() ? starts[present + 1] : whole.size()) <= cut)
            ++present;
        EXPECT_EQ(summary.alreadyPresent, present);
        EXPECT_EQ(summary.messages, 7u - present);
        // Something was cut off unless the cut fell between records.
        const bool between = cut == whole.size() || std::find(starts.begin(), starts.end(), cut) != starts.end();
        EXPECT_EQ(counter.cuts, between ? 0 : 1);
    }
}

#ifndef _WIN32 // symbolic links and FIFOs as POSIX makes them
namespace {

// Puts something else in the mailbox's place, by name, at one of two
// moments: as it is opened, or once the scan has begun on the descriptor.
class SwappingIo final : public RecordFileIo {
public:
    std::function<void(const std::string &)> swap;
    bool duringScan = false;
    IoResult<int> ReopenMailbox(const MailboxLocation &location) override
    {
        if (swap && !duringScan)
            std::exchange(swap, nullptr)(location.Path());
        return RecordFileIo::ReopenMailbox(location);
    }
    IoResult<std::size_t> ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset) override
    {
        const IoResult<std::size_t> got = RecordFileIo::ReadAt(fd, buffer, size, offset);
        if (swap && duringScan)
            std::exchange(swap, nullptr)(mailbox);
        return got;
    }
    std::string mailbox;
};

} // namespace

TEST_F(ExistingMessagesTest, WhatIsPutInTheMailboxsPlaceIsNeitherReadNorCut)
{
    const std::string torn =
        "From a Tue Mar 05 09:07:03 2024\nSubject: one\n\none\n\nFrom b Tue Mar 05 09:07:03 2024\nSub";
    const std::string outsideText(33, 'x');
    const auto toLink = [&](const std::string &path) {
        fs::rename(path, path + ".was");
        fs::create_symlink(m_dir / "outside", path);
    };
    const auto toFifo = [&](const std::string &path) {
        fs::rename(path, path + ".was");
        ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    };
    struct Case {
        const char *label;
        std::function<void(const std::string &)> swap;
        bool duringScan;
        int errorCode; // of Load, 0 when it reads the file it opened
    };
    const std::vector<Case> table = {
        {"a link, as it is opened", toLink, false, ELOOP},
        {"a FIFO, as it is opened", toFifo, false, EINVAL},
        {"a link, while it is read", toLink, true, 0},
        {"a FIFO, while it is read", toFifo, true, 0},
    };
    for (const Case &row : table) {
        SCOPED_TRACE(row.label);
        fs::remove_all(m_dir / "out");
        fs::create_directories(m_dir / "out");
        const std::string mailbox = Put("out/box.mbox", torn);
        Put("outside", outsideText);
        SwappingIo io;
        io.swap = row.swap;
        io.duringScan = row.duringScan;
        io.mailbox = mailbox;
        ExistingMessages existing(test::LocationBelow((m_dir / "out").string(), "box.mbox"), nullptr, TornEnd::Cut,
                                  &io);
        const bool loaded = existing.Load(); // and it returns: no FIFO is waited on
        EXPECT_EQ(loaded, row.errorCode == 0) << existing.Error();
        EXPECT_EQ(existing.ErrorCode().value(), row.errorCode);
        EXPECT_EQ(ReadAll(m_dir / "outside"), outsideText);
        // The file it opened, and only that, is cut back to its whole record.
        const std::string opened = ReadAll(mailbox + ".was");
        EXPECT_EQ(opened, row.errorCode == 0 ? torn.substr(0, torn.find("From b")) : torn);
    }
}
#endif
