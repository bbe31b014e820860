#include "mailbox_location.h"
#include "mailbox_record.h"
#include "test_files.h"
#include "utf8_path.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <optional>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <utility>
#include <vector>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef Yield // winbase.h's, which would rename RecordObserver::Yield
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using tovaly::AppendMailboxRecord;
using tovaly::RecordResult;

using ::testing::HasSubstr;

namespace {

// The modification time given to every golden input: Tue Mar 05 09:07:03 2024 UTC.
constexpr std::int64_t kGoldenFileTime = 1709629623;

std::string ReadFile(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path &path, std::string_view bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
}

void SetFileTime(const fs::path &path, std::int64_t unixTime)
{
    ASSERT_TRUE(tovaly::test::SetModificationTime(path, unixTime)) << path;
}

// File calls that can be made to fail, short-read or be watched.
class ScriptedIo : public tovaly::RecordFileIo {
public:
    std::size_t readLimit = std::numeric_limits<std::size_t>::max(); // bytes per Read
    std::uint64_t failReadAfter = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t failWriteAfter = std::numeric_limits<std::uint64_t>::max();
    bool failMailboxClose = false;
    std::vector<std::string> *log = nullptr;
    int mailboxesClosed = 0;

    bool MailboxOpen() const { return !m_openMailboxes.empty(); }

    tovaly::IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size) override
    {
        if (m_read >= failReadAfter)
            return {0, tovaly::IoError(std::errc::io_error)};
        size = static_cast<std::size_t>(std::min<std::uint64_t>({size, readLimit, failReadAfter - m_read}));
        const tovaly::IoResult<std::size_t> got = RecordFileIo::Read(fd, buffer, size);
        m_read += got.value;
        return got;
    }

    tovaly::IoResult<int> OpenMailbox(const tovaly::MailboxLocation &location, bool *created) override
    {
        const tovaly::IoResult<int> opened = RecordFileIo::OpenMailbox(location, created);
        if (opened) {
            m_openMailboxes.insert(opened.value);
            Log("open");
        }
        return opened;
    }

    tovaly::IoResult<std::size_t> Write(int fd, std::span<const std::string_view> pieces) override
    {
        if (m_written >= failWriteAfter)
            return {0, tovaly::IoError(std::errc::no_space_on_device)};
        // Let only the allowance through, so the record is cut inside.
        std::uint64_t allowance = failWriteAfter - m_written;
        std::vector<std::string_view> allowed;
        for (std::string_view piece : pieces) {
            if (allowance == 0)
                break;
            allowed.push_back(
                piece.substr(0, static_cast<std::size_t>(std::min<std::uint64_t>(allowance, piece.size()))));
            allowance -= allowed.back().size();
        }
        const tovaly::IoResult<std::size_t> written = RecordFileIo::Write(fd, allowed);
        m_written += written.value;
        Log("write");
        return written;
    }

    std::error_code Close(int fd) override
    {
        const bool mailbox = m_openMailboxes.erase(fd) > 0;
        const std::error_code result = RecordFileIo::Close(fd);
        if (!mailbox)
            return result;
        Log("close");
        ++mailboxesClosed;
        if (failMailboxClose)
            return tovaly::IoError(std::errc::io_error);
        return result;
    }

private:
    void Log(const char *event)
    {
        if (log)
            log->push_back(event);
    }

    std::set<int> m_openMailboxes;
    std::uint64_t m_read = 0;
    std::uint64_t m_written = 0;
};

struct LineEvent {
    std::uint64_t n;
    std::uint64_t m;
    bool operator==(const LineEvent &) const = default;
};

void PrintTo(const LineEvent &e, std::ostream *os)
{
    *os << "(" << e.n << "," << e.m << ")";
}

class RecordingObserver : public tovaly::RecordObserver {
public:
    const ScriptedIo *io = nullptr;
    std::vector<std::string> *log = nullptr;
    std::vector<LineEvent> lines;
    int yields = 0;
    int callsWhileMailboxOpen = 0;

    void Yield() override
    {
        ++yields;
        Note("yield");
    }
    void LineRead(std::uint64_t n, std::uint64_t m) override
    {
        lines.push_back({n, m});
        Note("line");
    }

private:
    void Note(const char *event)
    {
        if (io && io->MailboxOpen())
            ++callsWhileMailboxOpen;
        if (log)
            log->push_back(event);
    }
};

class MailboxRecordTest : public testing::Test {
protected:
    fs::path Source(std::string_view bytes, const std::string &name = "message.mbs")
    {
        const fs::path path = m_dir.Path() / name;
        WriteFile(path, bytes);
        SetFileTime(path, kGoldenFileTime);
        return path;
    }
    fs::path Mailbox() const { return m_dir.Path() / "out.mbox"; }

    tovaly::test::TempFolder m_dir{"mailbox_record"};
};

const char *const kSimpleMessage = "Date: Tue, 05 Mar 2024 09:07:03 +0000\r\n"
                                   "From: Ann Smith <ann@example.org>\r\n"
                                   "\r\n"
                                   "Hello.\r\n";
const char *const kSimpleRecord = "From ann@example.org Tue Mar 05 09:07:03 2024\r\n"
                                  "Date: Tue, 05 Mar 2024 09:07:03 +0000\r\n"
                                  "From: Ann Smith <ann@example.org>\r\n"
                                  "\r\n"
                                  "Hello.\r\n"
                                  "\r\n";

fs::path GoldenDir(const std::string &name)
{
    return fs::path(TOVALY_TEST_DATA_DIR) / "mbox" / name;
}

} // namespace

// ---- golden files ---------------------------------------------------------

struct GoldenCase {
    const char *name;
    int messages;
};

// The case by its name: GoogleTest would print the pointer's bytes, which
// then become part of every test's name in CTest and change from build to build.
void PrintTo(const GoldenCase &golden, std::ostream *os)
{
    *os << golden.name;
}

using tovaly::LineEnds;

class GoldenMailbox : public MailboxRecordTest, public testing::WithParamInterface<std::tuple<GoldenCase, LineEnds>> {
protected:
    fs::path Dir() const { return GoldenDir(std::get<0>(GetParam()).name); }
    LineEnds Mode() const { return std::get<1>(GetParam()); }
    std::string Expected() const
    {
        return ReadFile(Dir() / (Mode() == LineEnds::Lf ? "expected.lf.mbox" : "expected.crlf.mbox"));
    }
};

TEST_P(GoldenMailbox, MatchesExpectedBytes)
{
    const fs::path source = Source(ReadFile(Dir() / "input.mbs"), "input.mbs");
    const std::string expected = Expected();
    ASSERT_FALSE(expected.empty()) << "missing " << Dir();

    const RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, Mode());
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.messages, std::get<0>(GetParam()).messages);
    EXPECT_EQ(result.bytesRead, fs::file_size(source));
    EXPECT_EQ(ReadFile(Mailbox()), expected);
}

TEST_P(GoldenMailbox, ShortReadsGiveTheSameBytes)
{
    const fs::path source = Source(ReadFile(Dir() / "input.mbs"), "input.mbs");
    const std::string expected = Expected();
    for (std::size_t chunk : {1u, 2u, 3u, 5u, 7u, 16u, 131u}) {
        // A new mailbox for each size, never one deleted and made again
        // under the same name at once.
        const fs::path mailbox = m_dir.Path() / ("out-" + std::to_string(chunk) + ".mbox");
        ScriptedIo io;
        io.readLimit = chunk;
        const RecordResult result = AppendMailboxRecord(source.string(), mailbox.string(), nullptr, io, Mode());
        EXPECT_TRUE(result.ok) << result.error;
        EXPECT_EQ(ReadFile(mailbox), expected) << "reads of " << chunk << " bytes";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GoldenMailbox,
    testing::Combine(testing::Values(GoldenCase{"crlf", 1}, GoldenCase{"no_final_line_end", 1},
                                     GoldenCase{"lone_cr", 1}, GoldenCase{"lf_only_from_lines", 1},
                                     GoldenCase{"mixed", 1}, GoldenCase{"from_quoting", 1},
                                     GoldenCase{"forwarded_message", 1}, GoldenCase{"opera_envelope", 1},
                                     GoldenCase{"opera_monthly_store", 3}, GoldenCase{"opera_store_separators", 2},
                                     GoldenCase{"lf_mbox_archive", 2}, GoldenCase{"mbox_mutt_forms", 3},
                                     GoldenCase{"single_crlf", 1}),
                     testing::Values(LineEnds::Lf, LineEnds::CrLf)),
    [](const testing::TestParamInfo<std::tuple<GoldenCase, LineEnds>> &golden) {
        return std::string(std::get<0>(golden.param).name) +
               (std::get<1>(golden.param) == LineEnds::Lf ? "_lf" : "_crlf");
    });

// ---- appending ----------------------------------------------------------------

TEST_F(MailboxRecordTest, AppendsToWhatIsThereAndTwiceGivesTwoRecords)
{
    const fs::path source = Source(kSimpleMessage);
    WriteFile(Mailbox(), "earlier record without a line end");

    EXPECT_TRUE(AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, LineEnds::CrLf).ok);
    EXPECT_TRUE(AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, LineEnds::CrLf).ok);
    // The torn end is completed first, so the first record starts on a line of its own.
    EXPECT_EQ(ReadFile(Mailbox()),
              std::string("earlier record without a line end\r\n\r\n") + kSimpleRecord + kSimpleRecord);
}

TEST_F(MailboxRecordTest, WritesThePlatformsLineEndsUnlessTold)
{
    const fs::path source = Source(kSimpleMessage);
    ASSERT_TRUE(AppendMailboxRecord(source.string(), Mailbox().string()).ok);
#ifdef _WIN32
    EXPECT_EQ(ReadFile(Mailbox()), kSimpleRecord);
#else
    std::string lf = kSimpleRecord;
    std::erase(lf, '\r');
    EXPECT_EQ(ReadFile(Mailbox()), lf);
#endif
}

TEST_F(MailboxRecordTest, EnvelopeLineIsTheFallbackForSenderAndDate)
{
    const fs::path bare =
        Source("From ann@example.org Tue Jan 05 10:00:00 2010\r\nSubject: no sender or date\r\n\r\nx\r\n");
    ASSERT_TRUE(AppendMailboxRecord(bare.string(), Mailbox().string(), nullptr, LineEnds::CrLf).ok);
    EXPECT_EQ(ReadFile(Mailbox()), "From ann@example.org Tue Jan 05 10:00:00 2010\r\n"
                                   "Subject: no sender or date\r\n\r\nx\r\n\r\n");

    fs::remove(Mailbox());
    const fs::path opera = Source("From - Tue Jan 05 10:00:00 2010\r\nFrom: bob@example.org\r\n\r\n");
    ASSERT_TRUE(AppendMailboxRecord(opera.string(), Mailbox().string(), nullptr, LineEnds::CrLf).ok);
    // The source is a mailbox: its last empty line separates and is dropped.
    EXPECT_EQ(ReadFile(Mailbox()), "From bob@example.org Tue Jan 05 10:00:00 2010\r\n"
                                   "From: bob@example.org\r\n\r\n");
}

TEST_F(MailboxRecordTest, LargeMessageCrossingReadChunks)
{
    // Several chunks of the real reader, with From lines and CR LF pairs
    // falling on every kind of boundary.
    std::string input = "Date: Tue, 05 Mar 2024 09:07:03 +0000\r\nFrom: ann@example.org\r\n\r\n";
    std::string expected = "From ann@example.org Tue Mar 05 09:07:03 2024\r\n" + input;
    for (int i = 0; input.size() < 3 * 1024 * 1024 + 100; ++i) {
        const std::string line =
            (i % 7 == 3 ? "From line " : "text line ") + std::string(static_cast<std::size_t>(i % 61), 'x');
        input += line + "\r\n";
        expected += (i % 7 == 3 ? ">" : "") + line + "\r\n";
    }
    expected += "\r\n";
    const fs::path source = Source(input);
    RecordingObserver observer;

    const RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), &observer, LineEnds::CrLf);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(ReadFile(Mailbox()) == expected); // too large for a readable difference
    ASSERT_FALSE(observer.lines.empty());
    EXPECT_EQ(observer.lines.back(), (LineEvent{input.size(), input.size()}));
}

// ---- failures -----------------------------------------------------------------

TEST_F(MailboxRecordTest, UnreadableSourceAppendsNothing)
{
    WriteFile(Mailbox(), "kept\r\n");
    RecordingObserver observer;

    const std::string missing = (m_dir.Path() / "missing.mbs").string();
    RecordResult result = AppendMailboxRecord(missing, Mailbox().string(), &observer);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, ENOENT);
    EXPECT_EQ(result.error, "cannot open: No such file or directory");

    const std::string folder = m_dir.Path().string();
    result = AppendMailboxRecord(folder, Mailbox().string(), &observer);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, EISDIR);
    EXPECT_EQ(result.error, "a folder, not a message file");

    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\n");
    EXPECT_TRUE(observer.lines.empty());
    EXPECT_FALSE(AppendMailboxRecord(missing, (m_dir.Path() / "new.mbox").string()).ok);
    EXPECT_FALSE(fs::exists(m_dir.Path() / "new.mbox"));
}

TEST_F(MailboxRecordTest, UnwritableMailboxIsReported)
{
    const fs::path source = Source(kSimpleMessage);

    const std::string inMissingFolder = (m_dir.Path() / "no such folder" / "a.mbox").string();
    RecordResult result = AppendMailboxRecord(source.string(), inMissingFolder);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, ENOENT);
    EXPECT_EQ(result.error, "cannot open mailbox '" + inMissingFolder + "': No such file or directory");
    EXPECT_EQ(result.messages, 0);

    const std::string underAFile = (source / "a.mbox").string();
    result = AppendMailboxRecord(source.string(), underAFile);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, ENOTDIR);
}

TEST_F(MailboxRecordTest, ReadOnlyMailboxIsLeftAlone)
{
    const fs::path source = Source(kSimpleMessage);
    const fs::path readOnly = m_dir.Path() / "read-only";
    fs::create_directory(readOnly);
    WriteFile(readOnly / "a.mbox", "kept\r\n");
    fs::permissions(readOnly / "a.mbox", fs::perms::owner_read | fs::perms::group_read);
    if (tovaly::test::OpensForWriting(readOnly / "a.mbox"))
        GTEST_SKIP() << "running with permission to write anywhere";
    const RecordResult result = AppendMailboxRecord(source.string(), (readOnly / "a.mbox").string());
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, EACCES);
    EXPECT_EQ(ReadFile(readOnly / "a.mbox"), "kept\r\n");
}

TEST_F(MailboxRecordTest, FailedWriteCutsTheMailboxBack)
{
    const fs::path source = Source(kSimpleMessage);
    const std::string before = "From someone Sat Dec 30 00:00:00 1899\r\nearlier\r\n\r\n";
    const std::size_t recordSize = std::string(kSimpleRecord).size();
    for (std::uint64_t allowed :
         {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{47}, std::uint64_t{60}, std::uint64_t{recordSize - 1}}) {
        WriteFile(Mailbox(), before);
        ScriptedIo io;
        io.failWriteAfter = allowed;

        const RecordResult result =
            AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io, LineEnds::CrLf);
        EXPECT_FALSE(result.ok) << allowed;
        EXPECT_EQ(result.errorCode, ENOSPC);
        EXPECT_EQ(result.error, "cannot write to mailbox '" + Mailbox().string() + "': No space left on device");
        EXPECT_EQ(result.messages, 0);
        EXPECT_EQ(ReadFile(Mailbox()), before) << "after " << allowed << " bytes";
    }
}

TEST_F(MailboxRecordTest, FailedCloseCutsTheMailboxBack)
{
    const fs::path source = Source(kSimpleMessage);
    WriteFile(Mailbox(), "kept\r\n");
    ScriptedIo io;
    io.failMailboxClose = true;

    const RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, EIO);
    EXPECT_EQ(io.mailboxesClosed, 1);
    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\n");
}

TEST_F(MailboxRecordTest, StoreFileLandsWholeOrNotAtAll)
{
    const std::string store = ReadFile(GoldenDir("opera_monthly_store") / "input.mbs");
    const std::string records = ReadFile(GoldenDir("opera_monthly_store") / "expected.crlf.mbox");
    const fs::path source = Source(store);

    // The third record fails half-way, after two were written and closed.
    WriteFile(Mailbox(), "kept\r\n");
    ScriptedIo failingWrite;
    failingWrite.failWriteAfter = records.size() - 40;
    RecordResult result =
        AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, failingWrite, LineEnds::CrLf);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(failingWrite.mailboxesClosed, 3);
    EXPECT_EQ(result.messages, 0);
    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\n");

    // Reading fails after the first records were written.
    ScriptedIo failingRead;
    failingRead.readLimit = 100;
    failingRead.failReadAfter = store.size() - 10;
    result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, failingRead, LineEnds::CrLf);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, EIO);
    EXPECT_EQ(result.error, "cannot read: Input/output error");
    EXPECT_EQ(failingRead.mailboxesClosed, 2);
    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\n");

    // Nothing fails: all three land.
    result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, LineEnds::CrLf);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\n\r\n" + records); // the empty line "kept" lacked, then the records
}

TEST_F(MailboxRecordTest, FullDiskIsReported)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no device that is always full (/dev/full)";
#else
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    const fs::path source = Source(kSimpleMessage);
    // A device is never taken for a mailbox, so the writes of a plain one
    // are sent to /dev/full.
    class FullDisk : public tovaly::RecordFileIo {
    public:
        FullDisk() : m_full(::open("/dev/full", O_WRONLY | O_CLOEXEC)) {}
        ~FullDisk() override { ::close(m_full); }
        tovaly::IoResult<std::size_t> Write(int, std::span<const std::string_view> pieces) override
        {
            return RecordFileIo::Write(m_full, pieces);
        }

    private:
        int m_full;
    };
    FullDisk io;

    const RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io);
    EXPECT_EQ(ReadFile(Mailbox()), "");
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, ENOSPC);
    EXPECT_EQ(result.error, "cannot write to mailbox '" + Mailbox().string() + "': No space left on device");
#endif
}

TEST_F(MailboxRecordTest, ObserverExceptionTakesTheRecordsBack)
{
    class ThrowingObserver : public tovaly::RecordObserver {
    public:
        int yieldsLeft = 0;
        void Yield() override
        {
            if (--yieldsLeft == 0)
                throw std::runtime_error("window closed");
        }
    };
    const fs::path source = Source(ReadFile(GoldenDir("opera_monthly_store") / "input.mbs"));
    WriteFile(Mailbox(), "kept\r\n");
    ScriptedIo io;
    io.readLimit = 64;
    ThrowingObserver observer;
    observer.yieldsLeft = 20; // after the first record, before the last

    RecordResult result;
    EXPECT_NO_THROW(result = AppendMailboxRecord(source.string(), Mailbox().string(), &observer, io));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, EIO);
    EXPECT_GE(io.mailboxesClosed, 1);
    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\n");
}

// ---- progress and yields -----------------------------------------------------

TEST_F(MailboxRecordTest, ReportsEveryLineRead)
{
    const auto linesOf = [&](std::string_view bytes) {
        RecordingObserver observer;
        const fs::path source = Source(bytes);
        EXPECT_TRUE(AppendMailboxRecord(source.string(), Mailbox().string(), &observer).ok);
        return observer.lines;
    };

    EXPECT_EQ(linesOf("a\r\nbcdef"), (std::vector<LineEvent>{{3, 8}, {10, 8}}));
    EXPECT_EQ(linesOf("abcd\r\nefgh\r\nijklmnop\r\n\r\n"),
              (std::vector<LineEvent>{{6, 24}, {12, 24}, {22, 24}, {24, 24}}));

    std::string crlf300;
    for (int i = 0; crlf300.size() < 290; ++i)
        crlf300 += "line " + std::to_string(i) + "\r\n";
    crlf300 += std::string(300 - crlf300.size() - 2, 'z') + "\r\n";
    ASSERT_EQ(crlf300.size(), 300u);
    EXPECT_EQ(linesOf(crlf300).back(), (LineEvent{300, 300}));

    const std::string lfOnly = "Subject: lf\n\nbody\nFrom x\n";
    EXPECT_EQ(linesOf(lfOnly), (std::vector<LineEvent>{{lfOnly.size() + 2, lfOnly.size()}}));

    // Lone CRs: each counts with two bytes, so the count outgrows the file.
    EXPECT_EQ(linesOf("a\rb\rc\r"), (std::vector<LineEvent>{{3, 6}, {6, 6}, {9, 6}}));
}

TEST_F(MailboxRecordTest, AnEmptySourceHoldsNoMessageAndWritesNoRecord)
{
    // An empty record (a From line, then the empty line) would merge with
    // the next message in readers that want text after a From line.
    struct Case {
        const char *mailbox; // before; null: none
        LineEnds lineEnds;
    };
    for (const Case &c : {Case{nullptr, LineEnds::Lf}, Case{nullptr, LineEnds::CrLf},
                          Case{"From a@example.org Tue Mar 05 09:07:03 2024\n\nkept\n\n", LineEnds::Lf},
                          Case{"From a@example.org Tue Mar 05 09:07:03 2024\r\n\r\ntorn", LineEnds::CrLf}}) {
        fs::remove(Mailbox());
        if (c.mailbox)
            WriteFile(Mailbox(), c.mailbox);
        RecordingObserver observer;
        const RecordResult result = AppendMailboxRecord(Source("").string(), Mailbox().string(), &observer, c.lineEnds);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "the file is empty");
        EXPECT_NE(result.errorCode, 0);
        EXPECT_EQ(result.messages, 0);
        EXPECT_TRUE(observer.lines.empty());
        if (c.mailbox)
            EXPECT_EQ(ReadFile(Mailbox()), c.mailbox);
        else
            EXPECT_FALSE(fs::exists(Mailbox()));
    }
}

TEST_F(MailboxRecordTest, AnObserverThatDoesNotFollowLinesGetsNoLineCalls)
{
    class Blind : public RecordingObserver {
    public:
        bool FollowsLines() const override { return false; }
    };
    const fs::path source = Source(ReadFile(GoldenDir("opera_monthly_store") / "input.mbs"));
    Blind observer;
    ASSERT_TRUE(AppendMailboxRecord(source.string(), Mailbox().string(), &observer, LineEnds::CrLf).ok);
    EXPECT_TRUE(observer.lines.empty());
    EXPECT_GT(observer.yields, 0);
    EXPECT_EQ(ReadFile(Mailbox()), ReadFile(GoldenDir("opera_monthly_store") / "expected.crlf.mbox"));
}

TEST_F(MailboxRecordTest, NeverYieldsWhileTheMailboxIsOpen)
{
    for (const char *name : {"crlf", "opera_monthly_store"}) {
        const fs::path source = Source(ReadFile(GoldenDir(name) / "input.mbs"));
        std::vector<std::string> log;
        ScriptedIo io;
        io.log = &log;
        io.readLimit = 64; // store records get written while the source is read
        RecordingObserver observer;
        observer.io = &io;
        observer.log = &log;

        ASSERT_TRUE(AppendMailboxRecord(source.string(), Mailbox().string(), &observer, io).ok) << name;
        EXPECT_EQ(observer.callsWhileMailboxOpen, 0) << name;
        ASSERT_GE(log.size(), 4u);
        EXPECT_EQ(log.front(), "yield") << name;
        EXPECT_EQ(log.back(), "yield") << name;
        EXPECT_EQ(log[log.size() - 2], "close") << name;
        EXPECT_GE(io.mailboxesClosed, 1);
        if (std::string_view(name) == "crlf") {
            // One message: read whole before the mailbox opens.
            EXPECT_EQ(std::find(std::find(log.begin(), log.end(), "open"), log.end(), "line"), log.end());
        }
    }
}

TEST_F(MailboxRecordTest, MailboxFileTracksItsLengthAndCutsBack)
{
    WriteFile(Mailbox(), "kept\r\n");
    tovaly::RecordFileIo io;
    tovaly::MailboxFile mailbox(tovaly::MailboxLocation::At(Mailbox().string()), io);
    ASSERT_EQ(mailbox.Open(), std::error_code());
    EXPECT_EQ(mailbox.Length(), 6u);
    const std::array<std::string_view, 2> pieces{"From a\r\n", "text\r\n"};
    ASSERT_EQ(mailbox.Write(pieces), std::error_code());
    EXPECT_EQ(mailbox.Length(), 20u);

    EXPECT_EQ(mailbox.CutBack(6), "");
    EXPECT_EQ(mailbox.Length(), 6u);
    ASSERT_EQ(mailbox.Write(pieces), std::error_code()); // appends at the new end
    EXPECT_EQ(ReadFile(Mailbox()), "kept\r\nFrom a\r\ntext\r\n");

    fs::remove(Mailbox());
    EXPECT_EQ(mailbox.Close(), std::error_code());
    EXPECT_FALSE(mailbox.IsOpen());
    EXPECT_NE(mailbox.CutBack(0), ""); // nothing left to cut
}

TEST_F(MailboxRecordTest, MailboxFileReadsItsTail)
{
    struct Row {
        const char *name;
        std::string bytes;
        bool open;
        std::optional<std::uintmax_t> cutTo; // by another program, after the open
        std::string tail;
        std::error_code error;
    };
    const Row rows[] = {
        {"empty", "", true, std::nullopt, "", {}},
        {"shorter than four bytes", "\n", true, std::nullopt, "\n", {}},
        {"its last four bytes", "kept\r\n", true, std::nullopt, "pt\r\n", {}},
        {"not open", "kept\r\n", false, std::nullopt, "", tovaly::IoError(std::errc::bad_file_descriptor)},
        {"shorter than when opened", "kept\r\n", true, 3u, "", tovaly::IoError(std::errc::io_error)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        WriteFile(Mailbox(), row.bytes);
        tovaly::RecordFileIo io;
        tovaly::MailboxFile mailbox(tovaly::MailboxLocation::At(Mailbox().string()), io);
        if (row.open) {
            ASSERT_EQ(mailbox.Open(), std::error_code());
        }
        if (row.cutTo)
            fs::resize_file(Mailbox(), *row.cutTo);
        const tovaly::IoResult<std::string> tail = mailbox.ReadTail();
        EXPECT_EQ(tail.error, row.error);
        EXPECT_EQ(tail.value, row.tail);
        EXPECT_EQ(mailbox.Close(), std::error_code());
    }
}

// ---- other programs at the same mailbox --------------------------------------

namespace {

// Holds the write lock on a file through a descriptor of its own, the way a
// mail reader or a second run does.
class ForeignLock {
public:
#ifdef _WIN32
    explicit ForeignLock(const fs::path &path)
        : m_handle(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr))
    {
        OVERLAPPED whole{};
        m_locked =
            m_handle != INVALID_HANDLE_VALUE &&
            LockFileEx(m_handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole);
    }
    ~ForeignLock()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            CloseHandle(m_handle);
    }
#else
    explicit ForeignLock(const fs::path &path) : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666))
    {
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        m_locked = m_fd >= 0 && ::fcntl(m_fd, F_OFD_SETLK, &lock) == 0;
    }
    ~ForeignLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
#endif
    bool Locked() const
    {
        return m_locked;
    }

private:
#ifdef _WIN32
    HANDLE m_handle;
#else
    int m_fd;
#endif
    bool m_locked = false;
};

// Another program appends `foreign` to the mailbox just before the writer
// opens it, every time from the `at`-th on; the writer's `failWrite`-th
// write fails.
class InterleavingIo : public tovaly::RecordFileIo {
public:
    InterleavingIo() : RecordFileIo(std::chrono::milliseconds(0)) {}
    int at = 2;
    int failWrite = 2;
    std::string foreign;
    tovaly::IoResult<int> OpenMailbox(const tovaly::MailboxLocation &location, bool *created) override
    {
        if (++m_opens >= at) {
            std::ofstream out(location.Path(), std::ios::binary | std::ios::app);
            out << foreign;
        }
        return RecordFileIo::OpenMailbox(location, created);
    }
    tovaly::IoResult<std::size_t> Write(int fd, std::span<const std::string_view> pieces) override
    {
        if (++m_writes == failWrite)
            return {0, tovaly::IoError(std::errc::no_space_on_device)};
        return RecordFileIo::Write(fd, pieces);
    }

private:
    int m_opens = 0;
    int m_writes = 0;
};

} // namespace

TEST_F(MailboxRecordTest, ALockedMailboxIsWaitedForThenLeftAlone)
{
    const fs::path source = Source(kSimpleMessage);
    WriteFile(Mailbox(), "From x Sat Dec 30 00:00:00 1899\r\nkept\r\n\r\n");
    tovaly::RecordFileIo impatient(std::chrono::milliseconds(0));
    {
        ForeignLock other(Mailbox());
        ASSERT_TRUE(other.Locked());
        const RecordResult result =
            AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, impatient, LineEnds::CrLf);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.errorCode, EWOULDBLOCK);
        EXPECT_EQ(result.error,
                  "cannot write to mailbox '" + Mailbox().string() + "': mailbox is in use by another program");
    }
    // Read once the lock is gone: on Windows a locked file cannot be read.
    EXPECT_EQ(ReadFile(Mailbox()), "From x Sat Dec 30 00:00:00 1899\r\nkept\r\n\r\n");
    // Once the other program lets go, the record goes in.
    const RecordResult result =
        AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, impatient, LineEnds::CrLf);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadFile(Mailbox()), std::string("From x Sat Dec 30 00:00:00 1899\r\nkept\r\n\r\n") + kSimpleRecord);
}

TEST_F(MailboxRecordTest, AFailureNeverCutsWhatAnotherProgramAppended)
{
    const std::string store = ReadFile(GoldenDir("opera_monthly_store") / "input.mbs");
    const std::string records = ReadFile(GoldenDir("opera_monthly_store") / "expected.crlf.mbox");
    const fs::path source = Source(store);
    const std::string before = "From x Sat Dec 30 00:00:00 1899\r\nkept\r\n\r\n";
    const std::string foreign = "From b1@example.org Tue Mar 05 09:07:03 2024\r\nSubject: b\r\n\r\nb\r\n\r\n";
    const std::size_t firstRecord = records.find("\r\n\r\nFrom ") + 4;

    // Between this source's first and second record another program appends;
    // the second record then fails. Only the second record's bytes are ours
    // to take back.
    WriteFile(Mailbox(), before);
    InterleavingIo io;
    io.foreign = foreign;
    RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io, LineEnds::CrLf);
    EXPECT_FALSE(result.ok);
    EXPECT_THAT(result.error, HasSubstr("1 of its messages stay in the mailbox")) << result.error;
    EXPECT_EQ(ReadFile(Mailbox()), before + records.substr(0, firstRecord) + foreign);

    // The other program appends after this source's records, while it is
    // still being read; reading then fails: nothing is cut at all.
    WriteFile(Mailbox(), before);
    class LateWriter : public tovaly::RecordFileIo {
    public:
        std::string foreign;
        tovaly::IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size) override
        {
            const tovaly::IoResult<std::size_t> got = RecordFileIo::Read(fd, buffer, size);
            if (got && got.value == 0) // at the end, before the last message goes in
                return {0, tovaly::IoError(std::errc::io_error)};
            return got;
        }
        tovaly::IoResult<int> ReopenMailbox(const tovaly::MailboxLocation &location) override
        {
            std::ofstream(location.Path(), std::ios::binary | std::ios::app) << foreign;
            return RecordFileIo::ReopenMailbox(location);
        }
    };
    LateWriter late;
    late.foreign = foreign;
    result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, late, LineEnds::CrLf);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, EIO);
    EXPECT_THAT(result.error, HasSubstr("not cut back: another program changed it")) << result.error;
    const std::size_t twoRecords = records.find("\r\n\r\nFrom ", firstRecord) + 4;
    EXPECT_EQ(ReadFile(Mailbox()), before + records.substr(0, twoRecords) + foreign);
}

TEST_F(MailboxRecordTest, TheMessagesThatStayAreCountedExactly)
{
    // Two copies of a three-message store, which the splitter reads as five
    // messages; another program appends before every record from the
    // second on, so each record but the failing one stays.
    const std::string store = ReadFile(GoldenDir("opera_monthly_store") / "input.mbs");
    const fs::path source = Source(store + store);
    const std::string foreign = "From b1@example.org Tue Mar 05 09:07:03 2024\r\nSubject: b\r\n\r\nb\r\n\r\n";
    for (const int failWrite : {2, 3, 4, 5}) {
        SCOPED_TRACE("write " + std::to_string(failWrite) + " fails");
        WriteFile(Mailbox(), "");
        InterleavingIo io;
        io.foreign = foreign;
        io.failWrite = failWrite;
        const RecordResult result =
            AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io, LineEnds::CrLf);
        EXPECT_FALSE(result.ok);
        EXPECT_NE(result.error.find(" (" + std::to_string(failWrite - 1) + " of its messages stay in the mailbox"),
                  std::string::npos)
            << result.error;
        const std::string mailbox = ReadFile(Mailbox());
        EXPECT_TRUE(mailbox.ends_with(foreign)); // the failing record was taken back
        std::size_t theirs = 0;
        for (auto at = mailbox.find(foreign); at != std::string::npos; at = mailbox.find(foreign, at + 1))
            ++theirs;
        EXPECT_EQ(theirs, static_cast<std::size_t>(failWrite - 1));
    }
}

namespace {

// Changes the source by its path just before it is first read, as another
// program would.
class ChangingSource : public tovaly::RecordFileIo {
public:
    std::function<void()> change;
    tovaly::IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size) override
    {
        if (change)
            std::exchange(change, nullptr)();
        return RecordFileIo::Read(fd, buffer, size);
    }
};

} // namespace

TEST_F(MailboxRecordTest, ASourceIsReadToTheSizeItHadWhenOpened)
{
    const std::string store = ReadFile(GoldenDir("opera_monthly_store") / "input.mbs");
    const std::string records = ReadFile(GoldenDir("opera_monthly_store") / "expected.crlf.mbox");
    const std::string before = "From x Sat Dec 30 00:00:00 1899\r\nkept\r\n\r\n";
    struct Case {
        const char *label;
        std::function<void(const fs::path &)> change;
        bool ok;
        std::string said; // in the error, or in a warning
        std::string mailbox;
    };
    const std::vector<Case> table = {
        {"cut short by another program", [](const fs::path &p) { fs::resize_file(p, fs::file_size(p) / 2); }, false,
         "became shorter while it was read", before},
        {"grown by another program",
         [](const fs::path &p) { std::ofstream(p, std::ios::binary | std::ios::app) << "\r\nFrom late\r\nmore\r\n"; },
         true, "grew while it was read: its first " + std::to_string(store.size()) + " bytes were converted",
         before + records},
        {"left alone", nullptr, true, "", before + records},
    };
    for (const Case &row : table) {
        SCOPED_TRACE(row.label);
        const fs::path source = Source(store);
        WriteFile(Mailbox(), before);
        ChangingSource io;
        if (row.change)
            io.change = [&] { row.change(source); };
        const RecordResult result =
            AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io, LineEnds::CrLf);
        EXPECT_EQ(result.ok, row.ok) << result.error;
        std::string said = result.error;
        for (const std::string &warning : result.warnings)
            said += warning;
        if (row.said.empty()) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_THAT(said, HasSubstr(row.said)) << said;
        }
        EXPECT_EQ(result.messages, row.ok ? 3 : 0);
        EXPECT_EQ(ReadFile(Mailbox()), row.mailbox);
    }
}

namespace {

// Fails every write with ENOSPC, as a full disk does; `beforeReopen` runs
// as the writer opens the mailbox again after its failure.
class FullDiskIo : public tovaly::RecordFileIo {
public:
    std::function<void(const std::string &)> beforeReopen;
    tovaly::IoResult<std::size_t> Write(int, std::span<const std::string_view>) override
    {
        return {0, tovaly::IoError(std::errc::no_space_on_device)};
    }
    tovaly::IoResult<int> ReopenMailbox(const tovaly::MailboxLocation &location) override
    {
        if (beforeReopen)
            beforeReopen(location.Path());
        return RecordFileIo::ReopenMailbox(location);
    }
};

} // namespace

TEST_F(MailboxRecordTest, AMailboxMadeForASourceThatWroteNothingIsRemoved)
{
    const fs::path source = Source(kSimpleMessage);
    const fs::path other = m_dir.Path() / "other.mbox";
    struct Case {
        const char *label;
        std::optional<std::string> before;               // the mailbox before the run, if any
        std::function<void(const std::string &)> meddle; // another program, as the mailbox is opened again
        std::optional<std::string> after;                // the mailbox after, if any
    };
    const std::vector<Case> table = {
        {"made by the run", std::nullopt, nullptr, std::nullopt},
        {"there before, empty", std::string(), nullptr, std::string()},
        {"there before, with a record", std::string("kept\n"), nullptr, std::string("kept\n")},
        {"made, then written to by another program", std::nullopt,
         [](const std::string &path) { std::ofstream(path, std::ios::binary | std::ios::app) << "theirs\n"; },
         std::string("theirs\n")},
        {"made, then replaced by another file", std::nullopt,
         [&](const std::string &path) {
             WriteFile(other, "");
             fs::rename(other, path);
         },
         std::string()},
    };
    for (const Case &row : table) {
        SCOPED_TRACE(row.label);
        fs::remove(Mailbox());
        if (row.before)
            WriteFile(Mailbox(), *row.before);
        FullDiskIo io;
        io.beforeReopen = row.meddle;
        const RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.errorCode, ENOSPC);
        EXPECT_EQ(fs::exists(Mailbox()), row.after.has_value());
        if (row.after) {
            EXPECT_EQ(ReadFile(Mailbox()), *row.after);
        }
    }
}

#ifndef _WIN32
TEST_F(MailboxRecordTest, ALockFileIsWaitedForUnlessItsWriterIsGone)
{
    const fs::path source = Source(kSimpleMessage);
    const std::string lockFile = Mailbox().string() + ".lock";
    std::array<char, 256> hostName{};
    ASSERT_EQ(::gethostname(hostName.data(), hostName.size() - 1), 0);
    const std::string host(hostName.data());
    const pid_t finished = ::fork();
    if (finished == 0)
        _exit(0);
    ASSERT_GT(finished, 0);
    ASSERT_EQ(::waitpid(finished, nullptr, 0), finished);
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    const std::int64_t old = now - 2 * tovaly::kStaleDotlockAge.count();

    struct Case {
        const char *label;
        std::string held;         // what the lock file holds
        std::int64_t lockTime;    // and when it was last changed
        std::int64_t mailboxTime; // when the mailbox was
        bool takenOver;
        bool unreadable = false; // the lock file may not be read (by a user other than root)
    };
    const std::vector<Case> table = {
        {"a finished process of this host", std::to_string(finished) + ":" + host + "\n", now, now, true},
        {"a running process of this host", std::to_string(::getpid()) + ":" + host + "\n", now, now, false},
        {"a process of another host", std::to_string(finished) + ":elsewhere.example\n", now, now, false},
        {"nothing, fresh", "", now, now, false},
        {"nothing, old beside an old mailbox", "", old, old, true},
        {"nothing, old beside a mailbox written to lately", "", old, now, false},
        {"a running process, old beside an old mailbox", std::to_string(::getpid()) + ":" + host + "\n", old, old,
         true},
        {"an unreadable one, fresh", std::to_string(::getpid()) + ":" + host + "\n", now, now, false, true},
    };
    for (const Case &row : table) {
        SCOPED_TRACE(row.label);
        WriteFile(Mailbox(), "kept\n\n");
        WriteFile(lockFile, row.held);
        SetFileTime(lockFile, row.lockTime);
        SetFileTime(Mailbox(), row.mailboxTime);
        if (row.unreadable)
            fs::permissions(lockFile, fs::perms::owner_write);
        tovaly::RecordFileIo impatient(std::chrono::milliseconds(0));
        const RecordResult result =
            AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, impatient, LineEnds::CrLf);
        EXPECT_EQ(result.ok, row.takenOver) << result.error;
        if (row.takenOver) {
            EXPECT_FALSE(fs::exists(lockFile)); // taken over, and removed when done
            EXPECT_EQ(ReadFile(Mailbox()), std::string("kept\n\n") + kSimpleRecord);
        } else {
            EXPECT_EQ(result.errorCode, EWOULDBLOCK);
            fs::permissions(lockFile, fs::perms::owner_read, fs::perm_options::add);
            EXPECT_EQ(ReadFile(lockFile), row.held); // left to its owner
            EXPECT_EQ(ReadFile(Mailbox()), "kept\n\n");
        }
        fs::remove(lockFile);
    }
}
#endif

TEST_F(MailboxRecordTest, WithoutRoomForALockFileTheOtherLocksServeAndItIsSaidOnce)
{
    // Whatever the folder's rights say to a test run as root, or on Windows:
    // the lock file cannot be made.
    class NoLockFiles : public tovaly::RecordFileIo {
    public:
        std::error_code TryDotlock(const tovaly::MailboxLocation &) override
        {
            return tovaly::IoError(std::errc::permission_denied);
        }
    };
    NoLockFiles io;
    const fs::path source = Source(kSimpleMessage);
    WriteFile(Mailbox(), ""); // one this run makes needs no lock file
    std::vector<std::vector<std::string>> warnings;
    for (int run = 0; run < 3; ++run) {
        const RecordResult result =
            AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, io, LineEnds::CrLf);
        EXPECT_TRUE(result.ok) << result.error;
        warnings.push_back(result.warnings);
    }
    const std::vector<std::vector<std::string>> expected = {{"cannot make the lock file '" + Mailbox().string() +
                                                             ".lock' (" + std::generic_category().message(EACCES) +
                                                             "); mailboxes are locked without lock files"},
                                                            {},
                                                            {}};
    EXPECT_EQ(warnings, expected);
    EXPECT_EQ(ReadFile(Mailbox()), std::string(kSimpleRecord) + kSimpleRecord + kSimpleRecord);
}

// ---- a mailbox left torn, or no mailbox at all -------------------------------

TEST(MailboxTail, TellsWhatIsMissingInEitherLineEndForm)
{
    using tovaly::TailState;
    const std::vector<std::tuple<std::string, TailState, std::string, std::string>> table = {
        // last bytes, state, completion with LF, with CR LF
        {"x\n\n", TailState::Whole, "", ""},
        {"\r\n\r\n", TailState::Whole, "", ""},
        {"x\n\r\n", TailState::Whole, "", ""},
        {"\n\n\n", TailState::Whole, "", ""},
        {"ab\n", TailState::MissingEmptyLine, "\n", "\r\n"},
        {"ab\r\n", TailState::MissingEmptyLine, "\n", "\r\n"},
        {"\n", TailState::MissingEmptyLine, "\n", "\r\n"},
        {"Subj", TailState::MissingLineEnd, "\n\n", "\r\n\r\n"},
        {"\n\nx", TailState::MissingLineEnd, "\n\n", "\r\n\r\n"},
        {"ab\r", TailState::MissingLineEnd, "\n\n", "\n\r\n"},
        {"\r\n\r", TailState::MissingLineEnd, "\n\n", "\n\r\n"},
    };
    for (const auto &[bytes, state, lf, crlf] : table) {
        const tovaly::MailboxTail tail = tovaly::CheckMailboxTail(bytes, bytes.size() + 100);
        EXPECT_EQ(tail.state, state) << testing::PrintToString(bytes);
        EXPECT_EQ(tail.offset, bytes.size() + 100);
        EXPECT_EQ(tovaly::TailCompletion(tail, bytes, LineEnds::Lf), lf) << testing::PrintToString(bytes);
        EXPECT_EQ(tovaly::TailCompletion(tail, bytes, LineEnds::CrLf), crlf) << testing::PrintToString(bytes);
    }
    EXPECT_EQ(tovaly::CheckMailboxTail("", 0).state, TailState::Whole);
}

TEST_F(MailboxRecordTest, ATornMailboxIsCompletedBeforeTheNextRecordAndSaidSo)
{
    const fs::path source = Source(kSimpleMessage);
    const std::string torn = "From a Sat Dec 30 00:00:00 1899\r\nSubject: cut";
    struct Case {
        std::string before;
        std::string added;
        std::string said;
    };
    for (const Case &c : std::vector<Case>{{torn, "\r\n\r\n", "added a line end and an empty line"},
                                           {torn + "\r", "\n\r\n", "added a line end and an empty line"},
                                           {torn + "\r\n", "\r\n", "added an empty line"},
                                           {torn + "\r\n\r\n", "", ""}}) {
        WriteFile(Mailbox(), c.before);
        const RecordResult result = AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, LineEnds::CrLf);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_EQ(ReadFile(Mailbox()), c.before + c.added + kSimpleRecord);
        if (c.said.empty()) {
            EXPECT_TRUE(result.warnings.empty());
        } else {
            ASSERT_EQ(result.warnings.size(), 1u);
            EXPECT_EQ(result.warnings[0], "mailbox '" + Mailbox().string() + "' ended inside a record (at byte " +
                                              std::to_string(c.before.size()) + "); " + c.said +
                                              " before the next record");
        }
    }

    // The completion belongs to the record: a record that fails takes it
    // back too, and the mailbox is left as it was found.
    WriteFile(Mailbox(), torn);
    ScriptedIo failing;
    failing.failWriteAfter = 10;
    const RecordResult result =
        AppendMailboxRecord(source.string(), Mailbox().string(), nullptr, failing, LineEnds::CrLf);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.warnings.empty());
    EXPECT_EQ(ReadFile(Mailbox()), torn);
}

TEST_F(MailboxRecordTest, OnlyAPlainFileOrNothingCanBeTheMailbox)
{
    const fs::path source = Source(kSimpleMessage);
#ifdef _WIN32
    // A named pipe is what stands for a FIFO on Windows.
    const std::wstring pipeName = L"\\\\.\\pipe\\tovaly_mailbox_" + std::to_wstring(GetCurrentProcessId());
    const HANDLE pipe = CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                         PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    const fs::path fifo(pipeName);
    const fs::path device("NUL");
#else
    const fs::path fifo = m_dir.Path() / "fifo.mbox";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const fs::path device("/dev/null");
#endif
    const fs::path folder = m_dir.Path() / "folder.mbox";
    fs::create_directory(folder);
    for (const fs::path &target : {fifo, folder, device}) {
        const RecordResult result = AppendMailboxRecord(source.string(), target.string(), nullptr, LineEnds::Lf);
        EXPECT_FALSE(result.ok) << target;
        EXPECT_EQ(result.error, "the mailbox '" + target.string() +
                                    "' is not a plain file (a folder, a pipe or a device stands there)");
    }
#ifdef _WIN32
    CloseHandle(pipe);
#else
    EXPECT_TRUE(fs::is_fifo(fifo));
#endif
}

TEST_F(MailboxRecordTest, ASourceIsNeverAppendedToItself)
{
    const std::string store = ReadFile(GoldenDir("opera_monthly_store") / "input.mbs");
    const fs::path source = Source(store, "self.mbox");
    const fs::path link = m_dir.Path() / "link.mbox";
    fs::create_hard_link(source, link);
    for (const fs::path &mailbox : {source, link}) {
        const RecordResult result = AppendMailboxRecord(source.string(), mailbox.string(), nullptr, LineEnds::Lf);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, "the source is the mailbox '" + mailbox.string() + "' it would go into");
        EXPECT_EQ(ReadFile(source), store);
    }
}

TEST_F(MailboxRecordTest, NamesBeyondAsciiAreReadAndWrittenAndLocked)
{
    // UTF-8 inside the program; on Windows every file call takes the
    // UTF-16 form, so a name no ANSI code page holds works all the same.
    const fs::path folder = m_dir.Path() / tovaly::PathFromUtf8("日本語");
    fs::create_directory(folder);
    const fs::path source = folder / tovaly::PathFromUtf8("Grüße von Zoë.mbs");
    WriteFile(source, kSimpleMessage);
    const fs::path mailbox = folder / tovaly::PathFromUtf8("日本語.mbox");
    const std::string sourceText = tovaly::Utf8FromPath(source);
    const std::string mailboxText = tovaly::Utf8FromPath(mailbox);

    RecordResult result = AppendMailboxRecord(sourceText, mailboxText, nullptr, LineEnds::CrLf);
    ASSERT_TRUE(result.ok) << result.error;
    result = AppendMailboxRecord(sourceText, mailboxText, nullptr, LineEnds::CrLf);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(ReadFile(mailbox), std::string(kSimpleRecord) + kSimpleRecord);

    // The lock and the own-mailbox check see the same file by either name.
    tovaly::RecordFileIo impatient(std::chrono::milliseconds(0));
    {
        ForeignLock other(mailbox);
        ASSERT_TRUE(other.Locked());
        result = AppendMailboxRecord(sourceText, mailboxText, nullptr, impatient, LineEnds::CrLf);
        EXPECT_EQ(result.errorCode, EWOULDBLOCK);
    }
    result = AppendMailboxRecord(sourceText, sourceText, nullptr, LineEnds::CrLf);
    EXPECT_EQ(result.error, "the source is the mailbox '" + sourceText + "' it would go into");
    EXPECT_EQ(ReadFile(mailbox), std::string(kSimpleRecord) + kSimpleRecord);
}

// Below an output folder, folders are made and mailboxes opened one name at
// a time, never through a symbolic link; the output folder itself may be one.
TEST_F(MailboxRecordTest, NoLinkBelowTheOutputFolderIsFollowed)
{
#ifdef _WIN32
    GTEST_SKIP() << "making symbolic links needs a privilege on Windows";
#endif
    const fs::path root = m_dir.Path() / "out";
    const fs::path outside = m_dir.Path() / "outside";
    fs::create_directories(root / "real");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, root / "link");
    const std::string rootText = root.string() + "/";
    tovaly::RecordFileIo io;

    using tovaly::test::LocationBelow;
    std::string link;
    tovaly::FolderMade made = io.MakeFolders(LocationBelow(rootText, "real/a/b/"), &link);
    EXPECT_TRUE(made) << made.error.message();
    EXPECT_TRUE(fs::is_directory(root / "real" / "a" / "b"));
    EXPECT_TRUE(link.empty());

    made = io.MakeFolders(LocationBelow(rootText, "link/a/b/"), &link);
    EXPECT_EQ(made.error, std::errc::too_many_symbolic_link_levels) << made.error.message();
    EXPECT_EQ(link, rootText + "link");
    EXPECT_TRUE(fs::is_empty(outside));

    // Deeper down, and dangling: the link named is the one in the way.
    fs::create_directory_symlink(m_dir.Path() / "nowhere", root / "real" / "a" / "dangling");
    link.clear();
    made = io.MakeFolders(LocationBelow(rootText, "real/a/dangling/c/"), &link);
    EXPECT_EQ(made.error, std::errc::too_many_symbolic_link_levels);
    EXPECT_EQ(link, rootText + "real/a/dangling");
    EXPECT_FALSE(fs::exists(m_dir.Path() / "nowhere"));

    // A file in the way is not a link.
    WriteFile(root / "real" / "file", "x");
    link.clear();
    made = io.MakeFolders(LocationBelow(rootText, "real/file/c/"), &link);
    EXPECT_EQ(made.error, std::errc::not_a_directory);
    EXPECT_TRUE(link.empty());

    // The root is made when missing, and may be reached through a link.
    fs::create_directory_symlink(m_dir.Path(), m_dir.Path() / "up");
    const std::string linkedRoot = (m_dir.Path() / "up" / "fresh").string();
    EXPECT_TRUE(io.MakeFolders(LocationBelow(linkedRoot, "x/")));
    EXPECT_TRUE(fs::is_directory(m_dir.Path() / "fresh" / "x"));

    // Mailboxes: a linked file, a linked folder on the way, names that
    // leave the root or climb out of it.
    WriteFile(outside / "victim.mbox", "kept");
    fs::create_symlink(outside / "victim.mbox", root / "real" / "a" / "a.mbox");
    for (const char *path : {"real/a/a.mbox", "link/victim.mbox"}) {
        EXPECT_EQ(io.OpenMailbox(LocationBelow(rootText, path)).error, std::errc::too_many_symbolic_link_levels)
            << path;
        EXPECT_EQ(io.ReopenMailbox(LocationBelow(rootText, path)).error, std::errc::too_many_symbolic_link_levels)
            << path;
    }
    for (const char *path : {"../outx/a.mbox", "real/../link/victim.mbox", "real/.."}) {
        EXPECT_EQ(io.OpenMailbox(LocationBelow(rootText, path)).error, std::errc::invalid_argument) << path;
        EXPECT_EQ(io.MakeFolders(LocationBelow(rootText, path)).error, std::errc::invalid_argument) << path;
    }
    EXPECT_EQ(ReadFile(outside / "victim.mbox"), "kept");
    EXPECT_FALSE(fs::exists(m_dir.Path() / "outx"));

    // Through the record writer: the source fails, naming the mailbox.
    const fs::path source = Source(kSimpleMessage);
    const RecordResult result =
        AppendMailboxRecord(source.string(), LocationBelow(rootText, "real/a/a.mbox"), nullptr, io, LineEnds::Lf);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.errorCode, ELOOP);
    EXPECT_EQ(result.error, "cannot open mailbox '" + rootText +
                                "real/a/a.mbox': it is a symbolic link or lies behind one, and mailboxes are "
                                "written only inside the output folder, never through links");
    EXPECT_EQ(ReadFile(outside / "victim.mbox"), "kept");

    // A plain mailbox below the root is written as ever.
    const RecordResult fine =
        AppendMailboxRecord(source.string(), LocationBelow(rootText, "real/a/b/b.mbox"), nullptr, io, LineEnds::Lf);
    EXPECT_TRUE(fine.ok) << fine.error;
    EXPECT_EQ(fine.messages, 1);
    EXPECT_TRUE(ReadFile(root / "real" / "a" / "b" / "b.mbox").starts_with("From "));
}

// The folders walked to are kept open for the next walk; one removed since,
// or replaced by a link, is walked to afresh.
TEST_F(MailboxRecordTest, AFolderReplacedSinceTheLastWalkIsWalkedAgain)
{
#ifdef _WIN32
    GTEST_SKIP() << "making symbolic links needs a privilege on Windows";
#endif
    const fs::path root = m_dir.Path() / "out";
    const fs::path outside = m_dir.Path() / "outside";
    fs::create_directories(outside);
    const std::string rootText = root.string() + "/";
    const fs::path source = Source(kSimpleMessage);
    tovaly::RecordFileIo io;
    const auto append = [&](const std::string &folder) {
        EXPECT_TRUE(io.MakeFolders(tovaly::test::LocationBelow(rootText, folder)));
        return AppendMailboxRecord(source.string(), tovaly::test::LocationBelow(rootText, folder + "m.mbox"), nullptr,
                                   io, LineEnds::Lf);
    };
    ASSERT_TRUE(append("a/b/").ok);

    // Removed and made again: the new folder gets the record.
    fs::remove_all(root / "a");
    const RecordResult again = append("a/b/");
    EXPECT_TRUE(again.ok) << again.error;
    EXPECT_TRUE(fs::is_regular_file(root / "a" / "b" / "m.mbox"));

    // Replaced by a link: refused, although the walk kept the old folder open.
    fs::remove_all(root / "a");
    fs::create_directory_symlink(outside, root / "a");
    std::string link;
    EXPECT_EQ(io.MakeFolders(tovaly::test::LocationBelow(rootText, "a/c/"), &link).error,
              std::errc::too_many_symbolic_link_levels);
    EXPECT_EQ(link, rootText + "a");
    const RecordResult refused = AppendMailboxRecord(
        source.string(), tovaly::test::LocationBelow(rootText, "a/b/m.mbox"), nullptr, io, LineEnds::Lf);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.errorCode, ELOOP) << refused.error;
    EXPECT_TRUE(fs::is_empty(outside));
}
