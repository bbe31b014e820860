#pragma once
// Reads the sender and the date of one message from its header block: each
// value by hand (header_date, sender_address), GMime as the last resort. No
// GMime or glib type appears here, so Qt code may include this.

#include "envelope_line.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tovaly {

/// The Unix time of an Automation date (a MessageDate), to the second.
std::int64_t UnixTimeFromAutomationDate(double automationDate);

/// Reads one message's header. GMime is set up once, on the first use from
/// any thread; a reader, like every GMime object it makes, belongs to the
/// thread that uses it. When memory is too short for GMime (whose allocation
/// failures would end the process), the loads throw std::bad_alloc instead.
class MailMessageReader {
public:
    MailMessageReader();
    ~MailMessageReader();
    MailMessageReader(const MailMessageReader &) = delete;
    MailMessageReader &operator=(const MailMessageReader &) = delete;

    /// Loads the message file at `path` (which may start with an envelope
    /// line): reads its header block and goes on as LoadMessageBytes, with
    /// the file's modification time. False when the file cannot be read;
    /// the properties then give their last-resort values.
    bool LoadMessageFile(const std::string &path);

    /// Loads a message already in memory. `message` is the message text
    /// without any envelope line; `envelope` and `fileTime` (Unix time,
    /// usually the source file's modification time) are the fallbacks for
    /// the sender and the date. Only the header block is parsed. False when
    /// it holds no header field at all (the fallbacks then decide).
    bool LoadMessageBytes(std::string_view message, const EnvelopeInfo &envelope = {},
                          std::optional<std::int64_t> fileTime = std::nullopt);

    /// The message date in UTC as an Automation date: the Date: header, else
    /// the newest Received: date, else the envelope date, else the file time,
    /// else 0. A date whose year is written with fewer than four digits counts
    /// only from 1970 to next year, and a field longer than 16 KB not at all.
    double MessageDate() const;

    /// The bare sender address, never empty and without white space: From:,
    /// else Sender:, else Return-Path:, else the envelope sender, else
    /// "MAILER-DAEMON". An address longer than 320 bytes (more than an
    /// address can hold) counts as none.
    std::string MessageSender() const;

private:
    std::int64_t m_unixTime = -2209161600; // Automation day 0
    std::string m_sender;
};

} // namespace tovaly
