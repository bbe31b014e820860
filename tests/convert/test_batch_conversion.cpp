#include "batch_conversion.h"
#include "output_layout.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

// Remembers every call, in order, as text.
class RecordingObserver final : public BatchObserver {
public:
    std::vector<std::string> events;
    int lines = 0;
    int yields = 0;
    std::uint64_t lastBytes = 0;

    void FileStarted(std::size_t index, std::size_t total, const std::string &path) override
    {
        events.push_back("start " + std::to_string(index) + "/" + std::to_string(total) + " " +
                         fs::path(path).filename().string());
    }
    void FileDone(std::size_t index, std::size_t total, const std::string &path,
                  const RecordResult &result) override
    {
        events.push_back("done " + std::to_string(index) + "/" + std::to_string(total) + " " +
                         fs::path(path).filename().string() + (result.ok ? " ok" : " failed"));
    }
    void LineRead(std::uint64_t bytesSoFar, std::uint64_t, int) override
    {
        ++lines;
        lastBytes = bytesSoFar;
    }
    void Yield() override { ++yields; }
};

std::string Message(const std::string &subject, const std::string &eol = "\r\n")
{
    return "From: Ann Example <ann@example.org>" + eol + "To: bob@example.org" + eol +
           "Date: Tue, 5 Mar 2024 09:07:03 +0000" + eol + "Subject: " + subject + eol + eol +
           "Body of " + subject + eol;
}

std::string ReadAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class BatchConversion : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device rd;
        m_dir = fs::temp_directory_path() /
                ("batch_conversion_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        fs::create_directories(m_dir / "in");
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Source(const std::string &relative, const std::string &content)
    {
        const fs::path p = m_dir / "in" / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    // Where the mailbox of the source folder `relative` lands under out/.
    fs::path Mailbox(const std::string &relativeFolder) const
    {
        const std::string folder = (m_dir / "in" / relativeFolder).string() + "/";
        return MailboxPathFor(folder + "x.mbs", (m_dir / "out").string() + "/").mailboxPath;
    }
    std::string Out() const { return (m_dir / "out").string(); }

    fs::path m_dir;
};

} // namespace

TEST_F(BatchConversion, ConvertsInOrderIntoOneMailboxPerFolder)
{
    ConversionRequest request;
    request.outputRoot = Out(); // no trailing separator
    request.sources = {Source("inbox/2.mbs", Message("second")),
                       Source("sent/1.mbs", Message("sent one")),
                       Source("inbox/1.mbs", Message("first"))};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);

    EXPECT_EQ(summary.messages, 3u);
    EXPECT_EQ(summary.sourceFiles, 3u);
    EXPECT_EQ(summary.mailboxes, 2u);
    EXPECT_TRUE(summary.failures.empty());
    std::uint64_t sizes = 0;
    for (const auto &source : request.sources)
        sizes += fs::file_size(source);
    EXPECT_EQ(summary.bytesRead, sizes);
    EXPECT_EQ(observer.events,
              (std::vector<std::string>{"start 0/3 2.mbs", "done 0/3 2.mbs ok",
                                        "start 1/3 1.mbs", "done 1/3 1.mbs ok",
                                        "start 2/3 1.mbs", "done 2/3 1.mbs ok"}));
    EXPECT_GE(observer.lines, 3 * 6);
    EXPECT_GT(observer.yields, 0);

    const std::string inbox = ReadAll(Mailbox("inbox"));
    ASSERT_NE(inbox.find("Subject: second"), std::string::npos);
    ASSERT_NE(inbox.find("Subject: first"), std::string::npos);
    EXPECT_LT(inbox.find("Subject: second"), inbox.find("Subject: first"));
    EXPECT_EQ(inbox.rfind("From ann@example.org Tue Mar 05 09:07:03 2024\r\n", 0), 0u);
    EXPECT_NE(ReadAll(Mailbox("sent")).find("Subject: sent one"), std::string::npos);
    EXPECT_EQ(Mailbox("inbox").filename(), "inbox.mbox");
}

TEST_F(BatchConversion, AFailingSourceDoesNotStopTheBatch)
{
    ConversionRequest request;
    request.outputRoot = Out() + "/";
    const std::string missing = (m_dir / "in/inbox/gone.mbs").string();
    request.sources = {Source("inbox/1.mbs", Message("one")), missing,
                       Source("inbox/3.mbs", Message("three"))};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);

    EXPECT_EQ(summary.messages, 2u);
    EXPECT_EQ(summary.sourceFiles, 2u);
    EXPECT_EQ(summary.mailboxes, 1u);
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].path, missing);
    EXPECT_FALSE(summary.failures[0].reason.empty());
    EXPECT_EQ(observer.events[3], "done 1/3 gone.mbs failed");
    const std::string mbox = ReadAll(Mailbox("inbox"));
    EXPECT_NE(mbox.find("Subject: three"), std::string::npos);
}

TEST_F(BatchConversion, AMirrorFolderThatCannotBeCreatedFailsOnlyItsSources)
{
    const std::string blocked = Source("blocked/1.mbs", Message("blocked"));
    const std::string fine = Source("fine/1.mbs", Message("fine"));
    // A plain file stands where the mirror folder of "blocked" must go.
    const fs::path mirror = Mailbox("blocked").parent_path();
    fs::create_directories(mirror.parent_path());
    std::ofstream(mirror) << "in the way";

    ConversionRequest request{Out(), {blocked, fine}};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);

    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].path, blocked);
    EXPECT_EQ(summary.failures[0].reason.rfind("cannot create folder '" + mirror.string() + "/': ", 0),
              0u)
        << summary.failures[0].reason;
    EXPECT_NE(summary.failures[0].errorCode, 0);
    EXPECT_EQ(summary.sourceFiles, 1u);
    EXPECT_EQ(summary.mailboxes, 1u);
    EXPECT_TRUE(fs::exists(Mailbox("fine")));
}

// Deletes a folder once the first source is done.
class FolderRemover final : public BatchObserver {
public:
    fs::path folder;
    void FileDone(std::size_t index, std::size_t, const std::string &, const RecordResult &) override
    {
        if (index == 0)
            fs::remove_all(folder);
    }
};

TEST_F(BatchConversion, AMirrorFolderThatVanishesIsMadeAgain)
{
    ConversionRequest request{Out(), {Source("inbox/1.mbs", Message("one")),
                                      Source("inbox/2.mbs", Message("two"))}};
    FolderRemover observer;
    observer.folder = Mailbox("inbox").parent_path();
    const BatchSummary summary = ConvertBatch(request, observer);
    EXPECT_TRUE(summary.failures.empty()) << summary.failures[0].reason;
    EXPECT_EQ(summary.sourceFiles, 2u);
    const std::string mbox = ReadAll(Mailbox("inbox"));
    EXPECT_EQ(mbox.find("Subject: one"), std::string::npos);
    EXPECT_NE(mbox.find("Subject: two"), std::string::npos);
}

TEST_F(BatchConversion, RelativePathsAreTakenFromTheWorkingFolder)
{
    Source("rel/1.mbs", Message("relative"));
    const fs::path before = fs::current_path();
    fs::current_path(m_dir);
    ConversionRequest request{"out", {"in/rel/1.mbs", "in/rel/../rel/1.mbs"}};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);
    fs::current_path(before);

    EXPECT_EQ(summary.sourceFiles, 2u);
    EXPECT_EQ(summary.mailboxes, 1u); // both name the same folder
    const std::string mbox = ReadAll(Mailbox("rel"));
    const auto first = mbox.find("Subject: relative");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(mbox.find("Subject: relative", first + 1), std::string::npos);
}

TEST_F(BatchConversion, EmptyRequest)
{
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(ConversionRequest{Out(), {}}, observer);
    EXPECT_EQ(summary.messages, 0u);
    EXPECT_EQ(summary.mailboxes, 0u);
    EXPECT_TRUE(summary.failures.empty());
    EXPECT_TRUE(observer.events.empty());
}
