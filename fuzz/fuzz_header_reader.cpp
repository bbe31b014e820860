// The header reader on arbitrary bytes: whatever a source holds, reading its
// envelope line and header gives a sender fit for a From line and a date
// the envelope date formatter can write, and the hand readers agree with
// GMime wherever both answer.
#include "fuzz_report.h"
#include "header_date.h"
#include "mail_message_reader.h"
#include "sender_address.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

bool FitsAFromLine(const std::string &sender)
{
    if (sender.empty() || sender.size() > 320)
        return false;
    for (char c : sender) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using tovaly::fuzz::Require;
    const std::string_view input(reinterpret_cast<const char *>(data), size);

    // As a source is read: an envelope line, then the message.
    tovaly::EnvelopeInfo envelope;
    std::string_view message = input;
    const auto lineEnd = input.find_first_of("\r\n");
    const std::string_view firstLine = input.substr(0, lineEnd);
    if (const auto parsed = tovaly::ParseEnvelopeLine(firstLine)) {
        envelope = *parsed;
        message = lineEnd == std::string_view::npos ? std::string_view() : input.substr(lineEnd + 1);
    }
    (void)tovaly::IsWellFormedEnvelopeLine(firstLine);

    tovaly::MailMessageReader reader;
    (void)reader.LoadMessageBytes(message, envelope, 1600000000);
    const std::string sender = reader.MessageSender();
    Require(FitsAFromLine(sender), "a sender fit for a From line", {{"input", input}, {"sender", sender}});
    const std::string date = tovaly::FormatEnvelopeDate(tovaly::UnixTimeFromAutomationDate(reader.MessageDate()));
    Require(date.size() == 24, "an envelope date of 24 characters", {{"input", input}, {"date", date}});

    // The whole input as one header value.
    const std::string value(input);
    const auto handDate = tovaly::detail::HandHeaderDate(value);
    if (handDate && !handDate->obsoleteYear && handDate->year >= 1969) { // GMime's years
        const auto gmimeDate = tovaly::detail::GMimeHeaderDate(value);
        Require(gmimeDate && gmimeDate->unixTime == handDate->unixTime, "the hand-read date is GMime's",
                {{"value", value},
                 {"hand", std::to_string(handDate->unixTime)},
                 {"GMime", gmimeDate ? std::to_string(gmimeDate->unixTime) : "none"}});
    }
    const auto quickAddress = tovaly::detail::PlainSenderAddress(value);
    const std::string gmimeAddress = tovaly::detail::GMimeSenderAddress(value);
    if (quickAddress) {
        Require(gmimeAddress == *quickAddress, "the quick address is GMime's",
                {{"value", value}, {"quick", *quickAddress}, {"GMime", gmimeAddress}});
    }
    return 0;
}
