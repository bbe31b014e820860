#pragma once
// The opera2mbox command: argument parsing, collecting the sources and
// running the conversion. Kept apart from main() so tests run it in-process.

#include "batch_conversion.h"
#include "path_logger.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace tovaly {

inline constexpr int kExitConverted = 0; ///< every source converted
inline constexpr int kExitFailures = 1;  ///< some sources or folders failed, or --verify found a mismatch
inline constexpr int kExitUsage = 2;     ///< bad arguments; nothing converted

/// The options of one invocation.
struct CommandLine {
    std::string outputDir;
    std::vector<std::string> sources;
    LineEnds lineEnds = kNativeLineEnds;
    bool quiet = false;
    bool help = false;
    bool version = false;
    MailboxLayout layout;      ///< --mailbox-per, --mailbox-name
    bool skipExisting = false; ///< --skip-existing
    bool verify = false;       ///< --verify
};

/// The outcome of parsing: the options, or an error message (without the
/// program name) when `ok` is false.
struct [[nodiscard]] ParsedCommandLine {
    bool ok = false;
    CommandLine options;
    std::string error;
};

/// Parses the arguments after the program name with CLI11: -o DIR (also
/// -oDIR, --output DIR, --output=DIR, bundled as -qo DIR), -q, --quiet,
/// --line-ends=lf|crlf (the last one given counts),
/// --mailbox-per=folder|account|store, --mailbox-name=NAME (only with
/// --mailbox-per=store), --skip-existing, and SOURCEs before, between or
/// after the options; "--" ends the options. --help and --version need
/// nothing else. The error, in CLI11's words, tells of an unknown option, a
/// missing -o or SOURCE, an option given twice, an empty or refused value.
ParsedCommandLine ParseCommandLine(const std::vector<std::string> &args);

/// The message files to convert, in order: a file source as it is, a folder
/// source as its walk gives the files whose names end in ".mbs" (any case).
struct [[nodiscard]] CollectedSources {
    std::vector<std::string> files;
    /// Folders that could not be listed, then the entries of the walk that
    /// cannot be converted (MbsFolderScan::skippedEntries), per source.
    std::vector<FileFailure> failures;
    /// The folder source each file was found under (empty for a file given
    /// as a source itself), as runs over `files`.
    std::vector<TopFolder> topFolders;
};

/// Collects `sources`, which should exist (ParseCommandLine does not
/// check), through `fileSystem` (the real one when null).
CollectedSources CollectSources(const std::vector<std::string> &sources,
                                std::shared_ptr<FileSystemService> fileSystem = nullptr);

/// The one-line result, e.g. "Converted 3 messages from 2 source files into
/// 1 mailbox under out; 1 failed.", with "; N already present" before the
/// failures when the run skipped existing messages.
[[nodiscard]] std::string SummaryLine(const BatchSummary &summary, std::size_t failures, const std::string &outputDir);

/// Runs opera2mbox with `args` (without the program name). The summary goes
/// to `out`; usage errors, failures and the progress bar (only when
/// `errIsTerminal` and not quiet) go to `err`, whose width `errColumns`
/// tells (80 when not given or 0). Returns the exit status.
int RunOpera2Mbox(const std::vector<std::string> &args, std::ostream &out, std::ostream &err, bool errIsTerminal,
                  std::function<std::size_t()> errColumns = {});

} // namespace tovaly
