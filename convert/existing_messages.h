#pragma once
// Reruns that add nothing twice: the messages a mailbox holds before a run
// appends to it, as digests, so the record writer can leave out every
// message that is there already. The mailbox is taken as this program's own
// output: a torn last record, as a run killed while writing leaves it, is cut
// off before anything is appended.

#include "mailbox_record.h"
#include "message_digest.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

namespace tovaly {

/// A mailbox cut back to its last whole record.
struct MailboxCut {
    std::string mailboxPath;
    std::uint64_t from = 0; ///< its length before
    std::uint64_t to = 0;   ///< and after
};

/// The digests of a record about to be written: of its text as a reader of
/// the mailbox will see it, and of the first `prefixSize` bytes of that
/// text's normal form (see MessageHasher::WatchPrefix) when asked for and
/// the text is that long.
struct RecordDigests {
    MessageDigest full{};
    std::optional<MessageDigest> prefix;
};

/// `text` and `closing` as the record writer writes them after a From line.
RecordDigests DigestsOfRecordText(std::string_view text, std::string_view closing,
                                  std::optional<std::uint64_t> prefixSize = std::nullopt);

/// What Load does with a mailbox whose end is torn or in doubt.
enum class TornEnd {
    Cut,  ///< the output is this program's own: cut a torn or cut-short last record off
    Keep, ///< cut nothing: the record writer completes a torn end as a plain append does
};

/// The messages one mailbox held when the run first came to it.
///
/// Load() reads it and cuts off a torn last record. Check() then takes a
/// message off for every record about to be written that matches one (a
/// message held twice is left out twice, no more). Before the first record
/// that is not there is written, the last record of the mailbox gets one
/// more look: a run killed right after an empty line inside a message
/// leaves a record that reads as whole, with the start of that message as
/// its text. When the record about to be written begins with exactly that
/// text and no source has matched the last record so far, the last record
/// is that cut-short copy and is cut off first. A rerun with the arguments
/// of the interrupted run comes to that message first, since it converts in
/// the same order.
///
/// The mailbox is read and cut through the record writer's file calls,
/// under the locks the record writer takes (MailboxFile), so a record
/// another program is writing meanwhile is waited for, never cut; and
/// with an output folder, only a mailbox below it that no link leads to
/// is read or cut.
class ExistingMessages final : public RecordSkipper {
public:
    using CutHandler = std::function<void(const MailboxCut &)>;

    /// `onCut` hears of every cut made to the mailbox; with TornEnd::Keep
    /// none is made. The file calls go through `io` (the system's own when
    /// null); a location with a root is read only below it (see
    /// RecordFileIo::OpenMailbox).
    ExistingMessages(MailboxLocation location, CutHandler onCut, TornEnd tornEnd = TornEnd::Cut,
                     RecordFileIo *io = nullptr);
    ~ExistingMessages() override;

    /// Reads the mailbox (a missing one holds nothing) and cuts off a torn
    /// last record. False when the mailbox cannot be read, is not a regular
    /// file or cannot be cut; ErrorCode() and Error() tell why.
    bool Load();

    SkipVerdict Check(std::string_view text, std::string_view closing) override;

    /// Messages held and not yet matched.
    std::uint64_t Unmatched() const { return m_digests.Size(); }
    const std::error_code &ErrorCode() const { return m_errorCode; }
    const std::string &Error() const { return m_error; }
    /// What the user should hear of from reading it (a lock file that
    /// could not be made), taken once.
    std::vector<std::string> TakeWarnings() { return m_mailbox->TakeWarnings(); }

private:
    bool Scan(MailboxScan &scan);
    bool Cut(std::uint64_t from, std::uint64_t to);

    std::string m_path;
    CutHandler m_onCut;
    TornEnd m_tornEnd;
    std::unique_ptr<RecordFileIo> m_ownIo;
    RecordFileIo *m_io;
    std::unique_ptr<MailboxFile> m_mailbox;
    DigestCounts m_digests;
    // The last record, while it may still turn out to be a cut-short copy.
    bool m_lastInDoubt = false;
    MessageDigest m_lastDigest{};
    std::uint64_t m_lastSize = 0; // of its normal text
    std::uint64_t m_lastAt = 0;   // where it starts
    std::uint64_t m_length = 0;   // of the mailbox after Load
    std::error_code m_errorCode;
    std::string m_error;
};

/// The existing messages of every mailbox a run appends to, each read once,
/// when the run first comes to it.
class ExistingMailboxes {
public:
    /// Reads through `io` (the system's own when null), each mailbox only
    /// below the root of its location.
    explicit ExistingMailboxes(ExistingMessages::CutHandler onCut, TornEnd tornEnd = TornEnd::Cut,
                               RecordFileIo *io = nullptr)
        : m_onCut(std::move(onCut)), m_tornEnd(tornEnd), m_io(io)
    {
    }

    /// The messages of the mailbox at `location`, read on the first call for it. Null
    /// when it cannot be read (asked again on the next call), with the reason
    /// in `failure`. What reading it warned of goes to `warnings`.
    ExistingMessages *For(const MailboxLocation &location, RecordResult &failure,
                          std::vector<std::string> *warnings = nullptr);

private:
    ExistingMessages::CutHandler m_onCut;
    TornEnd m_tornEnd;
    RecordFileIo *m_io;
    std::unordered_map<std::string, std::unique_ptr<ExistingMessages>> m_mailboxes;
};

} // namespace tovaly
