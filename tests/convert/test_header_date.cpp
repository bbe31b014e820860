#include "header_date.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace tovaly;

namespace {

constexpr std::int64_t kMar5_090703 = 1709629623; // Tue 5 Mar 2024 09:07:03 UTC

// Date values built from parts that GMime reads in many ways: day names,
// one- and two-digit days and hours, two- and four-digit years, impossible
// dates and times, every kind of zone, comments and stray text.
std::vector<std::string> DateForms(std::size_t count)
{
    const std::vector<std::string> days = {"",      "",     "Tue, ",  "Sun, ",  "tue, ", "Tuesday, ",
                                           "Xyz, ", "Tue,", "Tue,  ", "Tue,\t", "Tue "};
    const std::vector<std::string> months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul",   "Aug",
                                             "Sep", "Oct", "Nov", "Dec", "mar", "MAR", "March", "Mrz"};
    const std::vector<std::string> zones = {"+0000", "-0000", "+0100", "-0500", "+0530", "-0930",  "+1400",
                                            "-1200", "+2359", "+2400", "+0060", "+9999", "GMT",    "UT",
                                            "UTC",   "Z",     "EST",   "",      "+000",  "+00000", "gmt"};
    const std::vector<std::string> tails = {"", "", " (CEST)", "\r\n", "  ", " (a (b))", " x", " (CEST", "(UTC)"};
    const std::vector<std::string> gaps = {" ", " ", " ", "  ", "\t"};
    std::mt19937 random(20240305);
    const auto pick = [&](const std::vector<std::string> &from) { return from[random() % from.size()]; };
    const auto number = [&](std::mt19937::result_type value, bool padded) {
        std::string text = std::to_string(value);
        return padded && text.size() < 2 ? "0" + text : text;
    };
    std::vector<std::string> forms;
    for (std::size_t i = 0; i < count; ++i) {
        std::mt19937::result_type year = random() % 4 == 0 ? random() % 10000 : 1960 + random() % 150;
        if (random() % 8 == 0)
            year %= 100;
        std::string form = (random() % 5 == 0 ? " " : "") + pick(days) + number(random() % 34, random() % 3 == 0) +
                           pick(gaps) + pick(months) + pick(gaps) + number(year, random() % 2 == 0) + pick(gaps);
        form += number(random() % 26, random() % 2 == 0) + ":" + number(random() % 62, true);
        if (random() % 4 != 0)
            form += ":" + number(random() % 62, true);
        forms.push_back(form + pick(gaps) + pick(zones) + pick(tails));
    }
    return forms;
}

} // namespace

TEST(HeaderDate, ReadByHandAsGMimeReadsIt)
{
    std::size_t compared = 0;
    for (const std::string &form : DateForms(30000)) {
        const auto hand = detail::HandHeaderDate(form);
        // GMime reads years from 1969 on, and short years its own way.
        if (!hand || hand->obsoleteYear || hand->year < 1969)
            continue;
        ++compared;
        const auto gmime = detail::GMimeHeaderDate(form);
        EXPECT_EQ(gmime ? std::optional(gmime->unixTime) : std::nullopt, hand->unixTime) << form;
    }
    EXPECT_GT(compared, 1000u); // the comparison covers enough of the hand reader

    struct Form {
        const char *value;
        std::optional<std::int64_t> unixTime; ///< nothing: left to GMime
    };
    const std::vector<Form> forms = {
        {"Tue, 5 Mar 2024 09:07:03 +0100", kMar5_090703 - 3600},
        {" 05 Mar 2024 09:07:03 GMT", kMar5_090703},
        {"5 Mar 24 9:07 -0500", kMar5_090703 - 3 + 5 * 3600},
        {"Tue,  5 Mar 2024 09:07:03 +0200 (CEST)\r\n", kMar5_090703 - 7200},
        {"Tue, 5 Mar 2024 09:07:03 UT", kMar5_090703},
        {"Tue, 5 Mar 2024 09:07:03 -0130", kMar5_090703 + 5400},
        {"Tue, 5 Mar 2024 09:07:03 EST", kMar5_090703 + 5 * 3600},
        {"Tue, 5 Mar 2024 09:07:03 PDT (x)", kMar5_090703 + 7 * 3600},
        {"Tue, 5 Mar 2024 09:07:03", kMar5_090703},
        {"Tue, 5 Mar 1968 09:07:03 +0000", -57595977},
        {"Tue, 5 Mar 1968 09:07:03 EST", -57595977 + 5 * 3600},
        {"Tue, 5 March 2024 09:07:03 +0000", std::nullopt},
        {"Tue, 31 Feb 2024 09:07:03 +0000", std::nullopt},
        {"Tue, 5 Mar 2024 24:00:00 +0000", std::nullopt},
        {"Tue, 5 Mar 2024 09:07:60 +0000", std::nullopt},
        {"Tue, 5 Mar 2024 09:07:03 est", std::nullopt}, // GMime reads it as UTC
        {"Tue, 5 Mar 2024 09:07:03 CEST", std::nullopt},
        {"Tue, 5 Mar 2024 09:07:03 +0000 junk", std::nullopt},
        {"Tue, 5 Mar 2024 09:07:03+0000", std::nullopt},
        {"2024-03-05T09:07:03Z", std::nullopt},
        {"", std::nullopt},
    };
    for (const Form &form : forms) {
        const auto hand = detail::HandHeaderDate(form.value);
        EXPECT_EQ(hand ? std::optional(hand->unixTime) : std::nullopt, form.unixTime) << form.value;
    }
}
