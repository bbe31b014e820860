#include "command_line.h"
#include "output_layout.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

using Args = std::vector<std::string>;

CommandLine Parsed(const Args &args)
{
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.options;
}

std::string ParseError(const Args &args)
{
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_FALSE(parsed.ok);
    return parsed.error;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

RunResult Opera2Mbox(const Args &args, bool terminal = false)
{
    std::ostringstream out;
    std::ostringstream err;
    RunResult run;
    run.status = RunOpera2Mbox(args, out, err, terminal);
    run.out = out.str();
    run.err = err.str();
    return run;
}

std::string Message(const std::string &subject)
{
    return "From: Ann Example <ann@example.org>\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n"
           "Subject: " +
           subject + "\r\n\r\nText of " + subject + "\r\n";
}

std::string ReadAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Subjects in a mailbox, in order.
std::vector<std::string> Subjects(const fs::path &mailbox)
{
    std::vector<std::string> subjects;
    std::istringstream in(ReadAll(mailbox));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Subject: ", 0) == 0)
            subjects.push_back(line.substr(9, line.size() - 10)); // without the CR
    }
    return subjects;
}

// A tree whose folders fail to list on demand; everything else is real.
class FailingFileSystem final : public FileSystemService {
public:
    std::string failing;
    std::shared_ptr<FileSystemService> real = MakeRealFileSystem();

    bool FolderExists(const std::string &path) override { return real->FolderExists(path); }
    FolderListing ListSubfolders(const std::string &folder) override
    {
        if (folder == failing)
            return FolderListing::Failure(EACCES, "Permission denied");
        return real->ListSubfolders(folder);
    }
    FolderListing ListFiles(const std::string &folder) override { return real->ListFiles(folder); }
    std::optional<std::string> FolderIdentity(const std::string &path) override
    {
        return real->FolderIdentity(path);
    }
};

class Opera2MboxRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::random_device rd;
        m_dir = fs::temp_directory_path() /
                ("opera2mbox_" + std::to_string(rd()) + "_" + std::to_string(rd()));
        fs::create_directories(m_dir);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(m_dir, ec);
    }
    std::string Put(const std::string &relative, const std::string &content)
    {
        const fs::path p = m_dir / relative;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    std::string Path(const std::string &relative) const { return (m_dir / relative).string(); }
    fs::path Mailbox(const std::string &folder) const
    {
        return MailboxPathFor(Path(folder) + "/x.mbs", Path("out") + "/").mailboxPath;
    }

    fs::path m_dir;
};

} // namespace

TEST(ParseCommandLine, AcceptsEveryFormOfTheOutputOption)
{
    const std::vector<Args> forms = {{"-o", "D", "s"},      {"-oD", "s"},         {"--output", "D", "s"},
                                     {"--output=D", "s"},   {"s", "-o", "D"},     {"-qo", "D", "s"},
                                     {"-qoD", "s"},         {"--output=D", "--", "s"}};
    for (const Args &args : forms) {
        const CommandLine options = Parsed(args);
        EXPECT_EQ(options.outputDir, "D") << args[0];
        EXPECT_EQ(options.sources, Args{"s"}) << args[0];
    }
    EXPECT_TRUE(Parsed({"-qo", "D", "s"}).quiet);
    EXPECT_FALSE(Parsed({"-o", "D", "s"}).quiet);
    EXPECT_TRUE(Parsed({"--quiet", "-o", "D", "s"}).quiet);
}

TEST(ParseCommandLine, KeepsSourcesInOrderAndEndsOptionsAtDoubleDash)
{
    const CommandLine options = Parsed({"a", "-o", "D", "b", "--", "-q", "--output=x", "-", "c"});
    EXPECT_EQ(options.sources, (Args{"a", "b", "-q", "--output=x", "-", "c"}));
    EXPECT_FALSE(options.quiet);
    EXPECT_EQ(options.outputDir, "D");
}

TEST(ParseCommandLine, RejectsBadUsage)
{
    EXPECT_EQ(ParseError({"--frobnicate", "-o", "D", "s"}), "unknown option '--frobnicate'");
    EXPECT_EQ(ParseError({"-x", "-o", "D", "s"}), "unknown option '-x'");
    EXPECT_EQ(ParseError({"-qx", "-o", "D", "s"}), "unknown option '-x'");
    EXPECT_EQ(ParseError({"--quiet=yes", "-o", "D", "s"}), "unknown option '--quiet=yes'");
    EXPECT_EQ(ParseError({"s"}), "no output folder given (-o OUTPUT_DIR)");
    EXPECT_EQ(ParseError({"-o", "D"}), "no SOURCE given");
    EXPECT_EQ(ParseError({"s", "-o"}), "option -o needs a folder");
    EXPECT_EQ(ParseError({"--output=", "s"}), "option --output needs a folder");
    EXPECT_EQ(ParseError({"-o", "D", "-o", "E", "s"}), "option -o given more than once");
    EXPECT_EQ(ParseError({}), "no output folder given (-o OUTPUT_DIR)");
}

TEST(ParseCommandLine, HelpAndVersionNeedNothingElse)
{
    EXPECT_TRUE(Parsed({"--help"}).help);
    EXPECT_TRUE(Parsed({"-h"}).help);
    EXPECT_TRUE(Parsed({"--version"}).version);
    EXPECT_TRUE(Parsed({"-o", "D", "--version", "--bogus"}).version);
}

TEST(RunOpera2Mbox, UsageErrorsExitWithTwo)
{
    for (const Args &args : std::vector<Args>{{}, {"-o", "D"}, {"s"}, {"--bogus", "-o", "D", "s"}}) {
        const RunResult run = Opera2Mbox(args);
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_TRUE(run.out.empty());
        EXPECT_EQ(run.err.rfind("opera2mbox: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("usage: opera2mbox [-q] -o OUTPUT_DIR SOURCE...\n"), std::string::npos);
    }
}

TEST(RunOpera2Mbox, HelpAndVersion)
{
    const RunResult help = Opera2Mbox({"--help"});
    EXPECT_EQ(help.status, kExitConverted);
    EXPECT_EQ(help.out.rfind("usage: opera2mbox", 0), 0u);
    EXPECT_NE(help.out.find("inbox/inbox.mbox"), std::string::npos);
    EXPECT_TRUE(help.err.empty());

    const RunResult version = Opera2Mbox({"--version"});
    EXPECT_EQ(version.status, kExitConverted);
    EXPECT_EQ(version.out, "opera2mbox 1.00\n");
}

TEST_F(Opera2MboxRun, MissingSourceIsBadUsageAndNothingIsWritten)
{
    const std::string present = Put("store/a/1.mbs", Message("one"));
    const RunResult run = Opera2Mbox({"-o", Path("out"), present, Path("store/typo.mbs")});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_NE(run.err.find("opera2mbox: " + Path("store/typo.mbs") + ": no such file or folder\n"),
              std::string::npos)
        << run.err;
    EXPECT_TRUE(run.out.empty());
    EXPECT_FALSE(fs::exists(Path("out")));
}

TEST_F(Opera2MboxRun, OutputThatIsAFileIsBadUsage)
{
    const std::string source = Put("store/a/1.mbs", Message("one"));
    const std::string file = Put("out", "a file");
    const RunResult run = Opera2Mbox({"-o", file, source});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_NE(run.err.find(file + ": not a folder"), std::string::npos) << run.err;
}

TEST_F(Opera2MboxRun, OutputBelowAFileIsBadUsageAndNothingIsWritten)
{
    const std::string source = Put("store/a/1.mbs", Message("one"));
    const std::string file = Put("out", "a file");
    for (const std::string &output : {file + "/sub", file + "/sub/deeper", file + "/sub/../x"}) {
        SCOPED_TRACE(output);
        const RunResult run = Opera2Mbox({"-o", output, source});
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_NE(run.err.find("opera2mbox: " + output + ": cannot be a folder: " + file + " is not a folder\n"),
                  std::string::npos)
            << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_EQ(ReadAll(file), "a file");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2); // store and out

    // A link that leads nowhere cannot be made a folder either.
    fs::create_symlink(Path("nowhere/at/all"), Path("dangling"));
    const RunResult dangling = Opera2Mbox({"-o", Path("dangling"), source});
    EXPECT_EQ(dangling.status, kExitUsage);
    EXPECT_NE(dangling.err.find(Path("dangling") + ": not a folder"), std::string::npos) << dangling.err;
    EXPECT_FALSE(fs::exists(Path("nowhere")));

    // A missing output below an existing folder is fine.
    const RunResult fine = Opera2Mbox({"-q", "-o", Path("new/deep/out"), source});
    EXPECT_EQ(fine.status, kExitConverted) << fine.err;
}

TEST_F(Opera2MboxRun, ConvertsFilesAndFolders)
{
    Put("store/a/1.mbs", Message("a1"));
    Put("store/a/2.MBS", Message("a2"));
    Put("store/a/.mbs", Message("a dot"));
    Put("store/a/3.mbsx", Message("skipped"));
    Put("store/a/4.mbs.bak", Message("skipped"));
    Put("store/a/notes.txt", "not mail");
    Put("store/b/c/5.Mbs", Message("c5"));
    const std::string named = Put("loose/message.eml", Message("named directly"));

    const RunResult run = Opera2Mbox({named, "-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(run.out, "Converted 5 messages from 5 source files into 3 mailboxes under " +
                           Path("out") + ".\n");
    EXPECT_TRUE(run.err.empty()) << run.err; // not a terminal: no bar

    std::vector<std::string> a = Subjects(Mailbox("store/a"));
    std::sort(a.begin(), a.end()); // the walk keeps the file system's order
    EXPECT_EQ(a, (std::vector<std::string>{"a dot", "a1", "a2"}));
    EXPECT_EQ(Subjects(Mailbox("store/b/c")), std::vector<std::string>{"c5"});
    EXPECT_EQ(Subjects(Mailbox("loose")), std::vector<std::string>{"named directly"});
    EXPECT_EQ(Mailbox("store/b/c").filename(), "c.mbox");
}

TEST_F(Opera2MboxRun, FolderWithTheLongestNameIsConverted)
{
    const std::string name(255, 'n'); // as long as a file name can be
    Put("store/" + name + "/1.mbs", Message("long one"));
    Put("store/" + name + "/2.mbs", Message("long two"));
    const RunResult run = Opera2Mbox({"-q", "-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    const fs::path mailbox = Mailbox("store/" + name);
    EXPECT_EQ(mailbox.parent_path().filename(), name);
    std::vector<std::string> subjects = Subjects(mailbox);
    std::sort(subjects.begin(), subjects.end());
    EXPECT_EQ(subjects, (std::vector<std::string>{"long one", "long two"}));
    EXPECT_EQ(std::distance(fs::directory_iterator(mailbox.parent_path()), fs::directory_iterator()), 1);
}

TEST_F(Opera2MboxRun, FilesAreConvertedInTheOrderGiven)
{
    const std::string second = Put("store/2.mbs", Message("second"));
    const std::string first = Put("store/1.mbs", Message("first"));
    const RunResult run = Opera2Mbox({"-q", "-o", Path("out"), second, first, second});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(Subjects(Mailbox("store")), (std::vector<std::string>{"second", "first", "second"}));
    EXPECT_EQ(run.out, "Converted 3 messages from 3 source files into 1 mailbox under " +
                           Path("out") + ".\n");
}

TEST_F(Opera2MboxRun, AFailedSourceExitsWithOneAndTheRestIsConverted)
{
    const std::string blocked = Put("store/blocked/1.mbs", Message("blocked"));
    Put("store/fine/1.mbs", Message("fine one"));
    Put("store/fine/2.mbs", Message("fine two"));
    // A plain file stands where the mirror folder of "blocked" must go.
    const fs::path mirror = Mailbox("store/blocked").parent_path();
    fs::create_directories(mirror.parent_path());
    std::ofstream(mirror) << "in the way";

    const RunResult run = Opera2Mbox({"-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitFailures);
    EXPECT_NE(run.err.find("opera2mbox: " + blocked + ": cannot create folder '" +
                           mirror.string() + "/': "),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "Converted 2 messages from 2 source files into 1 mailbox under " +
                           Path("out") + "; 1 failed.\n");
    EXPECT_EQ(Subjects(Mailbox("store/fine")).size(), 2u);
}

TEST_F(Opera2MboxRun, ProgressBarOnlyOnATerminalAndNotWhenQuiet)
{
    const std::string source = Put("store/1.mbs", Message("one"));
    const RunResult terminal = Opera2Mbox({"-o", Path("out"), source}, true);
    EXPECT_EQ(terminal.status, kExitConverted);
    EXPECT_NE(terminal.err.find("\r"), std::string::npos);
    EXPECT_NE(terminal.err.find("1/1 files"), std::string::npos) << terminal.err;
    EXPECT_EQ(terminal.err.back(), '\r'); // the bar is wiped at the end
    EXPECT_EQ(terminal.out.find('\r'), std::string::npos);

    const RunResult quiet = Opera2Mbox({"--quiet", "-o", Path("out"), source}, true);
    EXPECT_EQ(quiet.status, kExitConverted);
    EXPECT_TRUE(quiet.err.empty());
}

TEST_F(Opera2MboxRun, CollectsInArgumentOrderAndReportsUnlistableFolders)
{
    const std::string loose = Put("loose.txt", "x");
    Put("tree/1.mbs", "x");
    Put("tree/denied/2.mbs", "x");
    Put("tree/ok/3.mbs", "x");
    auto fileSystem = std::make_shared<FailingFileSystem>();
    fileSystem->failing = Path("tree/denied") + "/";

    const CollectedSources collected =
        CollectSources({Path("tree"), loose, Path("tree/ok")}, fileSystem);
    EXPECT_EQ(collected.files, (std::vector<std::string>{Path("tree/1.mbs"), Path("tree/ok/3.mbs"),
                                                         loose, Path("tree/ok/3.mbs")}));
    ASSERT_EQ(collected.failures.size(), 1u);
    EXPECT_EQ(collected.failures[0].path, Path("tree/denied") + "/");
    EXPECT_EQ(collected.failures[0].reason, "cannot list folder: Permission denied");
    EXPECT_EQ(collected.failures[0].errorCode, EACCES);
}

TEST(SummaryLine, CountsAndFailures)
{
    BatchSummary summary;
    summary.messages = 1234;
    summary.sourceFiles = 1230;
    summary.mailboxes = 57;
    EXPECT_EQ(SummaryLine(summary, 2, "OUT"),
              "Converted 1234 messages from 1230 source files into 57 mailboxes under OUT; 2 failed.");
    summary.messages = 1;
    summary.sourceFiles = 1;
    summary.mailboxes = 1;
    EXPECT_EQ(SummaryLine(summary, 0, "o"),
              "Converted 1 message from 1 source file into 1 mailbox under o.");
}
