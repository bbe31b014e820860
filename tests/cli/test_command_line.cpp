#include "command_line.h"
#include "mbox_reader.h"
#include "message_text.h"
#include "output_layout.h"
#include "test_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;
using namespace tovaly;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

using Args = std::vector<std::string>;

CommandLine Parsed(const Args &args)
{
    const ParsedCommandLine parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    return parsed.options;
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
        if (line.ends_with('\r'))
            line.pop_back();
        if (line.rfind("Subject: ", 0) == 0)
            subjects.push_back(line.substr(9));
    }
    return subjects;
}

// The texts of the records of a mailbox as the project's own reader gives
// them back, line ends as LF; sorted, since a walk keeps the file system's
// order.
std::vector<std::string> TextsIn(const fs::path &mailbox)
{
    class Texts final : public MboxVisitor {
    public:
        std::vector<std::string> texts;
        void RecordStarted(std::uint64_t, std::string_view) override { texts.emplace_back(); }
        void RecordText(std::string_view piece) override { texts.back().append(piece); }
        void RecordEnded(std::uint64_t, RecordEnd how) override
        {
            EXPECT_EQ(how, RecordEnd::Whole);
            texts.back() = test::LfText(texts.back());
        }
    };
    Texts reading;
    MboxReader reader(reading);
    reader.Feed(ReadAll(mailbox));
    reader.Finish();
    EXPECT_FALSE(reader.Torn());
    std::sort(reading.texts.begin(), reading.texts.end());
    return reading.texts;
}

std::vector<std::string> TextsOf(std::vector<std::string> subjects)
{
    std::vector<std::string> texts;
    for (const std::string &subject : subjects)
        texts.push_back(test::LfText(Message(subject)));
    std::sort(texts.begin(), texts.end());
    return texts;
}

// Every mailbox under `folder`.
std::vector<fs::path> MailboxesUnder(const fs::path &folder)
{
    std::vector<fs::path> found;
    for (const auto &entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file())
            found.push_back(entry.path());
    }
    std::sort(found.begin(), found.end());
    return found;
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
    std::optional<std::string> FolderIdentity(const std::string &path) override { return real->FolderIdentity(path); }
};

class Opera2MboxRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_dir.empty()) << "no temporary folder"; }
    // Takes `perms` away from the folder `relative` until the test ends.
    void Lock(const std::string &relative, fs::perms perms)
    {
        fs::permissions(m_dir / relative, perms, fs::perm_options::remove);
    }
    std::string Put(const std::string &relative, const std::string &content)
    {
        return m_temp.Put(relative, content).string();
    }
    std::string Path(const std::string &relative) const { return (m_dir / relative).string(); }
    fs::path Mailbox(const std::string &folder) const
    {
        return MailboxPathFor(Path(folder) + "/x.mbs", Path("out") + "/").Path();
    }

    test::TempFolder m_temp{"opera2mbox"};
    const fs::path m_dir = m_temp.Path();
};

} // namespace

TEST(ParseCommandLine, AcceptsEveryFormOfTheOutputOption)
{
    const std::vector<Args> forms = {
        {"-o", "D", "s"}, {"-oD", "s"},      {"--output", "D", "s"}, {"--output=D", "s"},
        {"s", "-o", "D"}, {"-qo", "D", "s"}, {"-qoD", "s"},          {"--output=D", "--", "s"}};
    for (const Args &args : forms) {
        const CommandLine options = Parsed(args);
        EXPECT_EQ(options.outputDir, "D") << args[0];
        EXPECT_EQ(options.sources, Args{"s"}) << args[0];
    }
    EXPECT_TRUE(Parsed({"-qo", "D", "s"}).quiet);
    EXPECT_FALSE(Parsed({"-o", "D", "s"}).quiet);
    EXPECT_TRUE(Parsed({"--quiet", "-o", "D", "s"}).quiet);
}

TEST(ParseCommandLine, LineEndsArePickedOrThePlatforms)
{
    EXPECT_EQ(Parsed({"-o", "D", "s"}).lineEnds, kNativeLineEnds);
    EXPECT_EQ(Parsed({"--line-ends=crlf", "-o", "D", "s"}).lineEnds, LineEnds::CrLf);
    EXPECT_EQ(Parsed({"-o", "D", "s", "--line-ends", "lf"}).lineEnds, LineEnds::Lf);
    EXPECT_EQ(Parsed({"--line-ends=lf", "--line-ends=crlf", "-o", "D", "s"}).lineEnds, LineEnds::CrLf);
    EXPECT_EQ(Parsed({"-o", "D", "--", "--line-ends=crlf"}).sources, Args{"--line-ends=crlf"});
}

TEST(ParseCommandLine, KeepsSourcesInOrderAndEndsOptionsAtDoubleDash)
{
    const CommandLine options = Parsed({"a", "-o", "D", "b", "--", "-q", "--output=x", "-", "c"});
    EXPECT_EQ(options.sources, (Args{"a", "b", "-q", "--output=x", "-", "c"}));
    EXPECT_FALSE(options.quiet);
    EXPECT_EQ(options.outputDir, "D");
}

TEST(ParseCommandLine, RefusesBadUsageNamingWhatIsWrong)
{
    struct Bad {
        Args args;
        std::string named; ///< what the error names: the argument or option
    };
    const std::vector<Bad> cases = {
        {{"--frobnicate", "-o", "D", "s"}, "not expected: --frobnicate"},
        {{"-x", "-o", "D", "s"}, "not expected: -x"},
        {{"-qx", "-o", "D", "s"}, "not expected: -x"},
        {{"--Quiet", "-o", "D", "s"}, "not expected: --Quiet"},
        {{"-o", "D", "s", "--bogus=1"}, "not expected: --bogus=1"},
        {{}, "--output is required"},
        {{"s"}, "--output is required"},
        {{"/o", "D", "s"}, "--output is required"},
        {{"-o", "D"}, "SOURCE is required"},
        {{"-o", "D", "--"}, "SOURCE is required"},
        {{"s", "-o"}, "--output"},
        {{"-o", "D", "-o", "E", "s"}, "--output"},
        {{"-o", "D", "--output", "E", "s"}, "--output"},
        // An empty value after "=" is refused, not taken from the next argument.
        {{"--output=", "D", "s"}, "--output: the value is empty"},
        {{"--line-ends=", "lf", "-o", "D", "s"}, "--line-ends: the value is empty"},
        {{"--skip-existing=", "-o", "D", "s"}, "--skip-existing: the value is empty"},
        {{"-o", "", "s"}, "--output"},
        {{"--line-ends=CRLF", "-o", "D", "s"}, "--line-ends: CRLF"},
        {{"-o", "D", "s", "--line-ends"}, "--line-ends"},
        {{"--mailbox-per=day", "-o", "D", "s"}, "--mailbox-per: day"},
        {{"-o", "D", "s", "--mailbox-per"}, "--mailbox-per"},
        {{"--mailbox-per=store", "--mailbox-per=store", "-o", "D", "s"}, "--mailbox-per"},
        {{"--mailbox-per=store", "--mailbox-name=../x", "-o", "D", "s"}, "--mailbox-name"},
        {{"--mailbox-per=store", "--mailbox-name=a/b", "-o", "D", "s"}, "--mailbox-name"},
        {{"--mailbox-per=store", "-o", "D", "s", "--mailbox-name"}, "--mailbox-name"},
        {{"--mailbox-per=store", "--mailbox-name=a", "--mailbox-name=b", "-o", "D", "s"}, "--mailbox-name"},
        {{"--mailbox-name=x", "-o", "D", "s"}, "--mailbox-per"},
        {{"--mailbox-name=x", "--mailbox-per=account", "-o", "D", "s"}, "--mailbox-per=store"},
    };
    for (const Bad &bad : cases) {
        const ParsedCommandLine parsed = ParseCommandLine(bad.args);
        EXPECT_FALSE(parsed.ok) << ::testing::PrintToString(bad.args);
        EXPECT_THAT(parsed.error, HasSubstr(bad.named)) << ::testing::PrintToString(bad.args);
    }
}

TEST(ParseCommandLine, ReadsEveryArgumentAsItsOwnFormSays)
{
    // A value taken from the next argument is taken whatever it looks like.
    EXPECT_EQ(Parsed({"-o", "-q", "s"}).outputDir, "-q");
    EXPECT_EQ(Parsed({"--output", "--", "s"}).outputDir, "--");
    EXPECT_EQ(Parsed({"--mailbox-per", "store", "--mailbox-name", "-x", "-o", "D", "s"}).layout.storeName, "-x");
    // Values and sources are kept byte for byte, brackets and braces included.
    EXPECT_EQ(Parsed({"-o", "{}", "[a,b]", "{}", "[Gmail]"}).sources, (Args{"[a,b]", "{}", "[Gmail]"}));
    EXPECT_EQ(Parsed({"-o", "[x]", "s"}).outputDir, "[x]");
    // A lone "-" is a source, and so is a second "--".
    EXPECT_EQ(Parsed({"-", "-o", "D"}).sources, Args{"-"});
    EXPECT_EQ(Parsed({"-o", "D", "--", "a", "--", "-b"}).sources, (Args{"a", "--", "-b"}));
}

TEST(ParseCommandLine, HelpAndVersionNeedNothingElse)
{
    EXPECT_TRUE(Parsed({"--help"}).help);
    EXPECT_TRUE(Parsed({"-h"}).help);
    EXPECT_TRUE(Parsed({"--version"}).version);
    EXPECT_TRUE(Parsed({"-o", "D", "--version", "--bogus"}).version);
    EXPECT_TRUE(Parsed({"--bogus", "--help"}).help);
}

TEST(RunOpera2Mbox, UsageErrorsExitWithTwo)
{
    for (const Args &args : std::vector<Args>{{}, {"-o", "D"}, {"s"}, {"--bogus", "-o", "D", "s"}}) {
        const RunResult run = Opera2Mbox(args);
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_TRUE(run.out.empty());
        EXPECT_EQ(run.err.rfind("opera2mbox: ", 0), 0u) << run.err;
        EXPECT_THAT(run.err, HasSubstr("\nusage: opera2mbox [-q] ")) << run.err;
    }
}

TEST(RunOpera2Mbox, UsageNamesEveryOptionTheHelpDescribes)
{
    const std::string help = Opera2Mbox({"--help"}).out;
    const std::size_t usageEnd = help.find("\n\n");
    ASSERT_NE(usageEnd, std::string::npos) << help;
    const std::string usage = help.substr(0, usageEnd);
    // The option table: the lines that start with an option after the
    // indent; the usage names it by its short name when it has one.
    const std::regex optionLine(R"(^ +(?:(-[a-z]), )?(--[a-z-]+))");
    std::istringstream lines(help.substr(usageEnd));
    std::vector<std::string> described;
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, optionLine))
            described.push_back(match[1].matched ? match[1] : match[2]);
    }
    EXPECT_GE(described.size(), 8u) << help;
    for (const std::string &option : described)
        EXPECT_THAT(usage, HasSubstr(option)) << option << " is missing from\n" << usage;
}

TEST(RunOpera2Mbox, HelpAndVersion)
{
    const RunResult help = Opera2Mbox({"--help"});
    EXPECT_EQ(help.status, kExitConverted);
    EXPECT_EQ(help.out.rfind("usage: opera2mbox", 0), 0u);
    EXPECT_THAT(help.out, HasSubstr("inbox/inbox.mbox"));
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
    EXPECT_THAT(run.err, HasSubstr("opera2mbox: " + Path("store/typo.mbs") + ": no such file or folder\n")) << run.err;
    EXPECT_TRUE(run.out.empty());
    EXPECT_FALSE(fs::exists(Path("out")));
}

TEST_F(Opera2MboxRun, OutputThatIsAFileIsBadUsage)
{
    const std::string source = Put("store/a/1.mbs", Message("one"));
    const std::string file = Put("out", "a file");
    const RunResult run = Opera2Mbox({"-o", file, source});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_THAT(run.err, HasSubstr(file + ": not a folder")) << run.err;
}

TEST_F(Opera2MboxRun, OutputBelowAFileIsBadUsageAndNothingIsWritten)
{
#ifdef _WIN32
    GTEST_SKIP() << "its paths are spelled with \"/\", which Windows keeps as given in the messages this test matches; "
                    "a dangling link needs a privilege Wine does not grant";
#endif
    const std::string source = Put("store/a/1.mbs", Message("one"));
    const std::string file = Put("out", "a file");
    for (const std::string &output : {file + "/sub", file + "/sub/deeper", file + "/sub/../x"}) {
        SCOPED_TRACE(output);
        const RunResult run = Opera2Mbox({"-o", output, source});
        EXPECT_EQ(run.status, kExitUsage);
        EXPECT_THAT(run.err,
                    HasSubstr("opera2mbox: " + output + ": cannot be a folder: " + file + " is not a folder\n"))
            << run.err;
        EXPECT_TRUE(run.out.empty());
    }
    EXPECT_EQ(ReadAll(file), "a file");
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2); // store and out

    // A link that leads nowhere cannot be made a folder either.
    fs::create_symlink(Path("nowhere/at/all"), Path("dangling"));
    const RunResult dangling = Opera2Mbox({"-o", Path("dangling"), source});
    EXPECT_EQ(dangling.status, kExitUsage);
    EXPECT_THAT(dangling.err, HasSubstr(Path("dangling") + ": not a folder")) << dangling.err;
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
    EXPECT_EQ(run.out, "Converted 5 messages from 5 source files into 3 mailboxes under " + Path("out") + ".\n");
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
#ifdef _WIN32
    GTEST_SKIP() << "the mirror path passes 260 characters, which Windows opens only in the \\\\?\\ form the program "
                    "does not use yet";
#endif
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
    EXPECT_EQ(run.out, "Converted 3 messages from 3 source files into 1 mailbox under " + Path("out") + ".\n");
}

TEST_F(Opera2MboxRun, WritesTheLineEndsAskedFor)
{
    // A message with LF line ends, one with CR LF, and one with lone CRs.
    const std::string lf = Put("lf/1.mbs", "Subject: lf\n\nbody\n");
    const std::string crlf = Put("crlf/1.mbs", "Subject: crlf\r\n\r\nbody\r\n");
    const std::string cr = Put("cr/1.mbs", "Subject: cr\r\rbody\r");
    for (const char *mode : {"lf", "crlf"}) {
        SCOPED_TRACE(mode);
        fs::remove_all(Path("out"));
        const RunResult run = Opera2Mbox({std::string("--line-ends=") + mode, "-o", Path("out"), lf, crlf, cr});
        ASSERT_EQ(run.status, kExitConverted) << run.err;
        const std::string eol = std::string(mode) == "lf" ? "\n" : "\r\n";
        for (const char *name : {"lf", "crlf", "cr"}) {
            const std::string mbox = ReadAll(Mailbox(name));
            const std::string text = "Subject: " + std::string(name) + eol + eol + "body" + eol + eol;
            // The From line (its date is the file's time), then the text.
            const auto fromLineEnd = mbox.find(eol);
            ASSERT_NE(fromLineEnd, std::string::npos);
            EXPECT_TRUE(mbox.starts_with("From MAILER-DAEMON ")) << mbox;
            EXPECT_EQ(mbox.substr(fromLineEnd + eol.size()), text) << name;
            // From line, header, empty line, body, closing empty line.
            EXPECT_EQ(std::count(mbox.begin(), mbox.end(), '\n'), 5) << name;
            EXPECT_EQ(std::count(mbox.begin(), mbox.end(), '\r'), std::string(mode) == "lf" ? 0 : 5) << name;
        }
    }
}

TEST_F(Opera2MboxRun, AFailedSourceExitsWithOneAndTheRestIsConverted)
{
#ifdef _WIN32
    GTEST_SKIP() << "its paths are spelled with \"/\", which Windows keeps as given in the messages this test matches";
#endif
    const std::string blocked = Put("store/blocked/1.mbs", Message("blocked"));
    Put("store/fine/1.mbs", Message("fine one"));
    Put("store/fine/2.mbs", Message("fine two"));
    // A plain file stands where the mirror folder of "blocked" must go.
    const fs::path mirror = Mailbox("store/blocked").parent_path();
    fs::create_directories(mirror.parent_path());
    std::ofstream(mirror) << "in the way";

    const RunResult run = Opera2Mbox({"-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitFailures);
    EXPECT_THAT(run.err, HasSubstr("opera2mbox: " + blocked + ": cannot create folder '" + mirror.string() + "/': "))
        << run.err;
    EXPECT_EQ(run.out,
              "Converted 2 messages from 2 source files into 1 mailbox under " + Path("out") + "; 1 failed.\n");
    EXPECT_EQ(Subjects(Mailbox("store/fine")).size(), 2u);
}

TEST_F(Opera2MboxRun, ProgressBarOnlyOnATerminalAndNotWhenQuiet)
{
    const std::string source = Put("store/1.mbs", Message("one"));
    const RunResult terminal = Opera2Mbox({"-o", Path("out"), source}, true);
    EXPECT_EQ(terminal.status, kExitConverted);
    EXPECT_THAT(terminal.err, HasSubstr("\r"));
    // The first drawing knows the totals from the walk.
    EXPECT_THAT(terminal.err, HasSubstr("0/1 messages  0.0/0.0 MB")) << terminal.err;
    EXPECT_EQ(terminal.err.back(), '\r'); // the bar is wiped at the end
    EXPECT_THAT(terminal.out, Not(HasSubstr("\r")));

    // The bar keeps to the width of the terminal.
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunOpera2Mbox({"-o", Path("out"), source}, out, err, true, [] { return std::size_t{20}; }),
              kExitConverted);
    const std::string drawn = err.str();
    EXPECT_THAT(drawn, HasSubstr("\r  0% 0/1 messages\r")) << drawn;

    const RunResult quiet = Opera2Mbox({"--quiet", "-o", Path("out"), source}, true);
    EXPECT_EQ(quiet.status, kExitConverted);
    EXPECT_TRUE(quiet.err.empty());
}

TEST_F(Opera2MboxRun, CollectsInArgumentOrderAndReportsUnlistableFolders)
{
#ifdef _WIN32
    GTEST_SKIP() << "a folder cannot be made unlistable by its permissions under Wine";
#endif
    const std::string loose = Put("loose.txt", "x");
    Put("tree/1.mbs", "x");
    Put("tree/denied/2.mbs", "x");
    Put("tree/ok/3.mbs", "x");
    auto fileSystem = std::make_shared<FailingFileSystem>();
    fileSystem->failing = Path("tree/denied") + "/";

    const CollectedSources collected = CollectSources({Path("tree"), loose, Path("tree/ok")}, fileSystem);
    EXPECT_EQ(collected.files,
              (std::vector<std::string>{Path("tree/1.mbs"), Path("tree/ok/3.mbs"), loose, Path("tree/ok/3.mbs")}));
    ASSERT_EQ(collected.failures.size(), 1u);
    EXPECT_EQ(collected.failures[0].path, Path("tree/denied") + "/");
    EXPECT_EQ(collected.failures[0].reason, "cannot list folder: Permission denied");
    EXPECT_EQ(collected.failures[0].errorCode, EACCES);
}

TEST(ParseCommandLine, MailboxLayoutOptions)
{
    EXPECT_EQ(Parsed({"-o", "D", "s"}).layout.per, MailboxPer::Folder);
    EXPECT_EQ(Parsed({"--mailbox-per=folder", "-o", "D", "s"}).layout.per, MailboxPer::Folder);
    EXPECT_EQ(Parsed({"--mailbox-per=account", "-o", "D", "s"}).layout.per, MailboxPer::Account);
    EXPECT_EQ(Parsed({"-o", "D", "--mailbox-per", "account", "s"}).layout.per, MailboxPer::Account);
    EXPECT_EQ(Parsed({"-o", "D", "--mailbox-per", "account", "s"}).sources, Args{"s"});
    const CommandLine store = Parsed({"--mailbox-per=store", "-o", "D", "s"});
    EXPECT_EQ(store.layout.per, MailboxPer::Store);
    EXPECT_EQ(store.layout.storeName, "opera");
    EXPECT_EQ(Parsed({"--mailbox-name=Alle Post", "--mailbox-per=store", "-o", "D", "s"}).layout.storeName,
              "Alle Post");
    EXPECT_EQ(Parsed({"--mailbox-per", "store", "--mailbox-name", "all.mbox", "-o", "D", "s"}).layout.storeName,
              "all.mbox");
    // After "--" they are sources.
    EXPECT_EQ(Parsed({"-o", "D", "--", "--mailbox-per=store"}).sources, Args{"--mailbox-per=store"});
}

TEST_F(Opera2MboxRun, ABadLayoutIsBadUsageAndNothingIsWritten)
{
    const std::string source = Put("store/a/1.mbs", Message("one"));
    const RunResult run = Opera2Mbox({"--mailbox-per=day", "-o", Path("out"), source});
    EXPECT_EQ(run.status, kExitUsage);
    EXPECT_THAT(run.err, HasSubstr("opera2mbox: --mailbox-per: day")) << run.err;
    EXPECT_FALSE(fs::exists(Path("out")));
}

TEST_F(Opera2MboxRun, CollectsTheFolderEachFileWasFoundUnder)
{
#ifdef _WIN32
    GTEST_SKIP() << "its paths are spelled with \"/\", which Windows keeps as given in the messages this test matches";
#endif
    const std::string loose = Put("loose.txt", "x");
    const std::string other = Put("other.mbs", "x");
    Put("tree/1.mbs", "x");
    Put("tree/ok/3.mbs", "x");
    Put("empty/not-mail.txt", "x");
    const CollectedSources collected =
        CollectSources({loose, other, Path("tree"), Path("empty"), loose, Path("tree/ok")});
    EXPECT_EQ(collected.files, (std::vector<std::string>{loose, other, Path("tree/1.mbs"), Path("tree/ok/3.mbs"), loose,
                                                         Path("tree/ok/3.mbs")}));
    ASSERT_EQ(collected.topFolders.size(), 5u);
    const std::vector<std::pair<std::size_t, std::string>> expected = {
        {0, ""}, {2, Path("tree")}, {4, Path("empty")}, {4, ""}, {5, Path("tree/ok")}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(collected.topFolders[i].firstSource, expected[i].first) << i;
        EXPECT_EQ(collected.topFolders[i].folder, expected[i].second) << i;
    }
}

// The three layouts end to end, on a store with two accounts, messages in
// no account, a file given on its own and names beyond ASCII.
class Opera2MboxLayouts : public Opera2MboxRun {
protected:
    void SetUp() override
    {
        Opera2MboxRun::SetUp();
        Put("Почта/store/account1/2010/01/05/1.mbs", Message("a1 first"));
        Put("Почта/store/account1/2010/01/06/2.mbs", Message("a1 second"));
        Put("Почта/store/account2/2011/12/31/1.mbs", Message("a2 first"));
        Put("Почта/store/Entwürfe/3.mbs", Message("draft"));
        Put("Почта/store/4.mbs", Message("loose in store"));
        m_alone = Put("Desktop/été/5.mbs", Message("given alone"));
    }
    RunResult Convert(const Args &layout)
    {
        Args args = layout;
        for (const std::string &arg : {std::string("-o"), Path("out"), Path("Почта/store"), m_alone})
            args.push_back(arg);
        return Opera2Mbox(args);
    }
    // Where the mirror of a folder under the test folder lies in out/.
    fs::path Mirror(const std::string &relative) const
    {
        return fs::path(Path("out")) / fs::path(Path(relative)).relative_path();
    }

    std::string m_alone;
};

TEST_F(Opera2MboxLayouts, FolderLayoutIsTheDefault)
{
#ifdef _WIN32
    GTEST_SKIP() << "names beyond ASCII reach this test through fs::path::string(), which Windows gives in its ANSI "
                    "code page; the Windows comparison test converts such names";
#endif
    const RunResult run = Convert({});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(run.out, "Converted 6 messages from 6 source files into 6 mailboxes under " + Path("out") + ".\n");
    EXPECT_EQ(TextsIn(Mirror("Почта/store/account1/2010/01/05") / "05.mbox"), TextsOf({"a1 first"}));
    EXPECT_EQ(TextsIn(Mirror("Почта/store/Entwürfe") / "Entwürfe.mbox"), TextsOf({"draft"}));
    EXPECT_EQ(TextsIn(Mirror("Почта/store") / "store.mbox"), TextsOf({"loose in store"}));
    EXPECT_EQ(MailboxesUnder(Path("out")).size(), 6u);
    const RunResult same = Convert({"--mailbox-per=folder"});
    EXPECT_EQ(same.status, kExitConverted);
    EXPECT_EQ(TextsIn(Mirror("Почта/store/account1/2010/01/05") / "05.mbox"), TextsOf({"a1 first", "a1 first"}));
}

TEST_F(Opera2MboxLayouts, AMailboxPerAccount)
{
#ifdef _WIN32
    GTEST_SKIP() << "names beyond ASCII reach this test through fs::path::string(), which Windows gives in its ANSI "
                    "code page; the Windows comparison test converts such names";
#endif
    const RunResult run = Convert({"--mailbox-per=account"});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(run.out, "Converted 6 messages from 6 source files into 4 mailboxes under " + Path("out") + ".\n");
    const fs::path store = Mirror("Почта/store");
    EXPECT_EQ(TextsIn(store / "account1.mbox"), TextsOf({"a1 first", "a1 second"}));
    EXPECT_EQ(TextsIn(store / "account2.mbox"), TextsOf({"a2 first"}));
    EXPECT_EQ(TextsIn(Mirror("Почта") / "store.mbox"), TextsOf({"draft", "loose in store"}));
    EXPECT_EQ(TextsIn(Mirror("Desktop") / "été.mbox"), TextsOf({"given alone"}));
    std::vector<fs::path> expected = {Mirror("Desktop") / "été.mbox", Mirror("Почта") / "store.mbox",
                                      store / "account1.mbox", store / "account2.mbox"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(MailboxesUnder(Path("out")), expected);
}

TEST_F(Opera2MboxLayouts, OneMailboxForTheStore)
{
    const RunResult run = Convert({"--mailbox-per=store", "--line-ends=crlf"});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(run.out, "Converted 6 messages from 6 source files into 1 mailbox under " + Path("out") + ".\n");
    const std::vector<std::string> all =
        TextsOf({"a1 first", "a1 second", "a2 first", "draft", "loose in store", "given alone"});
    EXPECT_EQ(TextsIn(fs::path(Path("out")) / "opera.mbox"), all);
    // The file given last comes last.
    EXPECT_TRUE(ReadAll(fs::path(Path("out")) / "opera.mbox").ends_with("Text of given alone\r\n\r\n"));
    EXPECT_EQ(MailboxesUnder(Path("out")), std::vector<fs::path>{fs::path(Path("out")) / "opera.mbox"});

    fs::remove_all(Path("out"));
    const RunResult named = Convert({"--mailbox-per=store", "--mailbox-name=Alle Post"});
    EXPECT_EQ(named.status, kExitConverted) << named.err;
    EXPECT_EQ(MailboxesUnder(Path("out")), std::vector<fs::path>{fs::path(Path("out")) / "Alle Post.mbox"});
    EXPECT_EQ(TextsIn(fs::path(Path("out")) / "Alle Post.mbox"), all);
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
    EXPECT_EQ(SummaryLine(summary, 0, "o"), "Converted 1 message from 1 source file into 1 mailbox under o.");
}

TEST_F(Opera2MboxRun, ATornMailboxIsCompletedAndSaidSo)
{
    Put("store/inbox/1.mbs", Message("after the kill"));
    const fs::path mailbox = Mailbox("store/inbox");
    fs::create_directories(mailbox.parent_path());
    const std::string torn = "From a@example.org Tue Mar 05 09:07:03 2024\nSubject: cut off";
    std::ofstream(mailbox, std::ios::binary) << torn;

    const RunResult run = Opera2Mbox({"--line-ends=lf", "-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(run.err, "opera2mbox: warning: mailbox '" + mailbox.string() + "' ended inside a record (at byte " +
                           std::to_string(torn.size()) +
                           "); added a line end and an empty line before the next record\n");
    const std::string now = ReadAll(mailbox);
    EXPECT_EQ(now.substr(0, torn.size() + 7), torn + "\n\nFrom ");
    EXPECT_EQ(Subjects(mailbox), (std::vector<std::string>{"cut off", "after the kill"}));
}

TEST(SummaryLine, CountsWhatWasAlreadyPresent)
{
    BatchSummary summary;
    summary.sourceFiles = 20;
    summary.skipExisting = true;
    summary.alreadyPresent = 20;
    EXPECT_EQ(SummaryLine(summary, 0, "o"),
              "Converted 0 messages from 20 source files into 0 mailboxes under o; 20 already present.");
    summary.messages = 3;
    summary.mailboxes = 1;
    summary.alreadyPresent = 0;
    EXPECT_EQ(SummaryLine(summary, 1, "o"),
              "Converted 3 messages from 20 source files into 1 mailbox under o; 0 already present; 1 failed.");
}

TEST(ParseCommandLine, SkipExistingIsAFlag)
{
    EXPECT_FALSE(Parsed({"-o", "out", "a.mbs"}).skipExisting);
    EXPECT_TRUE(Parsed({"-o", "out", "a.mbs", "--skip-existing"}).skipExisting);
    // After "--" it is a source.
    EXPECT_EQ(Parsed({"-o", "out", "--", "--skip-existing"}).sources, Args{"--skip-existing"});
}

TEST_F(Opera2MboxRun, VerifyReadsEveryMailboxWrittenToBack)
{
    EXPECT_FALSE(Parsed({"-o", "out", "a.mbs"}).verify);
    EXPECT_TRUE(Parsed({"--verify", "-o", "out", "a.mbs"}).verify);
    EXPECT_EQ(Parsed({"-o", "out", "--", "--verify"}).sources, Args{"--verify"});

    Put("store/inbox/1.mbs", Message("one"));
    Put("store/inbox/2.mbs", Message("two"));
    Put("store/sent/3.mbs", Message("three"));
    const Args args = {"--verify", "-o", Path("out"), Path("store")};
    const RunResult run = Opera2Mbox(args);
    EXPECT_EQ(run.status, kExitConverted) << run.err;
    EXPECT_EQ(run.out, "Converted 3 messages from 3 source files into 2 mailboxes under " + Path("out") +
                           ".\n3 messages in 2 mailboxes read back and matched\n");
    EXPECT_TRUE(run.err.empty()) << run.err;

    // An empty file holds no message: it is not converted, and its mailbox is not made.
    Put("store/drafts/0.mbs", "");
    const std::string empty = (m_dir / "store" / "drafts" / "0.mbs").string(); // as the walk names it
    const RunResult withEmpty = Opera2Mbox({"--verify", "-o", Path("fresh"), Path("store")});
    EXPECT_EQ(withEmpty.status, kExitFailures);
    EXPECT_EQ(withEmpty.err, "opera2mbox: " + empty + ": the file is empty\n");
    EXPECT_EQ(withEmpty.out, "Converted 3 messages from 3 source files into 2 mailboxes under " + Path("fresh") +
                                 "; 1 failed.\n3 messages in 2 mailboxes read back and matched\n");
    EXPECT_FALSE(fs::exists(MailboxPathFor(Path("store/drafts") + "/0.mbs", Path("fresh") + "/").Path()));
}

TEST_F(Opera2MboxRun, SkipExistingAddsOnlyWhatIsMissing)
{
    Put("store/inbox/1.mbs", Message("one"));
    Put("store/inbox/2.mbs", Message("two"));
    Put("store/sent/3.mbs", Message("three"));
    const Args args = {"-o", Path("out"), "--skip-existing", Path("store")};
    const RunResult first = Opera2Mbox(args);
    ASSERT_EQ(first.status, kExitConverted) << first.err;
    EXPECT_EQ(first.out, "Converted 3 messages from 3 source files into 2 mailboxes under " + Path("out") +
                             "; 0 already present.\n");
    const std::string inbox = ReadAll(Mailbox("store/inbox"));
    const std::string sent = ReadAll(Mailbox("store/sent"));

    // Over a finished output: nothing is added.
    const RunResult again = Opera2Mbox(args);
    EXPECT_EQ(again.status, kExitConverted) << again.err;
    EXPECT_EQ(again.out, "Converted 0 messages from 3 source files into 0 mailboxes under " + Path("out") +
                             "; 3 already present.\n");
    EXPECT_TRUE(again.err.empty()) << again.err;
    EXPECT_EQ(ReadAll(Mailbox("store/inbox")), inbox);
    EXPECT_EQ(ReadAll(Mailbox("store/sent")), sent);

    // A run stopped while writing the second record of the inbox: the torn
    // record is cut off, said so, and written again.
    const std::size_t second = inbox.find("From ", 1);
    ASSERT_NE(second, std::string::npos);
    std::ofstream(Mailbox("store/inbox"), std::ios::binary | std::ios::trunc) << inbox.substr(0, second + 30);
    fs::remove(Mailbox("store/sent"));
    const RunResult rerun = Opera2Mbox(args);
    EXPECT_EQ(rerun.status, kExitConverted) << rerun.err;
    EXPECT_EQ(rerun.out, "Converted 2 messages from 3 source files into 2 mailboxes under " + Path("out") +
                             "; 1 already present.\n");
    EXPECT_EQ(rerun.err, "opera2mbox: " + Mailbox("store/inbox").string() + ": torn last record cut off (30 bytes)\n");
    EXPECT_EQ(ReadAll(Mailbox("store/inbox")), inbox);
    EXPECT_EQ(ReadAll(Mailbox("store/sent")), sent);

    // Without the option, a rerun appends everything again.
    const RunResult plain = Opera2Mbox({"-o", Path("out"), Path("store")});
    EXPECT_EQ(plain.out, "Converted 3 messages from 3 source files into 2 mailboxes under " + Path("out") + ".\n");
    EXPECT_EQ(ReadAll(Mailbox("store/inbox")), inbox + inbox);
}

#ifndef _WIN32
TEST_F(Opera2MboxRun, LinksAreFollowedAndEveryOtherMessageEntryIsReported)
{
    Put("store/plain.mbs", Message("plain"));
    const std::string target = Put("elsewhere/real.mbs", Message("linked file"));
    Put("elsewhere/folder/inner.mbs", Message("in a linked folder"));
    fs::create_symlink(target, Path("store/link.mbs"));
    fs::create_directory_symlink(Path("elsewhere/folder"), Path("store/linked"));
    // A way back into the store from the linked folder: walked once only.
    fs::create_directory_symlink(Path("store"), Path("elsewhere/folder/back"));
    fs::create_symlink(Path("nowhere.mbs"), Path("store/broken.mbs"));
    fs::create_symlink("loop.MBS", Path("store/loop.MBS"));
    ASSERT_EQ(::mkfifo(Path("store/pipe.mbs").c_str(), 0600), 0);
    fs::create_symlink(Path("nowhere"), Path("store/not-a-message")); // not a message entry

    const RunResult run = Opera2Mbox({"-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitFailures);
    EXPECT_EQ(run.out,
              "Converted 3 messages from 3 source files into 2 mailboxes under " + Path("out") + "; 3 failed.\n");
    const std::string store = Path("store") + "/";
    for (const std::string &line :
         {store + "broken.mbs: not a regular file: the link leads nowhere", store + "pipe.mbs: not a regular file",
          store + "loop.MBS: " + std::generic_category().message(ELOOP)})
        EXPECT_THAT(run.err, HasSubstr("opera2mbox: " + line + "\n")) << line << "\n" << run.err;
    EXPECT_THAT(run.err, Not(HasSubstr("not-a-message"))) << run.err;

    std::vector<std::string> top = Subjects(Mailbox("store"));
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"linked file", "plain"}));
    EXPECT_EQ(Subjects(Mailbox("store/linked")), std::vector<std::string>{"in a linked folder"});
}

TEST_F(Opera2MboxRun, AFolderThatCannotBeReadOrSearchedIsReported)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads and searches every folder";
    Put("store/ok/1.mbs", Message("ok"));
    Put("store/unsearchable/2.mbs", Message("behind read-only permission"));
    fs::create_symlink(Path("store/ok/1.mbs"), Path("store/unsearchable/link.mbs"));
    fs::create_directory_symlink(Path("store/ok"), Path("store/unsearchable/linked"));
    Put("store/unreadable/3.mbs", Message("behind search-only permission"));
    Lock("store/unsearchable", fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
    Lock("store/unreadable", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    const RunResult run = Opera2Mbox({"-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitFailures);
    EXPECT_EQ(run.out, "Converted 1 message from 1 source file into 1 mailbox under " + Path("out") + "; 2 failed.\n");
    const std::string denied = std::generic_category().message(EACCES);
    for (const char *folder : {"store/unsearchable/", "store/unreadable/"}) {
        const std::string line = "opera2mbox: " + Path(folder) + ": cannot list folder: " + denied + "\n";
        EXPECT_THAT(run.err, HasSubstr(line)) << line << run.err;
    }
    EXPECT_EQ(Subjects(Mailbox("store/ok")), std::vector<std::string>{"ok"});
}

TEST_F(Opera2MboxRun, AMailboxBehindALinkInTheOutputFailsAndCounts)
{
    const std::string linked = Put("store/linked/1.mbs", Message("linked"));
    Put("store/fine/1.mbs", Message("fine"));
    const fs::path outside = m_dir / "outside";
    fs::create_directories(outside);
    const fs::path mirror = Mailbox("store/linked").parent_path();
    fs::create_directories(mirror.parent_path());
    fs::create_directory_symlink(outside, mirror);

    const RunResult run = Opera2Mbox({"-o", Path("out"), Path("store")});
    EXPECT_EQ(run.status, kExitFailures);
    EXPECT_THAT(run.err, HasSubstr("opera2mbox: " + linked + ": cannot create folder '" + mirror.string() + "/': '" +
                                   mirror.string() + "' is a symbolic link"))
        << run.err;
    EXPECT_EQ(run.out, "Converted 1 message from 1 source file into 1 mailbox under " + Path("out") + "; 1 failed.\n");
    EXPECT_TRUE(fs::is_empty(outside));
}
#endif
