#include "envelope_line.h"
#include "mail_message_reader.h"
#include "memory_budget.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace tovaly;
using tovaly::test_support::kReaderBudget;
using tovaly::test_support::Repeated;
using tovaly::test_support::RunWithinMemoryBudget;

namespace {

constexpr std::int64_t kDec30_1899 = -2209161600;
constexpr std::int64_t kMar5_090703 = 1709629623; // Tue 5 Mar 2024 09:07:03 UTC
constexpr std::int64_t kDay = 86400;

std::int64_t UtcTime(int year, int month, int day, int hour, int minute, int second)
{
    using namespace std::chrono;
    const sys_days date{year_month_day{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                       std::chrono::day(static_cast<unsigned>(day))}};
    return (date + hours(hour) + minutes(minute) + seconds(second)).time_since_epoch().count();
}

// --- the date of a From line ------------------------------------------------

TEST(EnvelopeDateTest, FormatsInEnglishWithZeroPaddedDay)
{
    const std::vector<std::pair<std::int64_t, const char *>> cases = {
        {kMar5_090703, "Tue Mar 05 09:07:03 2024"},
        {1704067199, "Sun Dec 31 23:59:59 2023"},
        {1704067200, "Mon Jan 01 00:00:00 2024"},
        {951782400, "Tue Feb 29 00:00:00 2000"},
        {0, "Thu Jan 01 00:00:00 1970"},
        // Before 1970 and before 1900, on the same calendar.
        {-14182940, "Sun Jul 20 20:17:40 1969"},
        {kDec30_1899, "Sat Dec 30 00:00:00 1899"},
        {kDec30_1899 + kDay / 2, "Sat Dec 30 12:00:00 1899"},
        {kDec30_1899 - kDay, "Fri Dec 29 00:00:00 1899"},
        {kDec30_1899 - kDay - 3 * kDay / 4, "Thu Dec 28 06:00:00 1899"},
        {kDec30_1899 - 36522 * kDay, "Wed Jan 01 00:00:00 1800"},
        // The ends of the four-digit years hold whatever lies beyond.
        {UtcTime(9999, 12, 31, 23, 59, 59), "Fri Dec 31 23:59:59 9999"},
        {std::numeric_limits<std::int64_t>::max(), "Fri Dec 31 23:59:59 9999"},
        {std::numeric_limits<std::int64_t>::min(), "Fri Jan 01 00:00:00 0100"},
    };
    for (const auto &[unixTime, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(FormatEnvelopeDate(unixTime), text);
    }
}

// --- envelope lines -------------------------------------------------------

struct EnvelopeCase {
    std::string line;
    bool isEnvelope;
    std::string sender;
    std::optional<std::int64_t> unixTime;
    bool wellFormed;
};

TEST(EnvelopeLineTest, ParsesOperaAndMboxForms)
{
    const std::optional<std::int64_t> none;
    const std::vector<EnvelopeCase> cases = {
        {"From - Mon Jan 05 10:00:00 2010", true, "", 1262685600, true},
        {"From  Tue Mar 05 09:07:03 2024 123", true, "", kMar5_090703, true},
        {"From ann@example.org Tue Mar  5 09:07:03 2024", true, "ann@example.org", kMar5_090703, true},
        {"From ann@example.org Tue Mar 05 09:07:03 2024\r", true, "ann@example.org", kMar5_090703, true},
        {"From MAILER-DAEMON Tue Mar 05 09:07:03 2024 remote from x", true, "MAILER-DAEMON", kMar5_090703, true},
        {"From ann@example.org Tue Mar 5 09:07:03 +0100 2024", true, "ann@example.org", kMar5_090703 - 3600, true},
        {"From ann@example.org Tue Mar 5 09:07:03 UTC 2024", true, "ann@example.org", kMar5_090703, true},
        {"From ann@example.org Tue Mar 5 09:07 2024", true, "ann@example.org", kMar5_090703 - 3, true},
        {"From Ann <ann@example.org> Tue Mar 05 09:07:03 2024", true, "Ann <ann@example.org>", kMar5_090703, false},
        {"From Tue Mar 05 09:07:03 2024", true, "", kMar5_090703, true},
        {"From ann@example.org", true, "ann@example.org", none, false},
        {"From ann@example.org Tue Feb 30 09:07:03 2024", true, "ann@example.org", none, true},
        {"From ann@example.org Tue Mar 05 24:07:03 2024", true, "ann@example.org", none, false},
        {"From ann@example.org Tue Mar 05 2024", true, "ann@example.org", none, false},
        {"From here on, we go", true, "here", none, false},
        {"From ", true, "", none, false},
        {"From: ann@example.org", false, "", none, false},
        {">From ann@example.org Tue Mar 05 09:07:03 2024", false, "", none, false},
        {"from ann@example.org Tue Mar 05 09:07:03 2024", false, "", none, false},
        {"", false, "", none, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const auto info = ParseEnvelopeLine(c.line);
        ASSERT_EQ(info.has_value(), c.isEnvelope);
        if (info) {
            EXPECT_EQ(info->sender, c.sender);
            EXPECT_EQ(info->unixTime, c.unixTime);
        }
        EXPECT_EQ(IsWellFormedEnvelopeLine(c.line), c.wellFormed);
    }
}

TEST(EnvelopeLineTest, WellFormedAsMuttReadsThem)
{
    const std::vector<std::pair<std::string, bool>> cases = {
        // Forms mutt splits at.
        {"From me@example.org Sat Jul  8 10:27 MET 2000", true},
        {"From me@example.org Wed Aug  2 00:39:12 MET DST 1995", true},
        {"From me@example.org Wed Aug 2 00:39:12 -0700 1995", true},
        {"From me@example.org wed aug 02 00:39:12 95", true},
        {"From me@example.org Wed August 2 00:39:12 1995", true},
        {"From me at example.org  Wed Oct 25 17:46:03 2017", true},
        {"From \"Ann Smith\"@example.org Wed Oct 25 17:46:03 2017", true},
        {"From a\\ b@example.org Wed Oct 25 17:46:03 2017", true},
        {"From Sun Sun Oct 29 17:46:03 2017", true},                // a user named "Sun"
        {"From\tme@example.org\tWed\tOct 25 17:46:03 2017", false}, // "From " needs its space
        {"From me@example.org\tWed\tOct\t25\t17:46:03\t2017", true},
        // Not envelope lines.
        {"From me@example.org Wednesday Oct 25 17:46:03 2017", false},
        {"From me@example.org Wed Oct 25 17:46:03", false},
        {"From me@example.org Wed Oct 25 2017", false},
        {"From me@example.org Wed Oct 0 17:46:03 2017", false},
        {"From me@example.org Wed Oct 32 17:46:03 2017", false},
        {"From me@example.org Wed Oct 25 17:46:03 MET DST CET 2017", false},
        {"From me@example.org Wed Oct 25 17:46:03 (MET) 2017", false},
        {"From me@example.org Wed Oct 25 17:46:03 year", false},
        {"From me@example.org Wed Oct 25 17h46 2017", false},
        {"From me@example.org Wed Ocx 25 17:46:03 2017", false},
        {"From \"Ann Smith@example.org Wed Oct 25 17:46:03 2017", false},
        {"From the start of the body", false},
        {"From me@example.org", false},
        {"From me@example.org ", false},
    };
    for (const auto &[line, wellFormed] : cases)
        EXPECT_EQ(IsWellFormedEnvelopeLine(line), wellFormed) << line;
    // A long line is turned down after the words that matter.
    EXPECT_FALSE(IsWellFormedEnvelopeLine("From me " + std::string(1 << 20, 'x')));
    EXPECT_TRUE(IsWellFormedEnvelopeLine("From me Wed Oct 25 17:46:03 2017 " + std::string(1 << 20, 'x')));
}

TEST(EnvelopeLineTest, ShortYearsAreReadTheRfc5322Way)
{
    const auto parsed = [](const std::string &line) {
        const auto info = ParseEnvelopeLine(line);
        EXPECT_TRUE(info.has_value()) << line;
        return info.value_or(EnvelopeInfo{});
    };
    EXPECT_EQ(parsed("From - Fri Mar 05 09:07:03 99").unixTime, UtcTime(1999, 3, 5, 9, 7, 3));
    EXPECT_EQ(parsed("From - Tue Mar 05 09:07:03 24").unixTime, kMar5_090703);
    // 1955 or 2055, neither is believed; what comes before the date stays the sender.
    const EnvelopeInfo old = parsed("From ann@example.org Sat Mar 05 09:07:03 55");
    EXPECT_EQ(old.unixTime, std::nullopt);
    EXPECT_EQ(old.sender, "ann@example.org");
    EXPECT_EQ(parsed("From - Wed Mar 05 09:07:03 69 x").unixTime, std::nullopt);

    MailMessageReader reader;
    (void)reader.LoadMessageBytes("Subject: x\r\n\r\n", parsed("From - Sat Mar 05 09:07:03 55"), 1600000000);
    EXPECT_EQ(UnixTimeFromAutomationDate(reader.MessageDate()), 1600000000);
}

// --- hostile envelope lines -----------------------------------------------

TEST(EnvelopeLineTest, HostileEnvelopeLinesAreReadWithinABoundedMemory)
{
    const std::string tokens = Repeated("a ", 30u << 20); // 60 MB of one-letter fields
    const std::string date = "Tue Mar 05 09:07:03 2024";
    struct Case {
        const char *name;
        std::string line;
        std::string sender;
        std::optional<std::int64_t> unixTime;
    };
    const std::vector<Case> cases = {
        {"short fields", "From " + tokens, "a", std::nullopt},
        {"short fields after the date", "From - " + date + " " + tokens, "", kMar5_090703},
        {"short fields before the date", "From " + tokens + date, "a", std::nullopt},
        {"one long sender", "From " + std::string(60u << 20, 'y') + " " + date, "", kMar5_090703},
        {"one long field", "From ann@example.org " + std::string(60u << 20, 'y'), "ann@example.org", std::nullopt},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const int status = RunWithinMemoryBudget(kReaderBudget, [&] {
            const auto info = ParseEnvelopeLine(c.line);
            if (!info || info->sender != c.sender || info->unixTime != c.unixTime) {
                std::fprintf(stderr, "got sender %.80s\n", info ? info->sender.c_str() : "(none)");
                return false;
            }
            (void)IsWellFormedEnvelopeLine(c.line);
            return true;
        });
        EXPECT_EQ(status, 0);
    }
}

} // namespace
