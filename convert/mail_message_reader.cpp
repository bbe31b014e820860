#include "mail_message_reader.h"

#include "header_block.h"
#include "header_date.h"
#include "sender_address.h"
#include "utf8_path.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace tovaly {

using namespace detail;

namespace {

// 30 Dec 1899 00:00 UTC, day 0 of the Automation date form.
constexpr std::int64_t kAutomationEpochUnix = -2209161600;
constexpr std::int64_t kSecondsPerDay = 86400;

std::optional<std::int64_t> FileModificationTime(const std::string &path)
{
    namespace fs = std::filesystem;
    try {
        std::error_code ec;
        const auto written = fs::last_write_time(PathFromUtf8(path), ec);
        if (ec)
            return std::nullopt;
        const auto system = std::chrono::file_clock::to_sys(written);
        return std::chrono::duration_cast<std::chrono::seconds>(system.time_since_epoch()).count();
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

std::int64_t UnixTimeFromAutomationDate(double automationDate)
{
    return std::llround(automationDate * static_cast<double>(kSecondsPerDay)) + kAutomationEpochUnix;
}

MailMessageReader::MailMessageReader() = default;
MailMessageReader::~MailMessageReader() = default;

bool MailMessageReader::LoadMessageFile(const std::string &path)
{
    const std::optional<std::int64_t> fileTime = FileModificationTime(path);

    std::FILE *file = OpenUtf8File(path, "rb");
    if (!file) {
        (void)LoadMessageBytes({}, {}, fileTime);
        return false;
    }
    // Only the header block is needed: read until it is complete.
    constexpr std::size_t kMaxHeader = 4 * 1024 * 1024;
    std::size_t chunk = 8 * 1024;
    std::string data;
    bool readError = false;
    while (data.size() < kMaxHeader) {
        const std::size_t old = data.size();
        data.resize(old + chunk);
        const std::size_t got = std::fread(data.data() + old, 1, chunk, file);
        data.resize(old + got);
        if (got < chunk) {
            readError = std::ferror(file) != 0;
            break;
        }
        if (HeaderBlockRead(data))
            break;
        chunk = 64 * 1024;
    }
    std::fclose(file);

    std::optional<std::string_view> envelopeLine;
    bool complete = false;
    const std::string_view message = SplitEnvelope(WithoutBom(data), envelopeLine, complete);
    EnvelopeInfo envelope;
    if (envelopeLine) {
        if (auto parsed = ParseEnvelopeLine(*envelopeLine))
            envelope = std::move(*parsed);
    }
    (void)LoadMessageBytes(message, envelope, fileTime);
    return !readError;
}

bool MailMessageReader::LoadMessageBytes(std::string_view message, const EnvelopeInfo &envelope,
                                         std::optional<std::int64_t> fileTime)
{
    const HeaderFields fields = ParseHeaderBlock(message);

    std::optional<std::int64_t> date;
    const auto take = [&date](const std::optional<DateRead> &read) {
        if (read && Believable(*read))
            date = read->unixTime;
    };
    if (fields.date)
        take(HeaderDate(*fields.date));
    if (!date && fields.received)
        take(ReceivedDate(*fields.received));
    if (!date)
        date = envelope.unixTime;
    if (!date)
        date = fileTime;
    m_unixTime = date.value_or(kAutomationEpochUnix);

    m_sender.clear();
    for (const auto *value : {&fields.from, &fields.sender, &fields.returnPath}) {
        if (value->has_value()) {
            m_sender = SenderAddress(**value);
            if (!m_sender.empty())
                break;
        }
    }
    if (m_sender.empty())
        m_sender = SenderAddress(envelope.sender);
    if (m_sender.empty())
        m_sender = "MAILER-DAEMON";
    return fields.anyField;
}

double MailMessageReader::MessageDate() const
{
    return static_cast<double>(m_unixTime - kAutomationEpochUnix) / static_cast<double>(kSecondsPerDay);
}

std::string MailMessageReader::MessageSender() const
{
    return m_sender.empty() ? std::string("MAILER-DAEMON") : m_sender;
}

} // namespace tovaly
