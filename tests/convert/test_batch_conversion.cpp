#include "batch_conversion.h"
#include "mailbox_record.h"
#include "output_layout.h"
#include "test_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#undef Yield
#define lseek _lseeki64
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace tovaly;

using ::testing::HasSubstr;

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
    void FileDone(std::size_t index, std::size_t total, const std::string &path, const RecordResult &result) override
    {
        events.push_back("done " + std::to_string(index) + "/" + std::to_string(total) + " " +
                         fs::path(path).filename().string() + (result.ok ? " ok" : " failed"));
    }
    void LineRead(std::uint64_t bytesSoFar, std::uint64_t) override
    {
        ++lines;
        lastBytes = bytesSoFar;
    }
    void Yield() override { ++yields; }
};

std::string Message(const std::string &subject, const std::string &eol = "\r\n")
{
    return "From: Ann Example <ann@example.org>" + eol + "To: bob@example.org" + eol +
           "Date: Tue, 5 Mar 2024 09:07:03 +0000" + eol + "Subject: " + subject + eol + eol + "Body of " + subject +
           eol;
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
        ASSERT_FALSE(m_dir.empty());
        fs::create_directories(m_dir / "in");
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
        return MailboxPathFor(folder + "x.mbs", (m_dir / "out").string() + "/").Path();
    }
    std::string Out() const { return (m_dir / "out").string(); }

    tovaly::test::TempFolder m_temp{"batch_conversion"};
    fs::path m_dir = m_temp.Path();
};

} // namespace

TEST_F(BatchConversion, ConvertsInOrderIntoOneMailboxPerFolder)
{
    ConversionRequest request;
    request.outputRoot = Out(); // no trailing separator
    request.sources = {Source("inbox/2.mbs", Message("second")), Source("sent/1.mbs", Message("sent one")),
                       Source("inbox/1.mbs", Message("first"))};
    request.lineEnds = LineEnds::CrLf; // the line ends asked for, whatever the platform's
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
    EXPECT_EQ(observer.events, (std::vector<std::string>{"start 0/3 2.mbs", "done 0/3 2.mbs ok", "start 1/3 1.mbs",
                                                         "done 1/3 1.mbs ok", "start 2/3 1.mbs", "done 2/3 1.mbs ok"}));
    EXPECT_GE(observer.lines, 3 * 6);
    EXPECT_GT(observer.yields, 0);

    const std::string inbox = ReadAll(Mailbox("inbox"));
    ASSERT_THAT(inbox, HasSubstr("Subject: second"));
    ASSERT_THAT(inbox, HasSubstr("Subject: first"));
    EXPECT_LT(inbox.find("Subject: second"), inbox.find("Subject: first"));
    EXPECT_EQ(inbox.rfind("From ann@example.org Tue Mar 05 09:07:03 2024\r\n", 0), 0u);
    EXPECT_TRUE(inbox.ends_with("Body of first\r\n\r\n"));
    EXPECT_THAT(ReadAll(Mailbox("sent")), HasSubstr("Subject: sent one"));
    EXPECT_EQ(Mailbox("inbox").filename(), "inbox.mbox");
}

TEST_F(BatchConversion, AFailingSourceDoesNotStopTheBatch)
{
    ConversionRequest request;
    request.outputRoot = Out() + "/";
    const std::string missing = (m_dir / "in/inbox/gone.mbs").string();
    request.sources = {Source("inbox/1.mbs", Message("one")), missing, Source("inbox/3.mbs", Message("three"))};
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
    EXPECT_THAT(mbox, HasSubstr("Subject: three"));
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
    EXPECT_EQ(summary.failures[0].reason.rfind(
                  "cannot create folder '" + mirror.string() + tovaly::PathSeparator() + "': ", 0),
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
    bool followsLines = true;
    void FileDone(std::size_t index, std::size_t, const std::string &, const RecordResult &) override
    {
        if (index == 0)
            fs::remove_all(folder);
    }
    bool FollowsLines() const override { return followsLines; }
};

TEST_F(BatchConversion, AMirrorFolderThatVanishesIsMadeAgain)
{
    for (const bool followsLines : {true, false}) {
        SCOPED_TRACE(followsLines ? "following lines" : "not following lines");
        fs::remove_all(m_dir / "out");
        ConversionRequest request{Out(),
                                  {Source("inbox/1.mbs", Message("one")), Source("inbox/2.mbs", Message("two")),
                                   Source("inbox/3.mbs", Message("three"))}};
        FolderRemover observer;
        observer.folder = Mailbox("inbox").parent_path();
        observer.followsLines = followsLines;
        const BatchSummary summary = ConvertBatch(request, observer);
        EXPECT_TRUE(summary.failures.empty()) << summary.failures[0].reason;
        EXPECT_EQ(summary.sourceFiles, 3u);
        const std::string mbox = ReadAll(Mailbox("inbox"));
        EXPECT_EQ(mbox.find("Subject: one"), std::string::npos);
        EXPECT_THAT(mbox, HasSubstr("Subject: two"));
        EXPECT_THAT(mbox, HasSubstr("Subject: three"));
    }
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

namespace {

// Subjects of the records of a mailbox, in order.
std::vector<std::string> SubjectsIn(const fs::path &mailbox)
{
    std::vector<std::string> subjects;
    const std::string text = ReadAll(mailbox);
    for (auto at = text.find("\nSubject: "); at != std::string::npos; at = text.find("\nSubject: ", at + 1)) {
        const auto start = at + 10;
        subjects.push_back(text.substr(start, text.find_first_of("\r\n", start) - start));
    }
    return subjects;
}

} // namespace

TEST_F(BatchConversion, AccountAndStoreLayouts)
{
#ifdef _WIN32
    GTEST_SKIP() << "names beyond ASCII reach this test through fs::path::string(), which Windows gives in its ANSI "
                    "code page; the Windows comparison test converts such names";
#endif
    // Two accounts, a folder in no account, a file given on its own, and
    // names beyond ASCII; the walk of the store gave the first six.
    const std::vector<std::string> sources = {
        Source("Почта/store/account1/2010/01/05/1.mbs", Message("a1 first")),
        Source("Почта/store/account1/2010/01/06/2.mbs", Message("a1 second")),
        Source("Почта/store/account2/2011/12/31/1.mbs", Message("a2 first")),
        Source("Почта/store/Entwürfe/3.mbs", Message("draft")),
        Source("Почта/store/account1/2012/02/29/9.mbs", Message("a1 third")),
        Source("Почта/store/4.mbs", Message("loose")),
        Source("été/5.mbs", Message("given alone")),
    };
    const std::string store = (m_dir / "in/Почта/store").string();
    const fs::path out = m_dir / "out";
    const fs::path storeMirror = out / fs::path(store).relative_path();
    for (const LineEnds lineEnds : {LineEnds::Lf, LineEnds::CrLf}) {
        SCOPED_TRACE(lineEnds == LineEnds::Lf ? "LF" : "CR LF");
        fs::remove_all(out);
        ConversionRequest request{Out(), sources};
        request.layout.per = MailboxPer::Account;
        request.lineEnds = lineEnds;
        request.topFolders = {{0, store}, {6, ""}};
        BatchObserver observer;
        BatchSummary summary = ConvertBatch(request, observer);
        EXPECT_TRUE(summary.failures.empty());
        EXPECT_EQ(summary.messages, 7u);
        EXPECT_EQ(summary.mailboxes, 4u);
        EXPECT_EQ(SubjectsIn(storeMirror / "account1.mbox"),
                  (std::vector<std::string>{"a1 first", "a1 second", "a1 third"}));
        EXPECT_EQ(SubjectsIn(storeMirror / "account2.mbox"), std::vector<std::string>{"a2 first"});
        EXPECT_EQ(SubjectsIn(storeMirror.parent_path() / "store.mbox"), (std::vector<std::string>{"draft", "loose"}));
        EXPECT_EQ(SubjectsIn(out / (m_dir / "in").relative_path() / "été.mbox"),
                  std::vector<std::string>{"given alone"});

        fs::remove_all(out);
        request.layout = {MailboxPer::Store, "Alles"};
        summary = ConvertBatch(request, observer);
        EXPECT_EQ(summary.mailboxes, 1u);
        EXPECT_EQ(SubjectsIn(out / "Alles.mbox"),
                  (std::vector<std::string>{"a1 first", "a1 second", "a2 first", "draft", "a1 third", "loose",
                                            "given alone"}));
        // Nothing else is written.
        EXPECT_EQ(std::distance(fs::recursive_directory_iterator(out), fs::recursive_directory_iterator()), 1);
    }
}

// ---- a store of every kind of source ------------------------------------------

namespace {

// Remembers the order of the file events.
class EventObserver final : public BatchObserver {
public:
    explicit EventObserver(bool followsLines) : m_followsLines(followsLines) {}

    std::vector<std::string> events;
    int lines = 0;

    void FileStarted(std::size_t index, std::size_t total, const std::string &) override
    {
        events.push_back("start " + std::to_string(index) + "/" + std::to_string(total));
    }
    void FileDone(std::size_t index, std::size_t, const std::string &, const RecordResult &result) override
    {
        events.push_back("done " + std::to_string(index) + (result.ok ? " ok " : " failed ") +
                         std::to_string(result.messages));
    }
    void LineRead(std::uint64_t, std::uint64_t) override { ++lines; }
    bool FollowsLines() const override { return m_followsLines; }

private:
    bool m_followsLines;
};

// The path behind a descriptor, for file calls that fail by name.
std::string PathOf(int fd)
{
#ifdef _WIN32
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), path.data(),
                                                   static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED);
    path.resize(length < path.size() ? length : 0);
    return fs::path(path).string();
#else
    std::error_code ec;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
#endif
}

// Fails reads of sources named "bad*.mbs" and lets through only the first
// 300 bytes written to mailboxes named "full.mbox".
class FailingByName final : public RecordFileIo {
public:
    IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size) override
    {
        const std::string name = fs::path(PathOf(fd)).filename().string();
        if (name.starts_with("bad")) {
            // "bad1" and "bad2" fail at once, "bad3" after 300 bytes read in
            // small pieces, so some of its messages are cut first.
            const auto at = ::lseek(fd, 0, SEEK_CUR);
            if (name != "bad3.mbs" || at >= 300)
                return {0, IoError(std::errc::io_error)};
            size = std::min<std::size_t>(size, 50);
        }
        return RecordFileIo::Read(fd, buffer, size);
    }
    IoResult<std::size_t> Write(int fd, std::span<const std::string_view> pieces) override
    {
        const std::string path = PathOf(fd);
        if (fs::path(path).filename() != "full.mbox")
            return RecordFileIo::Write(fd, pieces);
        std::uint64_t &sent = m_sent[path];
        if (sent >= 300)
            return {0, IoError(std::errc::no_space_on_device)};
        const std::string_view first = pieces.front().substr(0, static_cast<std::size_t>(300 - sent));
        const IoResult<std::size_t> written = RecordFileIo::Write(fd, std::span<const std::string_view>(&first, 1));
        sent += written.value;
        return written;
    }

private:
    std::map<std::string, std::uint64_t> m_sent;
};

// Every file under `root`, by its path below it, with its bytes.
std::map<std::string, std::string> Tree(const fs::path &root)
{
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = fs::relative(entry.path(), root).string();
        files[relative] = entry.is_directory() ? std::string("<folder>") : ReadAll(entry.path());
    }
    return files;
}

struct BatchRun {
    BatchSummary summary;
    std::vector<std::string> events;
    std::map<std::string, std::string> tree;
    std::string failures; // with the output root taken out
};

} // namespace

class MixedStoreBatch : public BatchConversion {
protected:
    // A store of every kind of source, in folder order.
    std::vector<std::string> Store()
    {
        const std::string monthly =
            ReadAll(fs::path(TOVALY_TEST_DATA_DIR) / "mbox" / "opera_monthly_store" / "input.mbs");
        std::string large = "From: big@example.org\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n\r\n";
        for (int i = 0; i < 400; ++i)
            large += (i % 9 == 0 ? "From the start, " : "line ") + std::to_string(i) + "\r\n";
        return {Source("a/1.mbs", Message("a one")),
                Source("a/2.mbs", monthly),
                Source("a/3.mbs", large),
                Source("a/4.mbs", Message("a four", "\n")),
                (m_dir / "in/a/missing.mbs").string(),
                Source("a/bad1.mbs", Message("unreadable")),
                Source("a/bad3.mbs", monthly), // fails after some of its records
                Source("a/5.mbs", ""),
                Source("blocked/1.mbs", Message("blocked")),
                Source("b/1.mbs", large),
                Source("b/bad2.mbs", monthly),
                Source("c/1.mbs", Message("c one")),
                (m_dir / "in/c").string(),
                Source("full/1.mbs", Message("fits")),
                Source("full/2.mbs", monthly),
                Source("full/3.mbs", Message("no room")),
                Source("d/e/1.mbs", Message("deep")),
                Source("d/1.mbs", Message("d one")),
                Source("f/1.mbs", monthly)};
    }

    BatchRun Convert(const std::vector<std::string> &sources, bool followsLines, const std::string &name)
    {
        const std::string out = (m_dir / name).string();
        // A plain file stands where the mirror folder of "blocked" must go.
        const fs::path blocked = out + Mailbox("blocked").parent_path().string().substr(Out().size());
        fs::create_directories(blocked.parent_path());
        std::ofstream(blocked) << "in the way";

        EventObserver observer(followsLines);
        FailingByName io;
        BatchRun run;
        run.summary = ConvertBatch(ConversionRequest{out, sources}, observer, io);
        if (followsLines) {
            EXPECT_GT(observer.lines, 0);
        } else {
            EXPECT_EQ(observer.lines, 0);
        }
        run.events = observer.events;
        run.tree = Tree(out);
        for (const FileFailure &failure : run.summary.failures) {
            std::string reason = failure.reason;
            for (auto at = reason.find(out); at != std::string::npos; at = reason.find(out))
                reason.replace(at, out.size(), "OUT");
            run.failures += failure.path + " " + std::to_string(failure.errorCode) + " " + reason + "\n";
        }
        return run;
    }
};

TEST_F(MixedStoreBatch, FollowingLinesOrNotGivesTheSameMailboxesAndSummary)
{
    const std::vector<std::string> sources = Store();
    const BatchRun following = Convert(sources, true, "following");
    EXPECT_EQ(following.summary.sourceFiles, 10u);
    EXPECT_EQ(following.summary.failures.size(), 9u) << following.failures; // a/5.mbs is empty
    EXPECT_EQ(following.summary.mailboxes, 7u);
    const std::string full = following.tree.at(Mailbox("full").string().substr(Out().size() + 1));
    EXPECT_THAT(full, HasSubstr("Subject: fits"));
    EXPECT_EQ(full.find("Subject: no room"), std::string::npos);

    const BatchRun blind = Convert(sources, false, "not-following");
    ASSERT_EQ(blind.tree.size(), following.tree.size());
    for (const auto &[path, bytes] : following.tree) {
        const auto found = blind.tree.find(path);
        ASSERT_NE(found, blind.tree.end()) << path;
        EXPECT_TRUE(found->second == bytes) << path << " differs";
    }
    EXPECT_EQ(blind.failures, following.failures);
    EXPECT_EQ(blind.summary.messages, following.summary.messages);
    EXPECT_EQ(blind.summary.sourceFiles, following.summary.sourceFiles);
    EXPECT_EQ(blind.summary.mailboxes, following.summary.mailboxes);
    EXPECT_EQ(blind.summary.bytesRead, following.summary.bytesRead);
    EXPECT_EQ(blind.events, following.events);
}

// Fails the close of every mailbox whose name is given.
class FailingClose final : public RecordFileIo {
public:
    std::string failing;
    IoResult<int> OpenMailbox(const MailboxLocation &location, bool *created) override
    {
        const IoResult<int> opened = RecordFileIo::OpenMailbox(location, created);
        if (opened && location.file == failing)
            m_failing.insert(opened.value);
        return opened;
    }
    std::error_code Close(int fd) override
    {
        const std::error_code result = RecordFileIo::Close(fd);
        if (m_failing.erase(fd) > 0)
            return IoError(std::errc::io_error);
        return result;
    }

private:
    std::set<int> m_failing;
};

TEST_F(MixedStoreBatch, AFailedCloseFailsOnlyItsSource)
{
    ConversionRequest request{Out(),
                              {Source("a/1.mbs", Message("a one")), Source("b/1.mbs", Message("b one")),
                               Source("a/2.mbs", Message("a two"))}};
    FailingClose io;
    io.failing = "a.mbox";
    EventObserver observer(false);
    const BatchSummary summary = ConvertBatch(request, observer, io);

    EXPECT_EQ(observer.events, (std::vector<std::string>{"start 0/3", "done 0 failed 0", "start 1/3", "done 1 ok 1",
                                                         "start 2/3", "done 2 failed 0"}));
    ASSERT_EQ(summary.failures.size(), 2u);
    EXPECT_EQ(summary.failures[0].errorCode, EIO);
    EXPECT_EQ(summary.failures[0].reason,
              "cannot write to mailbox '" + Mailbox("a").string() + "': Input/output error");
    EXPECT_EQ(summary.messages, 1u);
    EXPECT_EQ(summary.mailboxes, 1u);
    // What a failed close may have lost is not left behind half-counted.
    EXPECT_EQ(ReadAll(Mailbox("a")), "");
    EXPECT_THAT(ReadAll(Mailbox("b")), HasSubstr("Subject: b one"));
}

TEST_F(MixedStoreBatch, AnObserverThatThrowsStopsTheBatchCleanly)
{
    class Throwing final : public BatchObserver {
    public:
        void FileDone(std::size_t index, std::size_t, const std::string &, const RecordResult &) override
        {
            if (index == 2)
                throw std::runtime_error("stop");
        }
        bool FollowsLines() const override { return false; }
    };
    ConversionRequest request{Out(), {}};
    for (int i = 0; i < 200; ++i)
        request.sources.push_back(Source("a/" + std::to_string(i) + ".mbs", Message(std::to_string(i))));
    request.lineEnds = LineEnds::Lf;
    Throwing observer;
    RecordFileIo io;
    EXPECT_THROW((void)ConvertBatch(request, observer, io), std::runtime_error);
    // Three whole records, and the mailbox was closed.
    const std::string mbox = ReadAll(Mailbox("a"));
    EXPECT_THAT(mbox, HasSubstr("Subject: 2\n"));
    EXPECT_EQ(mbox.find("Subject: 3\n"), std::string::npos);
    EXPECT_TRUE(mbox.ends_with("Body of 2\n\n"));
}

#ifndef _WIN32
// Links inside the output folder: a mirror folder or a mailbox that is a
// symbolic link may lead anywhere, so the sources behind it fail and
// nothing is written where it points.
class LinksInTheOutput : public BatchConversion {
protected:
    // Every file below `folder`, with its content.
    static std::map<std::string, std::string> FilesIn(const fs::path &folder)
    {
        std::map<std::string, std::string> files;
        for (const auto &entry : fs::recursive_directory_iterator(folder)) {
            if (entry.is_regular_file())
                files[entry.path().string()] = ReadAll(entry.path());
        }
        return files;
    }
    fs::path Outside() const { return m_dir / "outside"; }
};

TEST_F(LinksInTheOutput, ALinkedMirrorFolderFailsItsSourcesAndWritesNothingOutside)
{
    const std::string linked1 = Source("linked/1.mbs", Message("linked one"));
    const std::string linked2 = Source("linked/deeper/2.mbs", Message("linked two"));
    const std::string fine = Source("fine/1.mbs", Message("fine one"));
    // The mirror of in/linked is a link to a folder outside the output.
    const fs::path mirror = Mailbox("linked").parent_path();
    fs::create_directories(mirror.parent_path());
    fs::create_directories(Outside());
    fs::create_directory_symlink(Outside(), mirror);

    ConversionRequest request{Out(), {linked1, fine, linked2}};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);

    EXPECT_TRUE(FilesIn(Outside()).empty());
    EXPECT_FALSE(fs::exists(Outside() / "deeper"));
    ASSERT_EQ(summary.failures.size(), 2u);
    EXPECT_EQ(summary.failures[0].path, linked1);
    EXPECT_EQ(summary.failures[1].path, linked2);
    for (const FileFailure &failure : summary.failures) {
        EXPECT_EQ(failure.errorCode, ELOOP);
        EXPECT_THAT(failure.reason, HasSubstr("'" + mirror.string() + "' is a symbolic link")) << failure.reason;
        EXPECT_THAT(failure.reason, HasSubstr("only inside the output folder")) << failure.reason;
    }
    EXPECT_EQ(summary.sourceFiles, 1u);
    EXPECT_EQ(SubjectsIn(Mailbox("fine")), std::vector<std::string>{"fine one"});
}

TEST_F(LinksInTheOutput, ALinkedMailboxIsNeitherWrittenNorCut)
{
    const std::string source = Source("inbox/1.mbs", Message("new"));
    fs::create_directories(Outside());
    // A torn record, which a rerun that skips existing messages would cut off
    // a mailbox of its own.
    const std::string victim = "From x@example.org Tue Mar 05 09:07:03 2024\nSubject: outside\n\nBody, cut sh";
    std::ofstream(Outside() / "victim.mbox", std::ios::binary) << victim;
    fs::create_directories(Mailbox("inbox").parent_path());
    fs::create_symlink(Outside() / "victim.mbox", Mailbox("inbox"));
    // A dangling link would create the file it names.
    const std::string other = Source("other/1.mbs", Message("other"));
    fs::create_directories(Mailbox("other").parent_path());
    fs::create_symlink(Outside() / "created.mbox", Mailbox("other"));

    for (const bool skipExisting : {false, true}) {
        SCOPED_TRACE(skipExisting ? "skipping existing messages" : "appending");
        ConversionRequest request{Out(), {source, other}};
        request.skipExisting = skipExisting;
        RecordingObserver observer;
        const BatchSummary summary = ConvertBatch(request, observer);

        EXPECT_EQ(ReadAll(Outside() / "victim.mbox"), victim);
        EXPECT_FALSE(fs::exists(Outside() / "created.mbox"));
        ASSERT_EQ(summary.failures.size(), 2u);
        EXPECT_EQ(summary.sourceFiles, 0u);
        EXPECT_EQ(summary.messages, 0u);
        EXPECT_EQ(summary.failures[0].errorCode, ELOOP);
        EXPECT_THAT(summary.failures[0].reason, HasSubstr("'" + Mailbox("inbox").string() + "'"))
            << summary.failures[0].reason;
        EXPECT_THAT(summary.failures[0].reason, HasSubstr("symbolic link")) << summary.failures[0].reason;
        EXPECT_THAT(summary.failures[1].reason, HasSubstr("'" + Mailbox("other").string() + "'"))
            << summary.failures[1].reason;
    }
    EXPECT_TRUE(fs::is_symlink(Mailbox("inbox")));
}

TEST_F(LinksInTheOutput, TheOutputFolderItselfMayBeALink)
{
    const std::string source = Source("inbox/1.mbs", Message("through the named link"));
    fs::create_directories(m_dir / "real");
    fs::create_directory_symlink(m_dir / "real", m_dir / "out");
    // And so may a folder above it.
    fs::create_directory_symlink(m_dir, m_dir / "above");

    ConversionRequest request{(m_dir / "above" / "out").string(), {source}};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);

    EXPECT_TRUE(summary.failures.empty()) << summary.failures.front().reason;
    const fs::path real = m_dir / "real" / fs::path(Mailbox("inbox")).lexically_relative(m_dir / "out");
    EXPECT_EQ(SubjectsIn(real), std::vector<std::string>{"through the named link"});
}

TEST_F(LinksInTheOutput, ALinkBelowTheOutputFolderIsRefusedWhereverItLeads)
{
    // Even a link that stays inside the output folder is not followed: the
    // rule is about links, not about where they happen to point today.
    const std::string source = Source("inbox/1.mbs", Message("one"));
    const fs::path mirror = Mailbox("inbox").parent_path();
    fs::create_directories(mirror.parent_path());
    fs::create_directories(m_dir / "out" / "elsewhere");
    fs::create_directory_symlink(m_dir / "out" / "elsewhere", mirror);

    ConversionRequest request{Out(), {source}};
    RecordingObserver observer;
    const BatchSummary summary = ConvertBatch(request, observer);
    ASSERT_EQ(summary.failures.size(), 1u);
    EXPECT_EQ(summary.failures[0].errorCode, ELOOP);
    EXPECT_TRUE(fs::is_empty(m_dir / "out" / "elsewhere"));
}
#endif

// ---- other programs and the user at the same mailbox ---------------------------

namespace {

#ifndef _WIN32
// Another program appending a record in two halves under one of the locks
// mail programs take: a forked child, which holds the lock and has written
// the first half once WaitUntilHolding returns, and writes the second half
// and lets go when told to go on.
class ForeignWriter {
public:
    enum class Lock { Fcntl, Flock, Dotlock };

    ForeignWriter(const fs::path &mailbox, Lock lock, const std::string &first, const std::string &second)
    {
        if (::pipe(m_ready) != 0 || ::pipe(m_go) != 0)
            return;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_ready[0]);
            ::close(m_go[1]);
            _exit(Child(mailbox.string(), lock, first, second));
        }
        ::close(m_ready[1]);
        ::close(m_go[0]);
    }
    ~ForeignWriter() { (void)Finish(); }

    bool WaitUntilHolding()
    {
        char c = 0;
        return m_pid > 0 && ::read(m_ready[0], &c, 1) == 1;
    }
    void GoOn()
    {
        if (!std::exchange(m_told, true))
            (void)!::write(m_go[1], "g", 1);
    }
    bool Told() const { return m_told; }
    // Lets the child finish (if not told yet): its exit status.
    int Finish()
    {
        if (m_pid <= 0)
            return -1;
        GoOn();
        int status = 0;
        ::waitpid(std::exchange(m_pid, -1), &status, 0);
        ::close(m_ready[0]);
        ::close(m_go[1]);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    int Child(const std::string &mailbox, Lock lock, const std::string &first, const std::string &second)
    {
        const int fd = ::open(mailbox.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
        if (fd < 0)
            return 10;
        const std::string lockFile = mailbox + ".lock";
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        if ((lock == Lock::Fcntl && ::fcntl(fd, F_SETLKW, &whole) != 0) ||
            (lock == Lock::Flock && ::flock(fd, LOCK_EX) != 0) ||
            (lock == Lock::Dotlock && ::open(lockFile.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644) < 0))
            return 11;
        char c = 0;
        if (::write(fd, first.data(), first.size()) != static_cast<ssize_t>(first.size()) ||
            ::write(m_ready[1], "r", 1) != 1 || ::read(m_go[0], &c, 1) != 1 ||
            ::write(fd, second.data(), second.size()) != static_cast<ssize_t>(second.size()))
            return 12;
        if (lock == Lock::Dotlock)
            ::unlink(lockFile.c_str());
        ::close(fd);
        return 0;
    }

    pid_t m_pid = -1;
    int m_ready[2] = {-1, -1};
    int m_go[2] = {-1, -1};
    bool m_told = false;
};

// The system's file calls, which tell the foreign writer to go on the
// first time they find a lock held.
class TellingIo final : public RecordFileIo {
public:
    explicit TellingIo(ForeignWriter &writer) : m_writer(writer) {}
    std::error_code TryLock(int fd) override { return Told(RecordFileIo::TryLock(fd)); }
    std::error_code TryDotlock(const MailboxLocation &location) override
    {
        return Told(RecordFileIo::TryDotlock(location));
    }

private:
    std::error_code Told(std::error_code result)
    {
        if (result)
            m_writer.GoOn();
        return result;
    }
    ForeignWriter &m_writer;
};
#endif

// Asks to stop once it has been asked `untilStop` times.
class StoppingObserver final : public BatchObserver {
public:
    explicit StoppingObserver(int untilStop) : m_untilStop(untilStop) {}
    bool StopRequested() const override { return ++m_asked > m_untilStop; }

private:
    int m_untilStop;
    mutable int m_asked = 0;
};

// Counts the cuts the writer makes.
class CountingCuts final : public RecordFileIo {
public:
    int cuts = 0;
    std::error_code Truncate(int fd, std::uint64_t length) override
    {
        ++cuts;
        return RecordFileIo::Truncate(fd, length);
    }
};

} // namespace

TEST_F(BatchConversion, AnotherProgramsRecordIsWaitedForWhateverLockItHolds)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows mail programs lock with LockFileEx alone, which test_mailbox_record holds";
#else
    const std::string one = Source("one.mbs", Message("one", "\n"));
    const std::string two = Source("two.mbs", Message("two", "\n"));
    const std::string first = "From mda@example.org Tue Mar  5 09:07:03 2024\nSubject: delivered\n";
    const std::string second = "\nbody of delivered\n\n";
    // Each record as the writer makes it on its own.
    const auto recordOf = [&](const std::string &source) {
        const fs::path alone = m_dir / "alone.mbox";
        fs::remove(alone);
        EXPECT_TRUE(AppendMailboxRecord(source, alone.string(), nullptr, LineEnds::Lf).ok);
        return ReadAll(alone);
    };
    const std::string recordOne = recordOf(one);
    const std::string recordTwo = recordOf(two);

    using Lock = ForeignWriter::Lock;
    const std::vector<std::tuple<Lock, bool, const char *>> table = {
        {Lock::Fcntl, false, "fcntl, appending"},        {Lock::Flock, false, "flock, appending"},
        {Lock::Dotlock, false, "lock file, appending"},  {Lock::Fcntl, true, "fcntl, skipping existing"},
        {Lock::Flock, true, "flock, skipping existing"}, {Lock::Dotlock, true, "lock file, skipping existing"},
    };
    for (const auto &[lock, skipExisting, label] : table) {
        SCOPED_TRACE(label);
        fs::remove_all(Out());
        fs::create_directories(Out());
        const fs::path mailbox = fs::path(Out()) / "opera.mbox";
        std::ofstream(mailbox, std::ios::binary) << recordOne;

        ForeignWriter writer(mailbox, lock, first, second);
        ASSERT_TRUE(writer.WaitUntilHolding());
        ConversionRequest request{Out(), {two}, LineEnds::Lf};
        request.layout.per = MailboxPer::Store;
        request.layout.storeName = "opera";
        request.skipExisting = skipExisting;
        TellingIo io(writer);
        BatchObserver observer;
        const BatchSummary summary = ConvertBatch(request, observer, io);
        EXPECT_TRUE(writer.Told()) << "the lock was never found held";
        EXPECT_EQ(writer.Finish(), 0);
        EXPECT_TRUE(summary.failures.empty()) << summary.failures.front().reason;
        EXPECT_EQ(summary.messages, 1u);
        EXPECT_EQ(ReadAll(mailbox), recordOne + first + second + recordTwo);
        EXPECT_FALSE(fs::exists(mailbox.string() + ".lock"));
    }
#endif
}

TEST_F(BatchConversion, AStoppedRunTakesBackTheSourceItWasWritingAndEndsThere)
{
    const std::vector<std::string> sources = {
        Source("1.mbs", Message("one")),
        Source("2.mbs", ReadAll(fs::path(TOVALY_TEST_DATA_DIR) / "mbox" / "opera_monthly_store" / "input.mbs")),
        Source("3.mbs", Message("three")),
    };
    std::vector<std::string> records;
    for (const std::string &source : sources) {
        const fs::path alone = m_dir / "alone.mbox";
        fs::remove(alone);
        EXPECT_TRUE(AppendMailboxRecord(source, alone.string(), nullptr, LineEnds::Lf).ok);
        records.push_back(ReadAll(alone));
    }

    // Stopped at every point the writer asks, until the run is no longer
    // stopped: the mailbox holds whole sources only.
    bool tookBack = false;
    std::set<std::size_t> stoppedAfter;
    for (int untilStop = 0;; ++untilStop) {
        SCOPED_TRACE("stopped when asked for the " + std::to_string(untilStop + 1) + ". time");
        fs::remove_all(Out());
        ConversionRequest request{Out(), sources, LineEnds::Lf};
        request.layout.per = MailboxPer::Store;
        request.layout.storeName = "opera";
        StoppingObserver observer(untilStop);
        CountingCuts io;
        const BatchSummary summary = ConvertBatch(request, observer, io);
        EXPECT_TRUE(summary.failures.empty());
        std::string expected;
        for (std::size_t i = 0; i < summary.sourceFiles; ++i)
            expected += records[i];
        const fs::path mailbox = fs::path(Out()) / "opera.mbox";
        // A mailbox the run made and took everything back from goes too.
        EXPECT_EQ(fs::exists(mailbox), !expected.empty());
        EXPECT_EQ(ReadAll(mailbox), expected);
        if (!summary.interrupted) {
            EXPECT_EQ(summary.sourceFiles, sources.size());
            break;
        }
        EXPECT_EQ(summary.notConverted, sources.size() - summary.sourceFiles);
        stoppedAfter.insert(summary.sourceFiles);
        tookBack = tookBack || io.cuts > 0;
        ASSERT_LT(untilStop, 1000);
    }
    EXPECT_EQ(stoppedAfter, (std::set<std::size_t>{0, 1, 2}));
    EXPECT_TRUE(tookBack) << "no stop came between two records of one source";
}

namespace {

// Counts the opens of mailboxes and the reads of their tails.
class CountingOpens final : public RecordFileIo {
public:
    using RecordFileIo::RecordFileIo;
    int opens = 0;
    int tailReads = 0;
    IoResult<int> OpenMailbox(const MailboxLocation &location, bool *created) override
    {
        ++opens;
        return RecordFileIo::OpenMailbox(location, created);
    }
    IoResult<std::size_t> ReadAt(int fd, char *buffer, std::size_t size, std::uint64_t offset) override
    {
        ++tailReads;
        return RecordFileIo::ReadAt(fd, buffer, size, offset);
    }
};

// A batch observer that yields, or one with nothing to serve.
class YieldingOrNot final : public BatchObserver {
public:
    explicit YieldingOrNot(bool serves) : m_yields(serves) {}
    int yields = 0;
    void Yield() override { ++yields; }
    bool Yields() const override { return m_yields; }

private:
    bool m_yields;
};

} // namespace

TEST_F(BatchConversion, WithNothingToServeAMailboxStaysOpenAcrossItsRecordsAndSources)
{
    const std::string monthly = ReadAll(fs::path(TOVALY_TEST_DATA_DIR) / "mbox" / "opera_monthly_store" / "input.mbs");
    // Six records: four for a (in two runs of sources), one for b.
    const std::vector<std::string> sources = {Source("a/1.mbs", monthly), Source("a/2.mbs", Message("a two")),
                                              Source("b/1.mbs", Message("b one")),
                                              Source("a/3.mbs", Message("a three"))};
    struct Case {
        const char *label;
        bool yields;
        std::chrono::milliseconds holdLimit;
        int opens;     // of a mailbox
        int tailReads; // of a mailbox that is not empty when opened
    };
    const std::vector<Case> table = {
        {"a window: opened for every record", true, kMailboxHoldLimit, 6, 2},
        {"nothing to serve: opened once per run of sources", false, kMailboxHoldLimit, 3, 1},
        {"nothing to serve, let go after every record", false, std::chrono::milliseconds(0), 6, 2},
    };
    std::map<std::string, std::string> first;
    for (const Case &row : table) {
        SCOPED_TRACE(row.label);
        fs::remove_all(Out());
        YieldingOrNot observer(row.yields);
        CountingOpens io(kMailboxLockWait, row.holdLimit);
        const BatchSummary summary = ConvertBatch(ConversionRequest{Out(), sources, LineEnds::Lf}, observer, io);
        EXPECT_TRUE(summary.failures.empty());
        EXPECT_EQ(summary.messages, 6u);
        EXPECT_EQ(io.opens, row.opens);
        EXPECT_EQ(io.tailReads, row.tailReads);
        EXPECT_EQ(observer.yields > 0, row.yields);
        const std::map<std::string, std::string> mailboxes = {{"a", ReadAll(Mailbox("a"))},
                                                              {"b", ReadAll(Mailbox("b"))}};
        if (first.empty())
            first = mailboxes;
        EXPECT_EQ(mailboxes, first); // the same bytes whatever the rhythm
    }
}
