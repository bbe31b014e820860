#pragma once
// The date a Date: or Received: value names: read by hand in the forms
// mailers write, by GMime as the last resort. Internal to the conversion
// core.

#include "date_words.h"

#include <optional>
#include <string_view>

namespace tovaly::detail {

// "[Www, ]d Mmm yyyy h:mm[:ss] [zone][ (comment)]" with a year of four,
// three or two digits (read as RFC 5322 reads them) and a zone "+hhmm",
// "-hhmm", a name GMime knows (GMT, UT, UTC, Z, EST, EDT, CST, CDT, MST,
// MDT, PST, PDT) or none (UTC): the form nearly every mailer writes, read
// without a date or time zone object per message. Where GMime reads the
// same text (a four-digit year from 1969 on) it gives the same instant.
// Nothing for any other form.
std::optional<DateRead> HandHeaderDate(std::string_view value);

// The date GMime reads in `value`. Its year is GMime's guess (which makes
// 50 to 69 into 2050 to 2069), so it is marked as read from an obsolete
// form: believed only from 1970 to next year.
std::optional<DateRead> GMimeHeaderDate(std::string_view value);

// HandHeaderDate, else GMimeHeaderDate; nothing for a value longer than
// kMaxFieldBytes, which no date is.
std::optional<DateRead> HeaderDate(std::string_view value);

// The date after the last ";" of a Received value.
std::optional<DateRead> ReceivedDate(std::string_view received);

} // namespace tovaly::detail
