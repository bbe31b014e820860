#pragma once
// One conversion of a list of source files into mailboxes under an output
// root: the request both front ends (window and command line) build, and the
// loop that carries it out.

#include "existing_messages.h"
#include "mailbox_record.h"
#include "output_layout.h"
#include "verification.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tovaly {

/// The folder a run of sources was found under: sources from index
/// `firstSource` on (up to the next TopFolder's) came from `folder`, a
/// folder given to the run. An empty folder stands for files given on their
/// own, whose top folder is their own folder.
struct TopFolder {
    std::size_t firstSource = 0;
    std::string folder;
};

/// What to convert and where to.
struct ConversionRequest {
    std::string outputRoot;              ///< folder the mailboxes go under
    std::vector<std::string> sources;    ///< message files, converted in this order
    LineEnds lineEnds = kNativeLineEnds; ///< how the mailboxes' lines end
    MailboxLayout layout = {};           ///< how messages are gathered into mailboxes
    /// Where the sources were found, by ascending firstSource; only the
    /// account layout asks. Sources before the first entry count as given
    /// on their own.
    std::vector<TopFolder> topFolders = {};
    /// Leave out every message a mailbox holds already (see
    /// ExistingMessages), cutting a torn last record off first.
    bool skipExisting = false;
    /// With skipExisting: cut nothing; a torn end is completed as a plain
    /// append completes it.
    TornEnd tornEnd = TornEnd::Cut;
    /// Read every mailbox written to back after the run and compare it with
    /// what was written (see RunVerifier).
    bool verify = false;
};

/// A source file that could not be converted.
struct FileFailure {
    std::string path;   ///< the source path as given in the request
    int errorCode = 0;  ///< errno of the failure, 0 when there is none
    std::string reason; ///< plain words, e.g. "cannot create folder '/out/a/': ..."
};

/// What a batch did.
struct [[nodiscard]] BatchSummary {
    std::uint64_t messages = 0;        ///< records appended in total
    std::size_t sourceFiles = 0;       ///< sources converted in full
    std::size_t mailboxes = 0;         ///< distinct mailbox files written to
    std::uint64_t bytesRead = 0;       ///< bytes of the sources read
    bool skipExisting = false;         ///< the request asked to leave out what is there
    std::uint64_t alreadyPresent = 0;  ///< messages left out as already there
    std::vector<FileFailure> failures; ///< in request order
    /// What was done besides appending that the user should hear of (a torn
    /// mailbox completed), in plain words, in the order it happened.
    std::vector<std::string> warnings;
    /// The observer asked to stop (StopRequested): the source being
    /// converted then was taken back, and it and those after it were not
    /// converted (nor counted as failed).
    bool interrupted = false;
    std::size_t notConverted = 0; ///< sources left when the run stopped
    /// What reading the mailboxes back found, when the request asked.
    std::optional<VerificationReport> verification;
};

/// Hears the progress of a batch. Inherits the per-line progress and the
/// yield points of one source file from RecordObserver.
class BatchObserver : public RecordObserver {
public:
    /// Before source `index` (0-based) of `total` is converted.
    virtual void FileStarted(std::size_t index, std::size_t total, const std::string &path)
    {
        (void)index;
        (void)total;
        (void)path;
    }
    /// After source `index` of `total`, with its result.
    virtual void FileDone(std::size_t index, std::size_t total, const std::string &path, const RecordResult &result)
    {
        (void)index;
        (void)total;
        (void)path;
        (void)result;
    }
    /// A mailbox was cut back to its last whole record before anything was
    /// appended to it (only when the request skips existing messages).
    virtual void MailboxCutBack(const std::string &mailboxPath, std::uint64_t from, std::uint64_t to)
    {
        (void)mailboxPath;
        (void)from;
        (void)to;
    }
    /// Something the user should hear of that belongs to no one source (a
    /// mailbox kept open across sources that failed to close); it goes to
    /// BatchSummary::warnings too.
    virtual void BatchWarning(const std::string &text) { (void)text; }
};

/// Converts every source of `request` in order: the source's absolute path
/// (relative ones are taken against the working folder) is mapped to its
/// mirror folder and mailbox under the output root by the request's layout
/// (see MailboxPathFor), the folder is created
/// (a failure fails that source with "cannot create folder ..."), and the
/// source's messages are appended to the mailbox. Below the output root no
/// symbolic link is followed, neither to a folder nor to a mailbox: a source
/// whose mailbox lies behind one fails. A failing source never
/// stops the batch. A mirror folder is made once for a run of sources that
/// share it, and made again if it vanishes in between.
///
/// One source is converted at a time, and no mailbox is open while the
/// observer yields. An observer that never yields has the next few sources
/// read ahead meanwhile (see PrefetchingFileIo). When the observer asks to
/// stop, the source being converted is taken back and the run ends there
/// (BatchSummary::interrupted).
/// With `verify`, the mailboxes are read back at the end, with yields between
/// pieces of the reading.
BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer);

/// The same, making the file calls through `io`.
BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer, RecordFileIo &io);

} // namespace tovaly
