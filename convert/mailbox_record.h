#pragma once
// Appends the messages of one source file to a mailbox file as mbox records:
// "From <sender> <date>", the message text and an empty line, every line
// ended alike (LF, or CR LF). Body lines matching ^>*From  get one more ">"
// (mboxrd).

#include "line_end.h"
#include "mailbox_file.h"
#include "message_splitter.h"
#include "record_file_io.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace tovaly {

/// Receives the progress of one source file and the points where a window
/// may process its events. Both calls happen on the caller's thread.
class RecordObserver {
public:
    virtual ~RecordObserver() = default;
    /// A point where the caller may let its window handle pending events.
    /// Never called while a mailbox file is open.
    virtual void Yield() {}
    /// False when Yield does nothing (no window to serve): the writer then
    /// never calls it, and keeps a mailbox open and locked across the
    /// records (and, in a batch, the sources) bound for it one after
    /// another, letting go of it at least every RecordFileIo::HoldLimit so that a
    /// mail program waiting for it gets its turn.
    virtual bool Yields() const { return true; }
    /// Called after every line read. `bytesSoFar` counts the lines read so
    /// far, each with two bytes for its line end, whatever the mailbox is
    /// written with, so it can outgrow `totalBytes`, the source size (0 when
    /// the system gives none). Each display turns them into its own figures.
    virtual void LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes)
    {
        (void)bytesSoFar;
        (void)totalBytes;
    }
    /// False when the observer has no use for LineRead and the yields after
    /// each line: the writer then skips them, which a batch without a
    /// display notices in its speed. Asked once per source.
    virtual bool FollowsLines() const { return true; }
    /// True once the user asked the run to stop (Ctrl-C, say): the writer
    /// then takes back the records of the source it is writing and fails it
    /// with ECANCELED, and gives up waiting for a mailbox lock. Asked
    /// between records and between reads.
    virtual bool StopRequested() const { return false; }
};

struct [[nodiscard]] RecordResult {
    bool ok = false;             ///< every message of the source was appended
    int messages = 0;            ///< records appended to the mailbox
    int skipped = 0;             ///< records left out as already there (see RecordSkipper)
    std::uint64_t bytesRead = 0; ///< size of the source read
    int errorCode = 0;           ///< errno of the failure, 0 when ok
    std::string error;           ///< the failure in plain words, empty when ok
    /// What the writer did besides appending that the user should hear of,
    /// in plain words (a torn mailbox completed, say); kept only when ok.
    std::vector<std::string> warnings;
};

/// What a RecordSkipper makes of a record.
struct [[nodiscard]] SkipVerdict {
    bool skip = false;         ///< leave the record out
    std::error_code errorCode; ///< set: fail the source with `error`
    std::string error;
};

/// Tells the record writer which records the mailbox holds already.
class RecordSkipper {
public:
    virtual ~RecordSkipper() = default;
    /// Before the record of a message is written: `text` is the message as
    /// it will be written (line ends rewritten, From lines quoted) and
    /// `closing` the line end(s) written after it. Never called while the
    /// mailbox is open.
    virtual SkipVerdict Check(std::string_view text, std::string_view closing) = 0;
};

/// How a mailbox ends, seen from its last bytes.
enum class TailState {
    Whole,            ///< empty, or a line end and an empty line after the last record
    MissingLineEnd,   ///< the last line has no line end
    MissingEmptyLine, ///< the last line is ended, but no empty line follows
};

struct MailboxTail {
    TailState state = TailState::Whole;
    std::uint64_t offset = 0; ///< where the missing bytes go: the mailbox length
};

/// Looks at the last bytes of a mailbox of `length` bytes (up to four are
/// enough; `lastBytes` holds its final min(length, n) bytes). Either line-end
/// form counts.
MailboxTail CheckMailboxTail(std::string_view lastBytes, std::uint64_t length);

/// What to write after `lastBytes` so the next record starts on its own
/// line after an empty one (empty when the tail is whole). A CR that ends
/// the file is taken as half a CR LF when `lineEnds` is CR LF.
std::string TailCompletion(const MailboxTail &tail, std::string_view lastBytes, LineEnds lineEnds);

/// Appends one record per message held in `sourcePath` to `mailboxPath`
/// (created when missing): the From line, the message text with every line
/// end written as `lineEnds`, and one empty line; a last line the source
/// left without a line end gets one. Either every record of the source is
/// appended or none is: on any failure the mailbox is cut back to its
/// previous length. An empty source holds no message and fails with "the
/// file is empty". The observer, when given, sees every line read and every
/// point where the caller's window may handle its events; none of them
/// while the mailbox is open. Never throws.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer = nullptr, LineEnds lineEnds = kNativeLineEnds);

/// The same, making its system calls through `io`. With a `skipper`, the
/// records it says the mailbox holds are left out (and counted as skipped).
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer, RecordFileIo &io, LineEnds lineEnds = kNativeLineEnds,
                                 RecordSkipper *skipper = nullptr);

/// The same into the mailbox at `location`: with a root, it is written only
/// when no symbolic link below that folder leads to it.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const MailboxLocation &location,
                                 RecordObserver *observer, RecordFileIo &io, LineEnds lineEnds = kNativeLineEnds,
                                 RecordSkipper *skipper = nullptr);

/// The same into `mailbox`, which the caller keeps for the next source
/// bound for it: when the observer does not yield, the mailbox may be left
/// open (and locked) at the end, for the caller to close.
RecordResult AppendMailboxRecord(const std::string &sourcePath, MailboxFile &mailbox, RecordObserver *observer,
                                 LineEnds lineEnds = kNativeLineEnds, RecordSkipper *skipper = nullptr);

} // namespace tovaly
