#pragma once
// One conversion of a list of source files into mailboxes under an output
// root: the request both front ends (window and command line) build, and the
// loop that carries it out.

#include "mailbox_record.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovaly {

/// What to convert and where to.
struct ConversionRequest {
    std::string outputRoot;           ///< folder the mirror tree goes under
    std::vector<std::string> sources; ///< message files, converted in this order
};

/// A source file that could not be converted.
struct FileFailure {
    std::string path;   ///< the source path as given in the request
    int errorCode = 0;  ///< errno of the failure, 0 when there is none
    std::string reason; ///< plain words, e.g. "cannot create folder '/out/a/': ..."
};

/// What a batch did.
struct [[nodiscard]] BatchSummary {
    std::uint64_t messages = 0;    ///< records appended in total
    std::size_t sourceFiles = 0;   ///< sources converted in full
    std::size_t mailboxes = 0;     ///< distinct mailbox files written to
    std::uint64_t bytesRead = 0;   ///< bytes of the sources read
    std::vector<FileFailure> failures; ///< in request order
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
    virtual void FileDone(std::size_t index, std::size_t total, const std::string &path,
                          const RecordResult &result)
    {
        (void)index;
        (void)total;
        (void)path;
        (void)result;
    }
};

/// How far a batch reads ahead of what it writes (see ConvertBatch).
struct BatchTuning {
    /// Sources larger than this are not read ahead: the writing thread
    /// converts them itself while it reads them, so a store file of hundreds
    /// of megabytes never sits in memory whole.
    std::uint64_t readAheadLimit = std::uint64_t{8} << 20;
    /// Bound on the memory held for sources read ahead and not yet written:
    /// a source is charged what reading it takes (a little over twice its
    /// size), then what its records hold. One source is always let through,
    /// whatever its charge.
    std::uint64_t readAheadBytes = std::uint64_t{8} << 20;
    /// False: one source at a time even when the observer does not follow
    /// lines, so the two ways can be measured against each other.
    bool readAhead = true;
};

/// Converts every source of `request` in order: the source's absolute path
/// (relative ones are taken against the working folder) is mapped to its
/// mirror folder and mailbox under the output root, the folder is created
/// (a failure fails that source with "cannot create folder ..."), and the
/// source's messages are appended to the mailbox. A failing source never
/// stops the batch. A mirror folder is made once for a run of sources that
/// share it, and made again if it vanishes in between.
///
/// When the observer follows lines, one source is read and written at a
/// time and no mailbox is open while the observer yields. When it does not
/// (a command line without a progress bar), a second thread reads the next
/// sources, builds their records and makes their mirror folders while the
/// calling thread writes, and a mailbox stays open for a run of sources that
/// go to it, across the yields;
/// it is closed when the run ends, and a failed close fails the source that
/// ended the run (its records are cut off again). Both ways give the same
/// mailbox bytes and the same summary; every observer call is made on the
/// calling thread, FileStarted and FileDone in the same order either way.
BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer);

/// The same with the read-ahead bounds of `tuning`, making the file calls
/// through `io`. With read-ahead, `io.Read` is called on the second thread
/// while the other calls are made on the calling thread.
BatchSummary ConvertBatch(const ConversionRequest &request, BatchObserver &observer, const BatchTuning &tuning,
                          RecordFileIo &io);

} // namespace tovaly
