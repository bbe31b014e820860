#pragma once
// Every message accounted for: the records a run writes are noted as they
// go out (a 128-bit hash (XXH3) of each message as a mail reader will get it
// back, kept as a MessageDigest), and
// after the run each mailbox written to is read back with the project's own
// mbox reader and compared with what was written to it.

#include "mailbox_record.h"
#include "message_digest.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tovaly {

/// One way a mailbox did not read back as written.
struct VerificationMismatch {
    std::string mailboxPath;
    std::string problem; ///< in plain words, e.g. "a message of '/in/1.mbs' is not in it as written"
};

/// What reading back the mailboxes of a run found.
struct [[nodiscard]] VerificationReport {
    std::uint64_t messages = 0; ///< records written by the run and read back as written
    std::size_t mailboxes = 0;  ///< mailboxes read back
    std::vector<VerificationMismatch> mismatches;

    bool Matched() const { return mismatches.empty(); }
};

/// "20000 messages in 1460 mailboxes read back and matched", or when some
/// did not: "... read back; 2 mismatches".
std::string ReadBackSummary(const VerificationReport &report);

/// Notes the records of a run and reads them back afterwards.
///
/// Each mailbox is read from the length it had just before the run's first
/// record for it (after anything cut off for a rerun), so only what the run
/// wrote is read again: every record there must be one the run wrote, and
/// every record the run wrote must be there, as often as it was written,
/// with its text as a reader gets it back (compared by a 128-bit hash (XXH3) of
/// the text, of the same width as a message digest). Records of
/// a source that failed were taken back by the writer and are not expected.
class RunVerifier {
public:
    RunVerifier();
    ~RunVerifier();
    RunVerifier(const RunVerifier &) = delete;
    RunVerifier &operator=(const RunVerifier &) = delete;

    /// Before (each attempt at) writing source `sourceIndex` to
    /// `mailboxPath`: the skipper to give the record writer. It asks
    /// `inner` (which may be null) first and notes every record that is not
    /// left out. Valid until the next Watch.
    RecordSkipper *Watch(std::size_t sourceIndex, const std::string &mailboxPath, RecordSkipper *inner);

    /// After the source last watched: its records are expected only when
    /// it went in whole.
    void SourceDone(bool ok);

    /// Reads back every mailbox the run wrote a record to, in the order
    /// they were first written, through `io` (without blocking on whatever
    /// was put in a mailbox's place, and only from a plain file). `sources`
    /// names the sources in mismatches; `yield` is called between pieces of
    /// the reading.
    VerificationReport Verify(const std::vector<std::string> &sources, RecordFileIo &io,
                              const std::function<void()> &yield) const;

private:
    struct Written {
        MessageDigest digest{};
        std::size_t source = 0;
    };
    struct Mailbox {
        std::string path;
        bool started = false;   // a record of the run went to it
        std::uint64_t from = 0; // its length just before the run's first record
        std::vector<Written> records;
    };
    class Watcher;

    void Noted(std::string_view text, std::string_view closing);
    void CheckMailbox(const Mailbox &mailbox, const std::vector<std::string> &sources, RecordFileIo &io,
                      const std::function<void()> &yield, VerificationReport &report) const;

    std::vector<Mailbox> m_mailboxes;
    std::unordered_map<std::string, std::size_t> m_index; // mailbox path to m_mailboxes
    std::size_t m_current = 0;                            // the mailbox of the watched source
    std::size_t m_source = 0;
    std::vector<Written> m_pending; // records of the watched source
    std::unique_ptr<Watcher> m_watcher;
};

} // namespace tovaly
