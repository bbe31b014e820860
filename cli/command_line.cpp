#include "command_line.h"

#include "mbs_filter.h"
#include "path_logger.h"
#include "progress_reporter.h"

#include <filesystem>
#include <ostream>
#include <system_error>

namespace tovaly {

namespace fs = std::filesystem;

namespace {

constexpr const char *kUsage = "usage: opera2mbox [-q] -o OUTPUT_DIR SOURCE...\n";

constexpr const char *kHelp =
    "Convert Opera Mail message files (.mbs) into mbox mailboxes.\n"
    "\n"
    "  -o, --output DIR  write the mailboxes under DIR (created when missing)\n"
    "  -q, --quiet       no progress bar\n"
    "  -h, --help        show this help and exit\n"
    "      --version     show the version and exit\n"
    "\n"
    "A SOURCE is a message file, taken whatever its name, or a folder, whose\n"
    "whole tree is searched for files ending in .mbs (in any case).\n"
    "\n"
    "Every source folder becomes one mailbox named after it, in a mirror of\n"
    "the folder's absolute path under DIR: /home/ann/Mail/inbox/1.mbs with\n"
    "-o out goes to out/home/ann/Mail/inbox/inbox.mbox. Messages are appended,\n"
    "so converting again into the same DIR adds them a second time.\n"
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
            if (equals == std::string::npos) {
                if (name == "--quiet") {
                    options.quiet = true;
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
            collected.files.push_back(source);
            continue;
        }
        pathLogger walker(fileSystem);
        walker.PathLogInit();
        walker.setFullFileNamesOnly(true);
        walker.LogPath(source);
        for (const std::string &path : *walker.fullFileNames()) {
            if (HasMbsExtension(path))
                collected.files.push_back(path);
        }
        for (const SkippedFolder &skipped : walker.skippedFolders())
            collected.failures.push_back(
                {skipped.path, skipped.errorCode, "cannot list folder: " + skipped.reason});
        walker.Terminate();
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
    if (failures > 0)
        line += "; " + std::to_string(failures) + " failed";
    return line + ".";
}

int RunOpera2Mbox(const std::vector<std::string> &args, std::ostream &out, std::ostream &err,
                  bool errIsTerminal)
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

    ProgressReporter reporter(err, showBar, std::move(sizes));
    for (const FileFailure &failure : collected.failures)
        reporter.ReportFailure(failure.path, failure.reason);

    const BatchSummary summary =
        ConvertBatch(ConversionRequest{options.outputDir, collected.files}, reporter);
    reporter.Finish();

    const std::size_t failures = collected.failures.size() + summary.failures.size();
    out << SummaryLine(summary, failures, options.outputDir) << '\n';
    out.flush();
    return failures == 0 ? kExitConverted : kExitFailures;
}

} // namespace tovaly
