#include "batch_conversion.h"
#include "error_text.h"
#include "output_layout.h"
#include "test_files.h"
#include "verification.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

// Writes the second record otherwise than it was handed: a fault of the
// writer or of the disk that only reading the mailbox back can show.
class FaultyIo final : public RecordFileIo {
public:
    std::function<std::string(std::string)> fault;

    IoResult<std::size_t> Write(int fd, std::span<const std::string_view> pieces) override
    {
        std::string bytes;
        for (const std::string_view piece : pieces)
            bytes += piece;
        if (++m_writes != 2 || !fault)
            return RecordFileIo::Write(fd, pieces);
        const std::string written = fault(bytes);
        const std::string_view whole[] = {written};
        const IoResult<std::size_t> sent = RecordFileIo::Write(fd, whole);
        if (!sent || sent.value != written.size())
            return {0, sent.error ? sent.error : IoError(std::errc::io_error)};
        return {bytes.size(), {}};
    }

private:
    int m_writes = 0;
};

TEST(RunVerifier, EveryRecordWrittenIsReadBackAsWrittenOrTheMismatchIsNamed)
{
    const fs::path dir = test::MakeTempFolder("verification");
    ASSERT_FALSE(dir.empty());
    std::vector<std::string> sources;
    for (const char *name : {"in/1.mbs", "in/2.mbs", "in/missing.mbs", "in/3.mbs", "sent/4.mbs"}) {
        sources.push_back((dir / name).make_preferred().string());
        fs::create_directories(fs::path(sources.back()).parent_path());
        if (sources.size() != 3) // the missing one fails: nothing of it is expected
            std::ofstream(sources.back(), std::ios::binary)
                << "From: ann@example.org\r\nSubject: " << name
                << "\r\n\r\nFrom the start, quoted\r\n>From once\r\n>>From twice\r\n> a reply\r\nx >From y\r\n"
                   ">\r\n>>\r\n>>Fro\r\nFrom the end"
                << (sources.size() == 4 ? "" : "\r\n"); // in/3.mbs ends without a line end
    }
    const std::string missing1 = "a message of '" + sources[0] + "' is not in it as written";
    const std::string missing2 = "a message of '" + sources[1] + "' is not in it as written";
    const std::string foreign = "the record at byte is none of the messages written to it";
    const auto replace = [](std::string what, std::string with) {
        return [=](std::string bytes) { return bytes.replace(bytes.find(what), what.size(), with); };
    };
    struct Case {
        const char *name;
        std::function<std::string(std::string)> fault; // on the record of in/2.mbs
        std::string before;                            // in the inbox before the run
        std::uint64_t matched;
        std::vector<std::string> problems; // without the byte a record starts at
        LineEnds lineEnds = LineEnds::Lf;
    };
    const std::vector<Case> cases{
        {"no fault", nullptr, "", 4, {}},
        {"no fault, CR LF", nullptr, "", 4, {}, LineEnds::CrLf},
        {"a record torn before the run", nullptr, "From x@example.org Tue Mar 05 09:07:03 2024\nSubject: cut", 4, {}},
        {"a byte changed", replace("in/2.mbs", "in/2.mbX"), "", 3, {missing2, foreign}},
        {"a From line left unquoted",
         replace("\n>From the start,", "\nFrom the start, "),
         "",
         3,
         {missing2, foreign, foreign}},
        {"two records run into one", replace("From ", "Xrom "), "", 2, {missing1, missing2, foreign}},
        {"a record written twice", [](std::string bytes) { return bytes + bytes; }, "", 4, {foreign}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir / "out";
        fs::remove_all(out);
        const std::string inbox = MailboxPathFor(sources[0], (out / "").string()).Path();
        if (!c.before.empty()) {
            fs::create_directories(fs::path(inbox).parent_path());
            std::ofstream(inbox, std::ios::binary) << c.before;
        }
        ConversionRequest request{out.string(), sources, c.lineEnds};
        request.verify = true;
        FaultyIo io;
        io.fault = c.fault;
        BatchObserver observer;
        const BatchSummary summary = ConvertBatch(request, observer, io);
        ASSERT_TRUE(summary.verification);
        const VerificationReport &report = *summary.verification;
        EXPECT_EQ(report.mailboxes, 2u);
        EXPECT_EQ(report.messages, c.matched);
        std::ifstream in(inbox, std::ios::binary);
        const std::string mailbox((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(mailbox.starts_with(c.before));
        std::vector<std::string> problems;
        for (const VerificationMismatch &mismatch : report.mismatches) {
            EXPECT_EQ(mismatch.mailboxPath, inbox);
            std::string problem = mismatch.problem;
            const std::string at = "the record at byte ";
            if (problem.starts_with(at)) { // the byte named starts a record
                EXPECT_EQ(mailbox.compare(std::stoul(problem.substr(at.size())), 5, "From "), 0) << problem;
                problem.erase(at.size(), problem.find(' ', at.size()) + 1 - at.size());
            }
            problems.push_back(problem);
        }
        EXPECT_EQ(problems, c.problems);
        const std::size_t n = c.problems.size();
        EXPECT_EQ(ReadBackSummary(report),
                  std::to_string(c.matched) + " messages in 2 mailboxes read back" +
                      (n == 0 ? " and matched" : "; " + std::to_string(n) + (n == 1 ? " mismatch" : " mismatches")));
    }
    fs::remove_all(dir);
}

} // namespace

namespace {

// Reading a mailbox back: what another program or the disk may do to it
// between the run writing it and the read-back.
class ReadBackIo final : public RecordFileIo {
public:
    std::string mailbox;
    std::function<std::error_code()> beforeOpen; // an error makes the open fail
    bool failReads = false;

    IoResult<int> OpenSource(const std::string &path) override
    {
        if (path == mailbox && beforeOpen) {
            if (const std::error_code error = beforeOpen())
                return {-1, error};
        }
        return RecordFileIo::OpenSource(path);
    }
    IoResult<std::size_t> ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset) override
    {
        if (failReads)
            return {0, IoError(std::errc::io_error)};
        return RecordFileIo::ReadAt(fd, buffer, size, offset);
    }
};

} // namespace

TEST(RunVerifier, AMailboxThatCannotBeReadBackIsAMismatchAndNothingWaitsOnIt)
{
    const test::TempFolder dir("verification_read");
    ASSERT_FALSE(dir.Path().empty());
    const std::string source = (dir.Path() / "in" / "1.mbs").make_preferred().string();
    fs::create_directories(fs::path(source).parent_path());
    std::ofstream(source, std::ios::binary) << "From: ann@example.org\r\nSubject: one\r\n\r\nbody\r\n";
    struct Case {
        const char *name;
        std::function<std::error_code(const std::string &mailbox)> beforeOpen;
        bool failReads;
        std::string problem;
    };
    std::vector<Case> cases{
        {"the open fails", [](const std::string &) { return IoError(std::errc::permission_denied); }, false,
         "cannot be read back: " + Describe(EACCES)},
        {"a read fails", nullptr, true, "cannot be read back to its end: " + Describe(EIO)},
        {"a folder put in its place",
         [](const std::string &mailbox) {
             fs::remove(mailbox);
             fs::create_directory(mailbox);
             return std::error_code();
         },
         false, "cannot be read back: it is no longer a plain file"},
    };
#ifndef _WIN32
    // A pipe with no writer: reading it as a file would wait for ever.
    cases.push_back({"a pipe put in its place",
                     [](const std::string &mailbox) {
                         fs::remove(mailbox);
                         return ::mkfifo(mailbox.c_str(), 0600) == 0 ? std::error_code()
                                                                     : std::error_code(errno, std::generic_category());
                     },
                     false, "cannot be read back: it is no longer a plain file"});
#endif
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir.Path() / "out";
        fs::remove_all(out);
        ConversionRequest request{out.string(), {source}, LineEnds::Lf};
        request.verify = true;
        ReadBackIo io;
        io.mailbox = MailboxPathFor(source, (out / "").string()).Path();
        io.beforeOpen = c.beforeOpen ? [&] { return c.beforeOpen(io.mailbox); } : std::function<std::error_code()>();
        io.failReads = c.failReads;
        BatchObserver observer;
        const BatchSummary summary = ConvertBatch(request, observer, io);
        ASSERT_TRUE(summary.verification);
        EXPECT_EQ(summary.verification->messages, 0u);
        ASSERT_EQ(summary.verification->mismatches.size(), 1u);
        EXPECT_EQ(summary.verification->mismatches[0].mailboxPath, io.mailbox);
        EXPECT_EQ(summary.verification->mismatches[0].problem, c.problem);
    }
}
