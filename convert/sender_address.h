#pragma once
// The sender address a From:, Sender: or Return-Path: value names: read by
// hand in the plain forms, by GMime as the last resort. Internal to the
// conversion core.

#include <optional>
#include <string>
#include <string_view>

namespace tovaly::detail {

// The bare address of the first mailbox in a header value, fit for a From
// line (no white space or control characters); empty when there is none or
// it is longer than an address can be (320 bytes). PlainSenderAddress,
// else GMimeSenderAddress.
std::string SenderAddress(std::string_view value);

// The plain forms "addr@host", "addr@host (comment)" and "Name <addr@host>"
// (a name of words or quoted strings), read by hand: the same address GMime
// gives. Nothing for any other form.
std::optional<std::string> PlainSenderAddress(std::string_view value);

// The first mailbox as GMime reads it; for text it cannot read, the part in
// angle brackets, else the first word holding an "@"; without white space
// or control characters. Of a value longer than kMaxFieldBytes only the
// mailboxes that end within the first kMaxFieldBytes are read.
std::string GMimeSenderAddress(std::string_view value);

} // namespace tovaly::detail
