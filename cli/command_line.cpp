#include "command_line.h"

#include "error_text.h"
#include "interrupt_signals.h"
#include "mbs_filter.h"
#include "path_logger.h"
#include "progress_reporter.h"
#include "utf8_path.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <ostream>
#include <system_error>

namespace tovaly {

namespace fs = std::filesystem;

namespace {

constexpr const char *kUsage =
    "usage: opera2mbox [-q] [--line-ends=lf|crlf] [--mailbox-per=folder|account|store [--mailbox-name=NAME]]\n"
    "                  [--skip-existing] [--verify] -o OUTPUT_DIR SOURCE...\n"
    "       opera2mbox -h | --help | --version\n";

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

// The arguments CLI11 left over are the sources; before the "--" that ends
// the options, one that starts with "-" (but "-" alone) is an unknown option.
std::vector<std::string> SourcesAmong(const std::vector<std::string> &remaining)
{
    std::vector<std::string> sources;
    std::vector<std::string> unknown;
    bool optionsEnded = false;
    for (const std::string &arg : remaining) {
        if (!optionsEnded && arg == "--")
            optionsEnded = true;
        else if (!optionsEnded && arg.size() > 1 && arg.starts_with('-'))
            unknown.push_back(arg);
        else
            sources.push_back(arg);
    }
    if (!unknown.empty())
        throw CLI::ExtrasError("opera2mbox", unknown);
    if (sources.empty())
        throw CLI::RequiredError("SOURCE");
    return sources;
}

// CLI11 takes the value of "--option=" from the next argument: an empty value
// is refused before it can take a source for the output folder.
void RefuseEmptyValues(const std::vector<std::string> &args)
{
    for (const std::string &arg : args) {
        if (arg == "--")
            return;
        if (arg.starts_with("--") && arg.ends_with('='))
            throw CLI::ValidationError(arg.substr(0, arg.size() - 1), "the value is empty");
    }
}

} // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string> &args)
{
    ParsedCommandLine parsed;
    CommandLine &options = parsed.options;
    CLI::App app("", "opera2mbox");
    app.set_help_flag("-h,--help");
    app.set_version_flag("--version", std::string(kVersion));
    // Sources are what is left over (see SourcesAmong): as the values of a
    // positional option CLI11 would split "[a,b]" into a list.
    app.allow_extras();
    // "/o" is a source on every system, as it always was: no Windows-style options.
    app.allow_windows_style_options(false);

    app.add_option("-o,--output", options.outputDir)->required()->check([](const std::string &value) {
        return value.empty() ? "the value is empty" : std::string();
    });
    app.add_flag("-q,--quiet", options.quiet);
    app.add_option_function<std::string>(
           "--line-ends",
           [&](const std::string &value) { options.lineEnds = value == "lf" ? LineEnds::Lf : LineEnds::CrLf; })
        ->check(CLI::IsMember({"lf", "crlf"}))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    CLI::Option *per =
        app.add_option_function<std::string>(
               "--mailbox-per", [&](const std::string &value) { options.layout.per = *ParseMailboxPer(value); })
            ->check(CLI::IsMember({"folder", "account", "store"}));
    CLI::Option *name = app.add_option("--mailbox-name", options.layout.storeName)
                            ->check([](const std::string &value) {
                                return IsPlainMailboxName(value) ? std::string() : "not a file name without a folder";
                            })
                            ->needs(per);
    app.add_flag("--skip-existing", options.skipExisting);
    app.add_flag("--verify", options.verify);

    try {
        RefuseEmptyValues(args);
        app.parse(std::vector<std::string>(args.rbegin(), args.rend())); // CLI11 takes them last first
        options.sources = SourcesAmong(app.remaining());
        if (name->count() > 0 && options.layout.per != MailboxPer::Store)
            throw CLI::ValidationError("--mailbox-name", "needs --mailbox-per=store");
    } catch (const CLI::CallForHelp &) {
        options.help = true;
    } catch (const CLI::CallForVersion &) {
        options.version = true;
    } catch (const CLI::ParseError &error) {
        parsed.error = error.what();
        return parsed;
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
    if (summary.interrupted)
        line += "; interrupted, " + Counted(summary.notConverted, "source file", "source files") + " not converted";
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
    reporter.SetStopCheck([] { return CaughtInterrupt() != 0; });
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
    if (summary.interrupted)
        return InterruptedExitStatus(CaughtInterrupt() != 0 ? CaughtInterrupt() : SIGINT);
    return failures == 0 && matched ? kExitConverted : kExitFailures;
}

} // namespace tovaly
