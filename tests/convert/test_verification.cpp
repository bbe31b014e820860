#include "batch_conversion.h"
#include "output_layout.h"
#include "test_files.h"
#include "verification.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

std::string Message(const std::string &subject, const std::string &body)
{
    return "From: Ann Example <ann@example.org>\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\nSubject: " + subject +
           "\r\n\r\n" + body;
}

std::string ReadAll(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Writes one record otherwise than it was handed: a fault of the writer or
// of the disk that only reading the mailbox back can show.
class FaultyIo final : public RecordFileIo {
public:
    std::function<std::string(const std::string &)> fault;
    int faultAt = 2; // the write it strikes, from 1

    std::int64_t Write(int fd, std::span<const std::string_view> pieces) override
    {
        std::string bytes;
        for (const std::string_view piece : pieces)
            bytes += piece;
        if (++m_writes != faultAt || !fault)
            return RecordFileIo::Write(fd, pieces);
        const std::string written = fault(bytes);
        const std::string_view whole[] = {written};
        const std::int64_t sent = RecordFileIo::Write(fd, whole);
        return sent == static_cast<std::int64_t>(written.size()) ? static_cast<std::int64_t>(bytes.size()) : -1;
    }

private:
    int m_writes = 0;
};

std::string Replaced(std::string bytes, const std::string &what, const std::string &with)
{
    const std::size_t at = bytes.find(what);
    EXPECT_NE(at, std::string::npos) << what;
    return at == std::string::npos ? bytes : bytes.replace(at, what.size(), with);
}

struct Case {
    const char *name;
    std::function<std::string(const std::string &)> fault; // on the record of 2.mbs
    std::string before;                                    // in the inbox before the run
    std::uint64_t matched;
    std::vector<std::string> problems; // each mismatch's problem, without its byte
};

TEST(RunVerifier, EveryRecordWrittenIsReadBackAsWrittenOrTheMismatchIsNamed)
{
    const fs::path dir = test::MakeTempFolder("verification");
    ASSERT_FALSE(dir.empty());
    const auto put = [&](const std::string &relative, const std::string &content) {
        fs::create_directories((dir / relative).parent_path());
        std::ofstream(dir / relative, std::ios::binary) << content;
        return (dir / relative).make_preferred().string();
    };
    const std::vector<std::string> sources{
        put("in/1.mbs", Message("one", "first\r\n")),
        put("in/2.mbs", Message("two", "From the start, a quoted line\r\nend\r\n")),
        (dir / "in/missing.mbs").make_preferred().string(), // fails: nothing of it is expected
        put("in/3.mbs", Message("three", "third\r\n")),
        put("sent/4.mbs", Message("four", "fourth\r\n")),
    };
    const std::string missingTwo = "a message of '" + sources[1] + "' is not in it as written";
    const std::string missingOne = "a message of '" + sources[0] + "' is not in it as written";
    const std::string foreign = "the record at byte is none of the messages written to it";
    const std::vector<Case> cases{
        {"no fault", nullptr, "", 4, {}},
        {"a record torn before the run", nullptr, "From x@example.org Tue Mar 05 09:07:03 2024\nSubject: cut", 4, {}},
        {"a byte changed",
         [](const std::string &b) { return Replaced(b, "Subject: two", "Subject: twO"); },
         "",
         3,
         {missingTwo, foreign}},
        {"a From line left unquoted: the reader splits the record",
         [](const std::string &b) { return Replaced(b, "\n>From the start,", "\nFrom the start, "); },
         "",
         3,
         {missingTwo, foreign, foreign}},
        {"a From line spoilt: two records run into one",
         [](const std::string &b) { return "X" + b.substr(1); },
         "",
         2,
         {missingOne, missingTwo, foreign}},
        {"a record written twice", [](const std::string &b) { return b + b; }, "", 4, {foreign}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir / "out";
        fs::remove_all(out);
        const std::string inbox = MailboxPathFor(sources[0], (out / "").string()).mailboxPath;
        if (!c.before.empty()) {
            fs::create_directories(fs::path(inbox).parent_path());
            std::ofstream(inbox, std::ios::binary) << c.before;
        }
        ConversionRequest request{out.string(), sources, LineEnds::Lf};
        request.verify = true;
        FaultyIo io;
        io.fault = c.fault;
        BatchObserver observer;
        const BatchSummary summary = ConvertBatch(request, observer, io);
        ASSERT_EQ(summary.failures.size(), 1u);
        ASSERT_TRUE(summary.verification);
        const VerificationReport &report = *summary.verification;
        EXPECT_EQ(report.mailboxes, 2u);
        EXPECT_EQ(report.messages, c.matched);
        const std::string mailbox = ReadAll(inbox);
        std::vector<std::string> problems;
        for (const VerificationMismatch &mismatch : report.mismatches) {
            EXPECT_EQ(mismatch.mailboxPath, inbox);
            std::string problem = mismatch.problem;
            const std::string at = "the record at byte ";
            if (problem.starts_with(at)) {
                // The byte named is where a record of the mailbox starts.
                const std::size_t byte = std::stoul(problem.substr(at.size()));
                EXPECT_EQ(mailbox.compare(byte, 5, "From "), 0) << problem;
                problem.erase(at.size(), problem.find(' ', at.size()) + 1 - at.size());
            }
            problems.push_back(problem);
        }
        EXPECT_EQ(problems, c.problems);
        EXPECT_EQ(ReadBackSummary(report),
                  std::to_string(c.matched) + " messages in 2 mailboxes read back" +
                      (c.problems.empty() ? " and matched"
                                          : "; " + std::to_string(c.problems.size()) +
                                                (c.problems.size() == 1 ? " mismatch" : " mismatches")));
        EXPECT_TRUE(mailbox.starts_with(c.before));
    }
    fs::remove_all(dir);
}

} // namespace
