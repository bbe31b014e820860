#include "header_date.h"
#include "mail_message_reader.h"
#include "memory_budget.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace tovaly;
using tovaly::test_support::kReaderBudget;
using tovaly::test_support::Repeated;
using tovaly::test_support::RunWithinMemoryBudget;
namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

constexpr std::int64_t kUnknownDate = -2209161600; // 30 Dec 1899, Automation day 0
constexpr std::int64_t kMar5_090703 = 1709629623;  // Tue 5 Mar 2024 09:07:03 UTC

// The date of the message `reader` loaded last, as a Unix time.
std::int64_t UnixTime(const MailMessageReader &reader)
{
    return UnixTimeFromAutomationDate(reader.MessageDate());
}

TEST(MessageDateTest, IsTheAutomationDateOfTheUnixTime)
{
    struct AutomationCase {
        std::int64_t unixTime;
        double days; ///< since 30 Dec 1899 00:00
    };
    const std::vector<AutomationCase> cases = {{kUnknownDate, 0.0},
                                               {0, 25569.0},
                                               {kMar5_090703, 45356.0 + (9 * 3600 + 7 * 60 + 3) / 86400.0},
                                               {-2208988800, 2.0},
                                               {1704067199, 45291.0 + 86399 / 86400.0},
                                               {253402300799, 2958465.0 + 86399 / 86400.0}};
    for (const AutomationCase &c : cases) {
        SCOPED_TRACE(c.unixTime);
        MailMessageReader reader; // no header: the file time is the date
        (void)reader.LoadMessageBytes("", {}, c.unixTime);
        EXPECT_DOUBLE_EQ(reader.MessageDate(), c.days);
        EXPECT_EQ(UnixTimeFromAutomationDate(reader.MessageDate()), c.unixTime);
    }
}

// --- header dates ---------------------------------------------------------

struct DateCase {
    std::string message;
    std::int64_t unixTime;
};

TEST(MailMessageReaderTest, DateHeaderIsConvertedToUtc)
{
    const std::vector<DateCase> cases = {
        {"Date: Tue, 5 Mar 2024 09:07:03 +0100\r\n\r\n", kMar5_090703 - 3600},
        {"Date: 05 Mar 2024 09:07:03 GMT\r\n\r\n", kMar5_090703},
        {"Date: Tue, 5 Mar 24 9:07:03 -0500\r\n\r\n", kMar5_090703 + 5 * 3600},
        {"Date: Tue,  5 Mar 2024 09:07 +0200 (CEST)\r\n\r\n", kMar5_090703 - 3 - 2 * 3600},
        {"Date: Tue, 5 Mar 2024 09:07:03 -0800 (PST)\r\n\r\n", kMar5_090703 + 8 * 3600},
        {"date: Tue, 5 Mar 2024 09:07:03 +0000\n\n", kMar5_090703},
        {"Subject: x\r\nDate: Tue, 5 Mar 2024\r\n 09:07:03 +0100\r\n\r\nbody", kMar5_090703 - 3600},
        // Dates older than GMime's parser accepts.
        {"Date: Sun, 20 Jul 1969 16:17:40 -0400\r\n\r\n", -14182940},
        {"Date: Mon, 1 Jan 1900 00:00:00 +0000\r\n\r\n", -2208988800},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        MailMessageReader reader;
        EXPECT_TRUE(reader.LoadMessageBytes(c.message));
        EXPECT_EQ(UnixTime(reader), c.unixTime);
    }

    MailMessageReader reader;
    ASSERT_TRUE(reader.LoadMessageBytes("Date: Tue, 5 Mar 2024 09:07:03 +0100\r\n\r\n"));
    EXPECT_EQ(FormatEnvelopeDate(UnixTime(reader)), "Tue Mar 05 08:07:03 2024");
}

struct FallbackCase {
    const char *name;
    std::string message;
    EnvelopeInfo envelope;
    std::optional<std::int64_t> fileTime;
    std::int64_t unixTime;
};

TEST(MailMessageReaderTest, DateFallsBackToReceivedEnvelopeFileTimeThenZero)
{
    const std::int64_t envelopeTime = 1262685600;
    const std::int64_t fileTime = 1600000000;
    const EnvelopeInfo envelope{"", envelopeTime};
    const std::string received = "Received: from mx (mx [10.0.0.1]; tls) by mail; Tue, 5 Mar 2024 10:00:00 +0000\r\n"
                                 "Received: from a by mx; Tue, 5 Mar 2024 09:59:00 +0000\r\n";
    const std::vector<FallbackCase> cases = {
        {"unparsable Date", "Date: sometime soon\r\n" + received + "\r\n", envelope, fileTime, 1709632800},
        {"impossible Date", "Date: Wed, 29 Feb 2023 09:07:03 +0000\r\n" + received + "\r\n", envelope, fileTime,
         1709632800},
        {"empty Date", "Date:\r\n" + received + "\r\n", envelope, fileTime, 1709632800},
        {"missing Date", "Subject: x\r\n" + received + "\r\n", envelope, fileTime, 1709632800},
        {"Received without date", "Received: from a by b\r\n\r\n", envelope, fileTime, envelopeTime},
        {"Date in the body only", "Subject: x\r\n\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n", envelope, fileTime,
         envelopeTime},
        {"file time", "Subject: x\r\n\r\n", EnvelopeInfo{}, fileTime, fileTime},
        {"nothing known", "Subject: x\r\n\r\n", EnvelopeInfo{}, std::nullopt, kUnknownDate},
        {"empty message", "", EnvelopeInfo{}, std::nullopt, kUnknownDate},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MailMessageReader reader;
        (void)reader.LoadMessageBytes(c.message, c.envelope, c.fileTime);
        EXPECT_EQ(UnixTime(reader), c.unixTime);
    }

    MailMessageReader reader;
    (void)reader.LoadMessageBytes("");
    EXPECT_EQ(reader.MessageDate(), 0.0);
    EXPECT_EQ(FormatEnvelopeDate(UnixTime(reader)), "Sat Dec 30 00:00:00 1899");
}

// --- senders --------------------------------------------------------------

struct SenderCase {
    std::string message;
    std::string sender;
};

TEST(MailMessageReaderTest, SenderIsTheBareFromAddress)
{
    const std::vector<SenderCase> cases = {
        {"From: ann@example.org\r\n\r\n", "ann@example.org"},
        {"From: <ann@example.org>\r\n\r\n", "ann@example.org"},
        {"From: =?UTF-8?B?w5hkZWfDpXJk?= <ann@example.org>\r\n\r\n", "ann@example.org"},
        {"From: \"\xC3\x98"
         "deg\xC3\xA5rd, Kari\" <kari@example.org>\r\n\r\n",
         "kari@example.org"},
        {"From: \xD8le Hansen <ole@example.org>\r\n\r\n", "ole@example.org"}, // Latin-1, unlabelled
        {"From: ann@example.org (Ann Smith)\r\n\r\n", "ann@example.org"},
        {"From: Ann Smith\r\n <ann@example.org>\r\n\r\n", "ann@example.org"},
        {"From: undisclosed:; bob@example.org\r\n\r\n", "bob@example.org"},
        {"From: team: carl@example.org, dan@example.org;\r\n\r\n", "carl@example.org"},
        {"From: ann@example.org, bob@example.org\r\n\r\n", "ann@example.org"},
        // White space and control characters never reach the From line.
        {"From: Ann <ann\x01x@example.org>\r\n\r\n", "annx@example.org"},
        {"From: \"a b\"@example.org\r\n\r\n", "\"ab\"@example.org"},
        {"From: Ann <ann\0@example.org>\r\n\r\n"s, "ann@example.org"},
        {"FROM: ann@example.org\r\nSender: sue@example.org\r\n\r\n", "ann@example.org"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        MailMessageReader reader;
        (void)reader.LoadMessageBytes(c.message);
        EXPECT_EQ(reader.MessageSender(), c.sender);
    }
}

struct SenderFallbackCase {
    const char *name;
    std::string message;
    std::string envelopeSender;
    std::string sender;
};

TEST(MailMessageReaderTest, SenderFallsBackInOrder)
{
    const std::vector<SenderFallbackCase> cases = {
        {"Sender", "Sender: sue@example.org\r\nReturn-Path: <rp@example.org>\r\n\r\n", "env@example.org",
         "sue@example.org"},
        {"From without address", "From: Ann Smith\r\nSender: sue@example.org\r\n\r\n", "", "sue@example.org"},
        {"From with only an encoded word", "From: =?UTF-8?B?w5hkZWfDpXJk?=\r\nSender: sue@example.org\r\n\r\n", "",
         "sue@example.org"},
        {"Return-Path", "Return-Path: <rp@example.org>\r\n\r\n", "env@example.org", "rp@example.org"},
        {"empty Return-Path", "Return-Path: <>\r\n\r\n", "env@example.org", "env@example.org"},
        {"envelope with display name", "Subject: x\r\n\r\n", "Ann <env@example.org>", "env@example.org"},
        {"nothing", "Return-Path: <>\r\n\r\nFrom: body@example.org\r\n", "", "MAILER-DAEMON"},
        {"empty message", "", "", "MAILER-DAEMON"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MailMessageReader reader;
        (void)reader.LoadMessageBytes(c.message, EnvelopeInfo{c.envelopeSender, std::nullopt});
        EXPECT_EQ(reader.MessageSender(), c.sender);
    }
}

// --- damaged headers ------------------------------------------------------

TEST(MailMessageReaderTest, ToleratesJunkAndAnyLineEnd)
{
    const std::int64_t fileTime = 1600000000;
    struct JunkCase {
        const char *name;
        std::string message;
        bool anyField;
        std::string sender;
        std::int64_t unixTime;
    };
    const std::vector<JunkCase> cases = {
        {"CR line ends", "From: ann@example.org\rDate: Tue, 5 Mar 2024 09:07:03 +0000\r\rbody\r", true,
         "ann@example.org", kMar5_090703},
        {"mixed line ends", "From: ann@example.org\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n\rFrom: x@y\r", true,
         "ann@example.org", kMar5_090703},
        {"no separator", "From: ann@example.org\nDate: Tue, 5 Mar 2024 09:07:03 +0000\nHello Bob,\nFrom: x@y\n", true,
         "ann@example.org", kMar5_090703},
        {"headers only, no line end", "From: ann@example.org\nDate: Tue, 5 Mar 2024 09:07:03 +0000", true,
         "ann@example.org", kMar5_090703},
        {"binary first line", "\x01\x02\xFF\xFE\r\nFrom: ann@example.org\r\n\r\n", false, "MAILER-DAEMON", fileTime},
        {"binary value", "X-Junk: \x01\x02\xFF\x80\r\nFrom: ann@example.org\r\n\r\n", true, "ann@example.org",
         fileTime},
        {"NUL bytes", "X-Junk: a\0b\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n\r\n"s, true, "MAILER-DAEMON",
         kMar5_090703},
        {"stray envelope line",
         "From ann@example.org Tue Mar 05 09:07:03 2024\nSender: sue@example.org\nDate: Tue, 5 Mar 2024 09:07:03 "
         "+0000\n\n",
         true, "sue@example.org", kMar5_090703},
        {"continuation without field", " folded\r\nFrom: ann@example.org\r\n\r\n", true, "ann@example.org", fileTime},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        MailMessageReader reader;
        EXPECT_EQ(reader.LoadMessageBytes(c.message, {}, fileTime), c.anyField);
        EXPECT_EQ(reader.MessageSender(), c.sender);
        EXPECT_EQ(UnixTime(reader), c.unixTime);
    }
}

// --- two-digit and odd years ---------------------------------------------

// The year of a Unix time, in UTC.
int YearOf(std::int64_t unixTime)
{
    using namespace std::chrono;
    const year_month_day date{floor<days>(sys_seconds{seconds(unixTime)})};
    return static_cast<int>(date.year());
}

std::int64_t UtcTime(int year, int month, int day, int hour, int minute, int second)
{
    using namespace std::chrono;
    const sys_days date{year_month_day{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                       std::chrono::day(static_cast<unsigned>(day))}};
    return (date + hours(hour) + minutes(minute) + seconds(second)).time_since_epoch().count();
}

TEST(MailMessageReaderTest, ShortYearsAreReadTheRfc5322Way)
{
    const int thisYear = YearOf(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    const std::int64_t receivedTime = kMar5_090703 + 3600;
    const std::int64_t envelopeTime = 1262685600;
    const std::int64_t fileTime = 1600000000;
    const std::string received = "Received: from a by b; Tue, 5 Mar 2024 10:07:03 +0000\r\n";
    struct YearCase {
        std::string date;
        std::int64_t unixTime; // when the Date is used
        bool used;
    };
    const auto mar5 = [](int year) { return UtcTime(year, 3, 5, 9, 7, 3); };
    const std::vector<YearCase> cases = {
        // Two digits: 50 to 99 are 19xx, 00 to 49 are 20xx.
        {"Fri, 5 Mar 99 09:07:03 +0000", mar5(1999), true},
        {"5 Mar 70 09:07:03 GMT", mar5(1970), true},
        {"Tue, 5 Mar 24 09:07:03 +0000", mar5(2024), true},
        {"Sun, 5 Mar 00 09:07:03 +0000", mar5(2000), true},
        {"5-Mar-99 09:07:03", mar5(1999), true},
        // Three digits: 1900 and the number.
        {"Sat, 5 Mar 105 09:07:03 +0000", mar5(2005), true},
        {"5 Mar 070 09:07:03 +0000", mar5(1970), true},
        // Four digits are taken as written, however old or new.
        {"Mon, 1 Jan 1900 00:00:00 +0000", -2208988800, true},
        {"Tue, 5 Mar 2055 09:07:03 +0000", mar5(2055), true},
        // From an obsolete form, a year before 1970 or after next year is
        // not believed: the next source decides.
        {"Sat, 5 Mar 55 09:07:03 +0000", 0, false},
        {"Wed, 5 Mar 69 09:07:03 +0000", 0, false},
        {"5 Mar 50 09:07:03 +0000", 0, false},
        {"5 Mar 150 09:07:03 +0000", 0, false},
        {"5 Mar 000 09:07:03 +0000", 0, false},
        {"3/5/55 09:07", 0, false},
        {"Tue Mar  5 09:07:03 55", 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.date);
        MailMessageReader reader;
        ASSERT_TRUE(reader.LoadMessageBytes("Date: " + c.date + "\r\n" + received + "\r\n",
                                            EnvelopeInfo{"", envelopeTime}, fileTime));
        EXPECT_EQ(UnixTime(reader), c.used ? c.unixTime : receivedTime);
    }
    // 49 is 2049: believed only from the year 2048 on.
    {
        MailMessageReader reader;
        ASSERT_TRUE(reader.LoadMessageBytes("Date: 5 Mar 49 09:07:03 +0000\r\n" + received + "\r\n"));
        EXPECT_EQ(UnixTime(reader), thisYear + 1 >= 2049 ? mar5(2049) : receivedTime);
    }
    // The same for Received, and on to the envelope.
    {
        MailMessageReader reader;
        ASSERT_TRUE(reader.LoadMessageBytes("Received: from a by b; 5 Mar 55 09:07:03 +0000\r\n\r\n",
                                            EnvelopeInfo{"", envelopeTime}, fileTime));
        EXPECT_EQ(UnixTime(reader), envelopeTime);
        ASSERT_TRUE(reader.LoadMessageBytes("Received: from a by b; 5 Mar 98 09:07:03 +0000\r\n\r\n",
                                            EnvelopeInfo{"", envelopeTime}, fileTime));
        EXPECT_EQ(UnixTime(reader), mar5(1998));
    }

    // The date reader gives the RFC reading itself.
    for (const char *form : {"Sat, 5 Mar 55 09:07:03 +0000", "5 Mar 69 09:07:03 GMT", "5 Mar 99 09:07:03 +0000"}) {
        SCOPED_TRACE(form);
        const int year = 1900 + std::atoi(std::strstr(form, "Mar ") + 4);
        EXPECT_EQ(detail::HeaderDate(form)->unixTime, mar5(year));
    }
    EXPECT_EQ(detail::HeaderDate("Sat, 5 Mar 105 09:07:03 +0000")->unixTime, mar5(2005));
}

// --- hostile headers --------------------------------------------------------

struct HostileCase {
    const char *name;
    std::string message;
    EnvelopeInfo envelope;
    std::string sender;
    std::int64_t unixTime;
};

TEST(MailMessageReaderTest, HostileHeadersAreReadWithinABoundedMemory)
{
    const std::int64_t fileTime = 1600000000;
    const std::string date = "Date: Tue, 5 Mar 2024 09:07:03 +0000\r\n";
    const std::string sue = "Sender: sue@example.org\r\n";
    const std::string many = Repeated("x@y.z, ", 1000000); // 7 MB, a million mailboxes
    const std::string yyyy(60u << 20, 'y');                // 60 MB with no address at all
    std::vector<HostileCase> cases;
    cases.push_back({"a million mailboxes", "From: " + many + "\r\n" + date + "\r\n", {}, "x@y.z", kMar5_090703});
    cases.push_back({"a million folded mailboxes",
                     "From: " + Repeated("a@b.c,\r\n ", 1000000) + "\r\n\r\n",
                     {},
                     "a@b.c",
                     fileTime});
    cases.push_back({"a million mailboxes after a name",
                     "From: Ann <ann@example.org>, " + many + "\r\n\r\n",
                     {},
                     "ann@example.org",
                     fileTime});
    cases.push_back(
        {"a million mailboxes in a group", "From: g: " + many + "ann@example.org;\r\n\r\n", {}, "x@y.z", fileTime});
    cases.push_back(
        {"no address, 60 MB", "From: " + yyyy + "\r\n" + sue + date + "\r\n", {}, "sue@example.org", kMar5_090703});
    cases.push_back(
        {"one address of 60 MB", "From: <" + yyyy + "@example.org>\r\n\r\n", {}, "MAILER-DAEMON", fileTime});
    cases.push_back({"a name of 60 MB",
                     "From: " + yyyy + " <ann@example.org>\r\n" + sue + "\r\n",
                     {},
                     "sue@example.org",
                     fileTime});
    cases.push_back(
        {"a comment of 60 MB", "From: ann@example.org (" + yyyy + ")\r\n\r\n", {}, "ann@example.org", fileTime});
    cases.push_back({"nested comments",
                     "From: " + Repeated("(", 3000000) + "ann@example.org\r\n" + sue + "\r\n",
                     {},
                     "sue@example.org",
                     fileTime});
    cases.push_back({"quotes",
                     "From: " + Repeated("\"a\" ", 3000000) + "<ann@example.org>\r\n" + sue + "\r\n",
                     {},
                     "sue@example.org",
                     fileTime});
    cases.push_back({"a Date of 60 MB", "Date: " + yyyy + "\r\n" + date + "\r\n", {}, "MAILER-DAEMON", fileTime});
    cases.push_back(
        {"a Date of a million tokens", "Date: " + Repeated("5 ", 3000000) + "\r\n\r\n", {}, "MAILER-DAEMON", fileTime});
    cases.push_back({"a Received of 60 MB",
                     "Received: " + yyyy + "; Tue, 5 Mar 2024 09:07:03 +0000\r\n\r\n",
                     {},
                     "MAILER-DAEMON",
                     fileTime});
    cases.push_back({"an envelope sender of 60 MB", "Subject: x\r\n\r\n", EnvelopeInfo{yyyy, std::nullopt},
                     "MAILER-DAEMON", fileTime});

    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const int status = RunWithinMemoryBudget(kReaderBudget, [&] {
            MailMessageReader reader;
            (void)reader.LoadMessageBytes(c.message, c.envelope, fileTime);
            if (reader.MessageSender() != c.sender || UnixTime(reader) != c.unixTime) {
                std::fprintf(stderr, "got sender %.80s, time %lld\n", reader.MessageSender().c_str(),
                             static_cast<long long>(UnixTime(reader)));
                return false;
            }
            return true;
        });
        EXPECT_EQ(status, 0);
    }
}

TEST(MailMessageReaderTest, ShortOfMemoryTheReaderThrowsInsteadOfGLibEndingTheProcess)
{
#ifdef _WIN32
    GTEST_SKIP() << "no fork() to run the reader in a copy of this process with its memory limited";
#endif
#ifdef TOVALY_ADDRESS_SANITIZER
    GTEST_SKIP() << "address space limits do not work with AddressSanitizer";
#else
    // A group list of 16 KB is the most GMime is handed; reading it takes
    // GMime megabytes, and GLib ends the process when an allocation fails.
    // With far less room left, reading the header must fail the way any
    // allocation fails in C++, so the caller can give up on this source only.
    std::string groups = "From: ";
    while (groups.size() < 16 * 1024)
        groups += "g:a@b;";
    const std::string message = groups + "\r\n\r\n";
    const std::string usual = "From: Ann (x) <ann@example.org>, b@c\r\nDate: 5 Mar 24 09:07 EST\r\n\r\n";
    // Generous: the reader runs as it always does.
    for (const std::string &text : {message, usual}) {
        EXPECT_EQ(RunWithinMemoryBudget(kReaderBudget,
                                        [&] {
                                            MailMessageReader reader;
                                            (void)reader.LoadMessageBytes(text);
                                            return reader.MessageSender() == "a@b" ||
                                                   reader.MessageSender() == "ann@example.org";
                                        }),
                  0);
    }
    // Tight: std::bad_alloc (exit 2), never a signal.
    EXPECT_EQ(RunWithinMemoryBudget(512 * 1024,
                                    [&] {
                                        try {
                                            MailMessageReader reader;
                                            (void)reader.LoadMessageBytes(message);
                                        } catch (const std::bad_alloc &) {
                                            std::fflush(nullptr);
                                            _exit(2);
                                        }
                                        return true;
                                    }),
              2);
#endif
}

TEST(MailMessageReaderTest, SenderLongerThanAnAddressCanBeFallsBack)
{
    // An address holds at most 64 bytes before the "@" and 255 after it.
    const std::string longest = std::string(64, 'a') + "@" + std::string(251, 'b') + ".org";
    ASSERT_EQ(longest.size(), 320u);
    const std::string tooLong = "x" + longest;
    struct Case {
        std::string message;
        EnvelopeInfo envelope;
        std::string sender;
    };
    const std::vector<Case> cases = {
        {"From: " + longest + "\r\n\r\n", {}, longest},
        {"From: Ann <" + longest + ">\r\n\r\n", {}, longest},
        {"From: " + tooLong + "\r\nSender: sue@example.org\r\n\r\n", {}, "sue@example.org"},
        {"From: Ann <" + tooLong + ">\r\nSender: sue@example.org\r\n\r\n", {}, "sue@example.org"},
        {"From: \"" + std::string(400, 'y') + "\"@example.org\r\n\r\n", EnvelopeInfo{"env@example.org", {}},
         "env@example.org"},
        {"From: " + std::string(400, 'y') + "\r\n\r\n", EnvelopeInfo{"env@example.org", {}}, "env@example.org"},
        {"Subject: x\r\n\r\n", EnvelopeInfo{tooLong, {}}, "MAILER-DAEMON"},
        {"Subject: x\r\n\r\n", EnvelopeInfo{longest, {}}, longest},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message.substr(0, 60));
        MailMessageReader reader;
        (void)reader.LoadMessageBytes(c.message, c.envelope);
        EXPECT_EQ(reader.MessageSender(), c.sender);
    }
}

// --- files ----------------------------------------------------------------

class MailMessageFileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(m_folder.empty()) << "no temporary folder"; }

    // Writes `bytes` to a file whose modification time is `mtime`.
    std::string Write(const std::string &name, const std::string &bytes, std::int64_t mtime = 1600000000)
    {
        const fs::path path = m_temp.Put(name, bytes);
        EXPECT_TRUE(test::SetModificationTime(path, mtime)) << path;
        return path.string();
    }

    test::TempFolder m_temp{"tovaly_reader"};
    const fs::path m_folder = m_temp.Path();
};

TEST_F(MailMessageFileTest, EnvelopeLineIsTheFallbackAfterTheHeader)
{
    MailMessageReader reader;
    ASSERT_TRUE(reader.LoadMessageFile(
        Write("a.mbs", "From env@example.org Mon Jan 05 10:00:00 2010\r\nSubject: x\r\n\r\nbody\r\n")));
    EXPECT_EQ(reader.MessageSender(), "env@example.org");
    EXPECT_EQ(UnixTime(reader), 1262685600);

    ASSERT_TRUE(reader.LoadMessageFile(Write("b.mbs", "From - Mon Jan 05 10:00:00 2010\r\n"
                                                      "From: Ann <ann@example.org>\r\n"
                                                      "Date: Tue, 5 Mar 2024 09:07:03 +0000\r\n\r\nbody\r\n")));
    EXPECT_EQ(reader.MessageSender(), "ann@example.org");
    EXPECT_EQ(UnixTime(reader), kMar5_090703);

    // A file that is only an envelope line, without a line end.
    ASSERT_TRUE(reader.LoadMessageFile(Write("c.mbs", "From env@example.org Mon Jan 05 10:00:00 2010")));
    EXPECT_EQ(reader.MessageSender(), "env@example.org");
    EXPECT_EQ(UnixTime(reader), 1262685600);
}

TEST_F(MailMessageFileTest, FileTimeIsTheLastKnownDate)
{
    MailMessageReader reader;
    ASSERT_TRUE(reader.LoadMessageFile(Write("a.mbs", "Subject: no date\r\n\r\nbody\r\n", 1600000000)));
    EXPECT_EQ(UnixTime(reader), 1600000000);
    EXPECT_EQ(reader.MessageSender(), "MAILER-DAEMON");

    ASSERT_TRUE(reader.LoadMessageFile(Write("empty.mbs", "", 1500000000)));
    EXPECT_EQ(UnixTime(reader), 1500000000);
    EXPECT_EQ(reader.MessageSender(), "MAILER-DAEMON");
}

TEST_F(MailMessageFileTest, UnreadableFileGivesLastResortValues)
{
    MailMessageReader reader;
    ASSERT_TRUE(reader.LoadMessageFile(
        Write("a.mbs", "From: ann@example.org\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n\r\n")));
    // Nothing of the previous message may survive a failed load.
    EXPECT_FALSE(reader.LoadMessageFile((m_folder / "missing.mbs").string()));
    EXPECT_EQ(reader.MessageSender(), "MAILER-DAEMON");
    EXPECT_EQ(reader.MessageDate(), 0.0);
    EXPECT_FALSE(reader.LoadMessageFile(m_folder.string()));
    EXPECT_EQ(reader.MessageSender(), "MAILER-DAEMON");
}

TEST_F(MailMessageFileTest, LongHeaderBlockIsReadToItsEnd)
{
    std::string header;
    for (int i = 0; header.size() < 200 * 1024; ++i)
        header += "X-Filler-" + std::to_string(i) + ": " + std::string(100, 'x') + "\r\n";
    const std::string body(300 * 1024, 'b');
    MailMessageReader reader;
    ASSERT_TRUE(reader.LoadMessageFile(
        Write("long.mbs", header + "From: ann@example.org\r\nDate: Tue, 5 Mar 2024 09:07:03 +0000\r\n\r\n" + body)));
    EXPECT_EQ(reader.MessageSender(), "ann@example.org");
    EXPECT_EQ(UnixTime(reader), kMar5_090703);
}

TEST(MailMessageReaderDataTest, OperaMessageWithLatin1Header)
{
    MailMessageReader reader;
    ASSERT_TRUE(reader.LoadMessageFile(TOVALY_TEST_DATA_DIR "/reader/opera_latin1.mbs"));
    EXPECT_EQ(reader.MessageSender(), "kari@example.org");
    // Date: Fri, 15 Jan 2010 17:45:12 +0100
    EXPECT_EQ(FormatEnvelopeDate(UnixTime(reader)), "Fri Jan 15 16:45:12 2010");
}

} // namespace
