#include "command_line.h"

#include "mbs_filter.h"
#include "path_logger.h"
#include "progress_reporter.h"
#include "utf8_path.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <ostream>
#include <system_error>

namespace tovaly {

namespace fs = std::filesystem;

namespace {

constexpr const char *kUsage =
    "usage: opera2mbox [-q] [--line-ends=lf|crlf] [--skip-existing] -o OUTPUT_DIR SOURCE...\n";

constexpr const char *kHelp = "Convert Opera Mail message files (.mbs) into mbox mailboxes.\n"
                              "\n"
                              "  -o, --output DIR        write the mailboxes under DIR (created when missing)\n"
                              "  -q, --quiet             no progress bar\n"
                              "      --line-ends=lf|crlf end every line of the mailboxes with LF or CR LF\n"
                              "                          (default: LF on Linux and macOS, CR LF on Windows)\n"
                              "      --mailbox-per=folder|account|store\n"
                              "                          how messages are gathered into mailboxes (see below)\n"
                              "      --mailbox-name=NAME the one mailbox of --mailbox-per=store (default opera)\n"
                              "      --skip-existing     leave out the messages a mailbox holds already, so a\n"
                              "                          rerun adds only what is missing; a torn last record\n"
                              "                          (from a run that was stopped) is cut off first\n"
                              "      --verify            read every mailbox written to back and check that\n"
                              "                          each message is in it as written\n"
                              "  -h, --help              show this help and exit\n"
                              "      --version           show the version and exit\n"
                              "\n"
                              "A SOURCE is a message file, taken whatever its name, or a folder, whose\n"
                              "whole tree is searched for files ending in .mbs (in any case).\n"
                              "\n"
                              "Mailboxes, with -o out:\n"
                              "  folder   (the default) every source folder becomes one mailbox named\n"
                              "           after it, in a mirror of the folder's absolute path under DIR:\n"
                              "           /home/ann/Mail/inbox/1.mbs goes to\n"
                              "           out/home/ann/Mail/inbox/inbox.mbox.\n"
                              "  account  one mailbox per Opera account folder, beside the mirror of that\n"
                              "           folder: /home/ann/store/account1/2010/01/05/1.mbs goes to\n"
                              "           out/home/ann/store/account1.mbox. Messages in no account folder\n"
                              "           go to a mailbox named after the SOURCE folder they were found\n"
                              "           in (out/home/ann/store.mbox), or after their own folder.\n"
                              "  store    one mailbox for everything: out/opera.mbox.\n"
                              "Messages are appended, so converting again into the same DIR adds them a\n"
                              "second time, unless --skip-existing is given.\n"
                              "\n"
                              "Exit status: 0 all converted, 1 some sources failed (or --verify found a\n"
                              "mismatch), 2 bad usage.\n";

constexpr const char *kVersion = "opera2mbox 1.00\n";

std::string Counted(std::uint64_t n, const char *singular, const char *plural)
{
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// What keeps `output` from being a folder: the output itself, or the
// nearest existing path above it, when that is not a folder (a file, or a
// link that leads nowhere). Empty when the output is or can become a folder,
// or when that cannot be told yet (the conversion then reports why).
std::string OutputBlocker(const std::string &output)
{
    for (fs::path path = PathFromUtf8(output); !path.empty(); path = path.parent_path()) {
        std::error_code ec;
        const fs::file_status entry = fs::symlink_status(path, ec);
        if (fs::exists(entry)) {
            const fs::file_status target = fs::status(path, ec);
            return fs::is_directory(target) ? std::string() : Utf8FromPath(path);
        }
        // Not there, or a path through something that is not a folder: the
        // culprit is further up.
        if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory)
            return {};
        if (path == path.parent_path())
            break;
    }
    return {};
}

// Reading the arguments. CLI11 splits them into options and sources; the
// callbacks below run as each option is met, so that the first problem in
// the order given is the one told, and CLI11's own errors are turned into
// the same messages as ours.

// The long options that take a value.
constexpr std::string_view kLongValueOptions[] = {"--output", "--line-ends", "--mailbox-per", "--mailbox-name"};

bool IsLongValueOption(std::string_view name)
{
    return std::find(std::begin(kLongValueOptions), std::end(kLongValueOptions), name) != std::end(kLongValueOptions);
}

// A usage error met while reading the arguments.
struct BadUsage {
    std::string message;
};

// --help or --version was met: the arguments after it are not read.
struct StopReading {};

// The arguments as CLI11 is given them. The forms CLI11 reads otherwise than
// we do are rewritten:
// - before the "--" that ends the options, a long value option with an
//   empty value ("--output=") is followed by that empty value, which CLI11
//   would take from the next argument;
// - before it too, a long option with "=" that takes no value ("--quiet=",
//   "--quiet=yes") is unknown, while CLI11 reads it as the flag: it becomes
//   a stand-in CLI11 cannot know, told as it was given;
// - anywhere, an argument in brackets ("[a,b]"), which CLI11 splits into a
//   list where sources are expected, becomes a stand-in read back whole.
class CliArguments {
public:
    explicit CliArguments(const std::vector<std::string> &args)
    {
        bool optionsEnded = false;
        for (const std::string &arg : args) {
            optionsEnded = optionsEnded || arg == "--";
            const std::size_t equals = arg.find('=');
            if (arg.starts_with('[') && arg.ends_with(']')) {
                m_reversed.push_back(StandIn("", arg));
            } else if (optionsEnded || !arg.starts_with("--") || equals == std::string::npos) {
                m_reversed.push_back(arg);
            } else if (!IsLongValueOption(std::string_view(arg).substr(0, equals))) {
                m_reversed.push_back(StandIn("--", arg));
            } else if (equals + 1 == arg.size()) {
                m_reversed.push_back(arg.substr(0, equals));
                m_reversed.emplace_back();
            } else {
                m_reversed.push_back(arg);
            }
        }
        std::reverse(m_reversed.begin(), m_reversed.end());
    }

    // Last first, the order CLI11 reads them in.
    [[nodiscard]] const std::vector<std::string> &Reversed() const { return m_reversed; }

    // `arg` as it was given.
    [[nodiscard]] std::string Given(const std::string &arg) const
    {
        const auto standIn = m_standIns.find(arg);
        return standIn == m_standIns.end() ? arg : standIn->second;
    }

private:
    // A new stand-in for `arg`: `prefix`, then a control character no option
    // of ours has nor a shell user types, then a number.
    std::string StandIn(const char *prefix, const std::string &arg)
    {
        std::string standIn = prefix + std::string("\x01") + std::to_string(m_standIns.size());
        m_standIns.emplace(standIn, arg);
        return standIn;
    }

    std::vector<std::string> m_reversed;
    std::map<std::string, std::string> m_standIns; ///< stand-in, the argument as given
};

class ArgumentReader {
public:
    ArgumentReader(const CLI::App &app, const CliArguments &arguments, CommandLine &options)
        : m_app(app), m_arguments(arguments), m_options(options)
    {
    }

    // -o or --output (`name`); no value when the arguments ended after it.
    void TakeOutput(const std::string &name, const std::optional<std::string> &value)
    {
        if (m_outputSeen)
            Fail("option " + name + " given more than once");
        if (!value || value->empty())
            Fail("option " + name + " needs a folder");
        m_outputSeen = true;
        m_options.outputDir = *value;
    }

    void TakeLineEnds(const std::optional<std::string> &value)
    {
        if (value == "lf")
            m_options.lineEnds = LineEnds::Lf;
        else if (value == "crlf")
            m_options.lineEnds = LineEnds::CrLf;
        else
            Fail("option --line-ends takes lf or crlf" +
                 (value && !value->empty() ? ", not '" + *value + "'" : std::string()));
    }

    void TakeMailboxPer(const std::optional<std::string> &value)
    {
        const std::optional<MailboxPer> per = value ? ParseMailboxPer(*value) : std::nullopt;
        if (m_perSeen)
            Fail("option --mailbox-per given more than once");
        if (!per)
            Fail("option --mailbox-per takes folder, account or store" + Quoted(value));
        m_perSeen = true;
        m_options.layout.per = *per;
    }

    void TakeMailboxName(const std::optional<std::string> &value)
    {
        if (m_nameSeen)
            Fail("option --mailbox-name given more than once");
        if (!value || !IsPlainMailboxName(*value))
            Fail("option --mailbox-name needs a file name without a folder" + Quoted(value));
        m_nameSeen = true;
        m_options.layout.storeName = *value;
    }

    // The option `arg` names, which ended the arguments without its value.
    void TakeMissingValue(const std::string &arg)
    {
        if (arg == "--output")
            TakeOutput(arg, std::nullopt);
        else if (arg == "--line-ends")
            TakeLineEnds(std::nullopt);
        else if (arg == "--mailbox-per")
            TakeMailboxPer(std::nullopt);
        else if (arg == "--mailbox-name")
            TakeMailboxName(std::nullopt);
        else // -o alone or last in a bundle: the one short option with a value
            TakeOutput("-o", std::nullopt);
    }

    // --help, -h or --version met: no more arguments are read.
    void Stop() const
    {
        if (const std::optional<std::string> unknown = FirstUnknownOption())
            throw BadUsage{*unknown};
        throw StopReading{};
    }

    // The checks on the whole line, once every argument is read.
    void Finish() const
    {
        if (const std::optional<std::string> unknown = FirstUnknownOption())
            throw BadUsage{*unknown};
        if (m_nameSeen && m_options.layout.per != MailboxPer::Store)
            Fail("option --mailbox-name needs --mailbox-per=store");
        if (!m_outputSeen)
            Fail("no output folder given (-o OUTPUT_DIR)");
        if (m_options.sources.empty())
            Fail("no SOURCE given");
    }

    // `message`, unless an unknown option came before the problem it tells.
    [[noreturn]] void Fail(const std::string &message) const { throw BadUsage{FirstUnknownOption().value_or(message)}; }

private:
    // The message for the first argument CLI11 could not place, if any: a
    // long option as given, a short one by its letter.
    [[nodiscard]] std::optional<std::string> FirstUnknownOption() const
    {
        for (const std::string &arg : m_app.remaining()) {
            if (arg == "--") // the end of the options, which CLI11 keeps too
                continue;
            const std::string given = m_arguments.Given(arg);
            return "unknown option '" + (given.starts_with("--") ? given : given.substr(0, 2)) + "'";
        }
        return std::nullopt;
    }

    static std::string Quoted(const std::optional<std::string> &value)
    {
        return value ? " (not '" + *value + "')" : std::string();
    }

    const CLI::App &m_app;
    const CliArguments &m_arguments;
    CommandLine &m_options;
    bool m_outputSeen = false;
    bool m_perSeen = false;
    bool m_nameSeen = false;
};

} // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string> &args)
{
    ParsedCommandLine parsed;
    CommandLine &options = parsed.options;
    const CliArguments arguments(args);
    CLI::App app;
    app.set_help_flag(); // the help is our own text
    app.allow_windows_style_options(false);
    ArgumentReader reader(app, arguments, options);

    // Every option is handled as soon as it is read.
    const auto valueOption = [&](const std::string &name, std::function<void(const std::string &)> take) {
        app.add_option(name,
                       [&arguments, take = std::move(take)](const CLI::results_t &values) {
                           take(arguments.Given(values.back()));
                           return true;
                       })
            ->trigger_on_parse();
    };
    valueOption("-o", [&](const std::string &value) { reader.TakeOutput("-o", value); });
    valueOption("--output", [&](const std::string &value) { reader.TakeOutput("--output", value); });
    valueOption("--line-ends", [&](const std::string &value) { reader.TakeLineEnds(value); });
    valueOption("--mailbox-per", [&](const std::string &value) { reader.TakeMailboxPer(value); });
    valueOption("--mailbox-name", [&](const std::string &value) { reader.TakeMailboxName(value); });
    const auto flag = [&](const std::string &names, std::function<void()> met) {
        app.add_flag_callback(names, std::move(met))->trigger_on_parse();
    };
    flag("-q,--quiet", [&] { options.quiet = true; });
    flag("--skip-existing", [&] { options.skipExisting = true; });
    flag("--verify", [&] { options.verify = true; });
    flag("-h,--help", [&] {
        options.help = true;
        reader.Stop();
    });
    flag("--version", [&] {
        options.version = true;
        reader.Stop();
    });
    app.add_option("SOURCE",
                   [&](const CLI::results_t &sources) {
                       for (const std::string &source : sources)
                           options.sources.push_back(arguments.Given(source));
                       return true;
                   })
        ->expected(0, CLI::detail::expected_max_vector_size)
        ->allow_extra_args(); // every source, not only the first

    std::vector<std::string> unread = arguments.Reversed();
    try {
        try {
            app.parse(unread);
        } catch (const CLI::ExtrasError &) {
            // Unknown options: Finish() tells the first.
        } catch (const CLI::ArgumentMismatch &) {
            // A value option ended the arguments without its value.
            reader.TakeMissingValue(arguments.Reversed().front());
        } catch (const CLI::ParseError &error) {
            reader.Fail(error.what());
        }
        reader.Finish();
    } catch (const BadUsage &bad) {
        parsed.error = bad.message;
        return parsed;
    } catch (const StopReading &) {
    }
    parsed.ok = true;
    return parsed;
}

CollectedSources CollectSources(const std::vector<std::string> &sources, std::shared_ptr<FileSystemService> fileSystem)
{
    if (!fileSystem)
        fileSystem = MakeRealFileSystem();
    CollectedSources collected;
    for (const std::string &source : sources) {
        if (!fileSystem->FolderExists(source)) {
            if (collected.topFolders.empty() || !collected.topFolders.back().folder.empty())
                collected.topFolders.push_back({collected.files.size(), std::string()});
            collected.files.push_back(source);
            continue;
        }
        collected.topFolders.push_back({collected.files.size(), source});
        MbsFolderScan scan = ScanFolderForMbsFiles(source, fileSystem);
        collected.files.insert(collected.files.end(), std::make_move_iterator(scan.files.begin()),
                               std::make_move_iterator(scan.files.end()));
        for (const SkippedFolder &skipped : scan.skippedFolders)
            collected.failures.push_back({skipped.path, skipped.errorCode, "cannot list folder: " + skipped.reason});
        for (SkippedPath &skipped : scan.skippedEntries)
            collected.failures.push_back({std::move(skipped.path), skipped.errorCode, std::move(skipped.reason)});
    }
    return collected;
}

std::string SummaryLine(const BatchSummary &summary, std::size_t failures, const std::string &outputDir)
{
    std::string line = "Converted " + Counted(summary.messages, "message", "messages") + " from " +
                       Counted(summary.sourceFiles, "source file", "source files") + " into " +
                       Counted(summary.mailboxes, "mailbox", "mailboxes") + " under " + outputDir;
    if (summary.skipExisting)
        line += "; " + std::to_string(summary.alreadyPresent) + " already present";
    if (failures > 0)
        line += "; " + std::to_string(failures) + " failed";
    return line + ".";
}

int RunOpera2Mbox(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, bool errIsTerminal,
                  std::function<std::size_t()> errColumns)
{
    const ParsedCommandLine parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        err << "opera2mbox: " << parsed.error << '\n' << kUsage << "Try 'opera2mbox --help' for more information.\n";
        return kExitUsage;
    }
    const CommandLine &options = parsed.options;
    if (options.help) {
        out << kUsage << kHelp;
        return kExitConverted;
    }
    if (options.version) {
        out << kVersion;
        return kExitConverted;
    }

    // Check every argument before anything is written: a typo must not leave
    // a half-done conversion that a second run would then append to again.
    bool usable = true;
    for (const std::string &source : options.sources) {
        std::error_code ec;
        const fs::file_status status = fs::status(PathFromUtf8(source), ec);
        if (!fs::exists(status)) {
            const bool denied = ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory;
            err << "opera2mbox: " << source << ": "
                << (denied ? "cannot access: " + ec.message() : std::string("no such file or folder")) << '\n';
            usable = false;
        }
    }
    if (const std::string blocker = OutputBlocker(options.outputDir); blocker == options.outputDir) {
        err << "opera2mbox: " << options.outputDir << ": not a folder\n";
        usable = false;
    } else if (!blocker.empty()) {
        err << "opera2mbox: " << options.outputDir << ": cannot be a folder: " << blocker << " is not a folder\n";
        usable = false;
    }
    if (!usable) {
        err << kUsage;
        return kExitUsage;
    }

    const CollectedSources collected = CollectSources(options.sources);
    const bool showBar = errIsTerminal && !options.quiet;
    std::vector<std::uint64_t> sizes;
    if (showBar) {
        sizes.reserve(collected.files.size());
        for (const std::string &file : collected.files) {
            std::error_code ec;
            const auto size = fs::file_size(PathFromUtf8(file), ec);
            sizes.push_back(ec ? 0 : static_cast<std::uint64_t>(size));
        }
    }

    ProgressReporter reporter(err, showBar, std::move(sizes), {}, 10.0, std::move(errColumns));
    for (const FileFailure &failure : collected.failures)
        reporter.ReportFailure(failure.path, failure.reason);

    ConversionRequest request{options.outputDir, collected.files, options.lineEnds};
    request.layout = options.layout;
    request.topFolders = collected.topFolders;
    request.skipExisting = options.skipExisting;
    request.verify = options.verify;
    const BatchSummary summary = ConvertBatch(request, reporter);
    reporter.Finish();

    const std::size_t failures = collected.failures.size() + summary.failures.size();
    out << SummaryLine(summary, failures, options.outputDir) << '\n';
    bool matched = true;
    if (summary.verification) {
        for (const VerificationMismatch &mismatch : summary.verification->mismatches)
            err << "opera2mbox: " << mismatch.mailboxPath << ": " << mismatch.problem << '\n';
        out << ReadBackSummary(*summary.verification) << '\n';
        matched = summary.verification->Matched();
    }
    out.flush();
    return failures == 0 && matched ? kExitConverted : kExitFailures;
}

} // namespace tovaly
