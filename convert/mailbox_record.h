#pragma once
// Appends the messages of one source file to a mailbox file as mbox records:
// "From <sender> <date>" CR LF, the message text with CR LF line ends, and
// an empty line. Body lines matching ^>*From  get one more ">" (mboxrd).

#include <cstdint>
#include <string>

namespace tovaly {

/// Receives the progress of one source file and the points where a window
/// may process its events. Both calls happen on the caller's thread.
class RecordObserver {
public:
    virtual ~RecordObserver() = default;
    /// A point where the caller may let its window handle pending events.
    /// Never called while a mailbox file is open.
    virtual void Yield() {}
    /// Called after every line read. `bytesSoFar` counts the lines read so
    /// far as written, each with a CR LF; `totalBytes` is the source size;
    /// `percent` is bytesSoFar / totalBytes * 100 rounded half to even and
    /// capped at 100 (it keeps its last value when totalBytes is 0).
    virtual void LineRead(std::uint64_t bytesSoFar, std::uint64_t totalBytes, int percent)
    {
        (void)bytesSoFar;
        (void)totalBytes;
        (void)percent;
    }
};

struct [[nodiscard]] RecordResult {
    bool ok = false;        ///< every message of the source was appended
    int messages = 0;       ///< records appended to the mailbox
    std::uint64_t bytesRead = 0; ///< size of the source read
    int errorCode = 0;      ///< errno of the failure, 0 when ok
    std::string error;      ///< the failure in plain words, empty when ok
};

/// Percentage of `n` in `m`, rounded half to even and capped at 100.
int ProgressPercent(std::uint64_t n, std::uint64_t m);

/// Appends one record per message held in `sourcePath` to `mailboxPath`
/// (created when missing). Either every record of the source is appended or
/// none is: on any failure the mailbox is cut back to its previous length.
RecordResult AppendMailboxRecord(const std::string &sourcePath, const std::string &mailboxPath,
                                 RecordObserver *observer = nullptr);

} // namespace tovaly
