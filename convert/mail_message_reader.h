#pragma once
// Reads the sender and the date of one message from its header. Backed by
// GMime; no GMime or glib type appears here, so Qt code may include this.

#include "envelope_line.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tovaly {

/// Days since 30 Dec 1899 00:00 (the Automation date form) for a Unix time.
double AutomationDateFromUnixTime(std::int64_t unixTime);

/// The instant a Date: (or Received:) value names, as GMime reads it, but
/// with years as RFC 5322 reads them (two digits: 1950 to 2049, three digits:
/// 1900 and the number, where GMime makes 50 to 69 into 2050 to 2069); dates
/// GMime turns down (years before 1969, three-digit years) are read by hand.
/// Nothing when it cannot be read or is longer than any date (16 KB).
std::optional<std::int64_t> GMimeHeaderDate(const std::string &value);

/// The same for the usual form "[Www, ]d Mmm yyyy h:mm[:ss] zone" (a year
/// of four, three or two digits, a zone "+hhmm", "-hhmm", "GMT" or "UT"),
/// read without GMime (and without a date or time zone object per message);
/// the same instant GMimeHeaderDate gives. Nothing for any other form, which
/// the reader then hands to GMime.
std::optional<std::int64_t> PlainHeaderDate(std::string_view value);

/// The bare address of the first mailbox of a From:, Sender: or
/// Return-Path: value as GMime reads it (for text it cannot read: the part
/// in angle brackets, else the first word holding an "@"), without white
/// space or control characters. Empty when there is none. Of a value longer
/// than 16 KB GMime sees only the mailboxes that end within the first 16 KB.
std::string GMimeSenderAddress(const std::string &value);

/// The same for the plain forms "addr@host", "addr@host (comment)" and
/// "Name <addr@host>" (a name of words or quoted strings), read without
/// GMime; the same address GMime gives. Nothing for any other form.
std::optional<std::string> PlainSenderAddress(std::string_view value);

/// Reads one message's header. GMime is set up once, on the first use from
/// any thread; a reader, like every GMime object it makes, belongs to the
/// thread that uses it. When memory is too short for GMime (whose allocation
/// failures would end the process), the loads and the GMime functions above
/// throw std::bad_alloc instead.
class MailMessageReader {
public:
    MailMessageReader();
    ~MailMessageReader();
    MailMessageReader(const MailMessageReader &) = delete;
    MailMessageReader &operator=(const MailMessageReader &) = delete;

    /// Loads the message file at `path` (which may start with an envelope
    /// line). False when the file cannot be read; the properties then give
    /// their last-resort values.
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

    /// The same date as a Unix time; -2209161600 (30 Dec 1899) when nothing
    /// at all is known.
    std::int64_t MessageUnixTime() const;

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
