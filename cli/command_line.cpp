#include "command_line.h"

#include "mbs_filter.h"
#include "path_logger.h"
#include "progress_reporter.h"

#include <filesystem>
#include <iterator>
#include <optional>
#include <ostream>
#include <system_error>

namespace tovaly {

namespace fs = std::filesystem;

namespace {

constexpr const char *kUsage =
    "usage: opera2mbox [-q] [--line-ends=lf|crlf] [--skip-existing] -o OUTPUT_DIR SOURCE...\n";

constexpr const char *kHelp =
    "Convert Opera Mail message files (.mbs) into mbox mailboxes.\n"
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
    "Exit status: 0 all converted, 1 some sources failed, 2 bad usage.\n";

constexpr const char *kVersion = "opera2mbox 1.00\n";

ParsedCommandLine Failed(std::string message)
{
    ParsedCommandLine parsed;
    parsed.error = std::move(message);
    return parsed;
}

std::string Counted(std::uint64_t n, const char *singular, const char *plural)
{
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

// The value of a long option: after "=", or the next argument.
std::optional<std::string> OptionValue(const std::vector<std::string> &args, std::size_t &i, std::size_t equals)
{
    const std::string &arg = args[i];
    if (equals != std::string::npos)
        return arg.substr(equals + 1);
    if (i + 1 < args.size())
        return args[++i];
    return std::nullopt;
}

// --mailbox-per or --mailbox-name (`name`); `error` set when the value is
// unusable.
void TakeLayoutOption(const std::string &name, const std::optional<std::string> &value, MailboxLayout &layout,
                      bool &perSeen, bool &nameSeen, std::string &error)
{
    if (name == "--mailbox-per") {
        const std::optional<MailboxPer> per = value ? ParseMailboxPer(*value) : std::nullopt;
        if (perSeen)
            error = "option --mailbox-per given more than once";
        else if (!per)
            error = "option --mailbox-per takes folder, account or store" +
                    (value ? " (not '" + *value + "')" : std::string());
        else
            layout.per = *per;
        perSeen = true;
        return;
    }
    if (nameSeen)
        error = "option --mailbox-name given more than once";
    else if (!value || !IsPlainMailboxName(*value))
        error = "option --mailbox-name needs a file name without a folder" +
                (value ? " (not '" + *value + "')" : std::string());
    else
        layout.storeName = *value;
    nameSeen = true;
}

// What keeps `output` from being a folder: the output itself, or the
// nearest existing path above it, when that is not a folder (a file, or a
// link that leads nowhere). Empty when the output is or can become a folder,
// or when that cannot be told yet (the conversion then reports why).
std::string OutputBlocker(const std::string &output)
{
    for (fs::path path{output}; !path.empty(); path = path.parent_path()) {
        std::error_code ec;
        const fs::file_status entry = fs::symlink_status(path, ec);
        if (fs::exists(entry)) {
            const fs::file_status target = fs::status(path, ec);
            return fs::is_directory(target) ? std::string() : path.string();
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

} // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string> &args)
{
    ParsedCommandLine parsed;
    CommandLine &options = parsed.options;
    bool outputSeen = false;
    bool optionsEnded = false;
    bool perSeen = false;
    bool nameSeen = false;

    // Takes the folder of -o/--output; false (with the error set) when it
    // cannot be used.
    auto setOutput = [&](const std::string &value, const std::string &option) {
        if (outputSeen) {
            parsed.error = "option " + option + " given more than once";
            return false;
        }
        if (value.empty()) {
            parsed.error = "option " + option + " needs a folder";
            return false;
        }
        outputSeen = true;
        options.outputDir = value;
        return true;
    };

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.sources.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg.rfind("--", 0) == 0) {
            const auto equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            if (name == "--line-ends") {
                std::string value;
                if (equals != std::string::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                }
                if (value == "lf") {
                    options.lineEnds = LineEnds::Lf;
                } else if (value == "crlf") {
                    options.lineEnds = LineEnds::CrLf;
                } else {
                    return Failed("option --line-ends takes lf or crlf" +
                                  (value.empty() ? std::string() : ", not '" + value + "'"));
                }
                continue;
            }
            if (name == "--output") {
                std::string value;
                if (equals != std::string::npos) {
                    value = arg.substr(equals + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                }
                if (!setOutput(value, "--output"))
                    return parsed;
                continue;
            }
            if (name == "--mailbox-per" || name == "--mailbox-name") {
                const std::optional<std::string> value = OptionValue(args, i, equals);
                std::string error;
                TakeLayoutOption(name, value, options.layout, perSeen, nameSeen, error);
                if (!error.empty())
                    return Failed(error);
                continue;
            }
            if (equals == std::string::npos) {
                if (name == "--quiet") {
                    options.quiet = true;
                    continue;
                }
                if (name == "--skip-existing") {
                    options.skipExisting = true;
                    continue;
                }
                if (name == "--help") {
                    options.help = true;
                    parsed.ok = true;
                    return parsed;
                }
                if (name == "--version") {
                    options.version = true;
                    parsed.ok = true;
                    return parsed;
                }
            }
            return Failed("unknown option '" + arg + "'");
        }
        // One or more short options: -q, -h, -o DIR, -oDIR, -qoDIR.
        for (std::size_t j = 1; j < arg.size(); ++j) {
            const char c = arg[j];
            if (c == 'q') {
                options.quiet = true;
            } else if (c == 'h') {
                options.help = true;
                parsed.ok = true;
                return parsed;
            } else if (c == 'o') {
                std::string value = arg.substr(j + 1);
                if (value.empty() && i + 1 < args.size())
                    value = args[++i];
                if (!setOutput(value, "-o"))
                    return parsed;
                break;
            } else {
                return Failed(std::string("unknown option '-") + c + "'");
            }
        }
    }

    if (nameSeen && options.layout.per != MailboxPer::Store)
        return Failed("option --mailbox-name needs --mailbox-per=store");
    if (!outputSeen)
        return Failed("no output folder given (-o OUTPUT_DIR)");
    if (options.sources.empty())
        return Failed("no SOURCE given");
    parsed.ok = true;
    return parsed;
}

CollectedSources CollectSources(const std::vector<std::string> &sources,
                                std::shared_ptr<FileSystemService> fileSystem)
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
            collected.failures.push_back(
                {skipped.path, skipped.errorCode, "cannot list folder: " + skipped.reason});
        for (SkippedPath &skipped : scan.skippedEntries)
            collected.failures.push_back({std::move(skipped.path), skipped.errorCode, std::move(skipped.reason)});
    }
    return collected;
}

std::string SummaryLine(const BatchSummary &summary, std::size_t failures,
                        const std::string &outputDir)
{
    std::string line = "Converted " + Counted(summary.messages, "message", "messages") +
                       " from " + Counted(summary.sourceFiles, "source file", "source files") +
                       " into " + Counted(summary.mailboxes, "mailbox", "mailboxes") +
                       " under " + outputDir;
    if (summary.skipExisting)
        line += "; " + std::to_string(summary.alreadyPresent) + " already present";
    if (failures > 0)
        line += "; " + std::to_string(failures) + " failed";
    return line + ".";
}

int RunOpera2Mbox(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                  bool errIsTerminal, std::function<std::size_t()> errColumns)
{
    const ParsedCommandLine parsed = ParseCommandLine(args);
    if (!parsed.ok) {
        err << "opera2mbox: " << parsed.error << '\n'
            << kUsage << "Try 'opera2mbox --help' for more information.\n";
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
        const fs::file_status status = fs::status(fs::path(source), ec);
        if (!fs::exists(status)) {
            const bool denied = ec && ec != std::errc::no_such_file_or_directory &&
                                ec != std::errc::not_a_directory;
            err << "opera2mbox: " << source << ": "
                << (denied ? "cannot access: " + ec.message() : std::string("no such file or folder"))
                << '\n';
            usable = false;
        }
    }
    if (const std::string blocker = OutputBlocker(options.outputDir); blocker == options.outputDir) {
        err << "opera2mbox: " << options.outputDir << ": not a folder\n";
        usable = false;
    } else if (!blocker.empty()) {
        err << "opera2mbox: " << options.outputDir << ": cannot be a folder: " << blocker
            << " is not a folder\n";
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
            const auto size = fs::file_size(fs::path(file), ec);
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
    const BatchSummary summary = ConvertBatch(request, reporter);
    reporter.Finish();

    const std::size_t failures = collected.failures.size() + summary.failures.size();
    out << SummaryLine(summary, failures, options.outputDir) << '\n';
    out.flush();
    return failures == 0 ? kExitConverted : kExitFailures;
}

} // namespace tovaly
