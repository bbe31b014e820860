#include "message_splitter.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

using tovaly::MessageSplitter;
using tovaly::SplitMessage;

namespace {

struct Message {
    std::string text;
    std::optional<std::string> envelope;
    std::size_t headerSize = 0;
    bool operator==(const Message &) const = default;
};

void PrintTo(const Message &m, std::ostream *os)
{
    *os << "{text=" << testing::PrintToString(m.text)
        << " envelope=" << (m.envelope ? testing::PrintToString(*m.envelope) : "none")
        << " header=" << m.headerSize << "}";
}

struct Result {
    std::vector<Message> messages;
    std::vector<std::uint64_t> lineCounts;
    bool operator==(const Result &) const = default;
};

void PrintTo(const Result &r, std::ostream *os)
{
    *os << testing::PrintToString(r.messages) << " lines " << testing::PrintToString(r.lineCounts);
}

// Feeds `input` cut at the given offsets (ascending) and collects the messages
// and the progress line counts.
Result Scan(std::string_view input, const std::vector<std::size_t> &cuts)
{
    Result result;
    MessageSplitter splitter(
        [&](const SplitMessage &m) {
            Message copy{std::string(m.text), std::nullopt, m.headerSize};
            if (m.envelope)
                copy.envelope = std::string(*m.envelope);
            result.messages.push_back(std::move(copy));
            return true;
        },
        0, [&](std::uint64_t bytesSoFar) { result.lineCounts.push_back(bytesSoFar); });
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        EXPECT_TRUE(splitter.Feed(input.substr(from, cut - from)));
        from = cut;
    }
    EXPECT_TRUE(splitter.Feed(input.substr(from)));
    EXPECT_TRUE(splitter.Finish());
    return result;
}

std::vector<Message> SplitAt(std::string_view input, const std::vector<std::size_t> &cuts)
{
    return Scan(input, cuts).messages;
}

std::vector<std::uint64_t> LineCounts(std::string_view input)
{
    return Scan(input, {}).lineCounts;
}

std::vector<Message> Split(std::string_view input)
{
    return SplitAt(input, {});
}

Result ScanInChunksOf(std::string_view input, std::size_t size)
{
    std::vector<std::size_t> cuts;
    for (std::size_t at = size; at < input.size(); at += size)
        cuts.push_back(at);
    return Scan(input, cuts);
}

const std::string kStatus = "X-Opera-Status: 00" + std::string(112, '0');

} // namespace

TEST(MessageSplitter, FirstFromLineIsTheEnvelope)
{
    const std::string input = "From - Tue Jan 05 10:00:00 2010\r\n" + kStatus +
                              "\r\nX-Opera-Location: /mail/store/1.mbs\r\n"
                              "Date: Mon, 5 Jan 2010 10:00:00 +0000\r\n\r\nFrom body\r\n";
    const std::string text = kStatus +
                             "\r\nX-Opera-Location: /mail/store/1.mbs\r\n"
                             "Date: Mon, 5 Jan 2010 10:00:00 +0000\r\n\r\n";
    EXPECT_EQ(Split(input),
              (std::vector<Message>{{text + ">From body\r\n", "From - Tue Jan 05 10:00:00 2010", text.size()}}));

    // The envelope may be all there is, with any line end or none.
    EXPECT_EQ(Split("From  Tue Jan 05 10:00:00 2010\n"),
              (std::vector<Message>{{"", "From  Tue Jan 05 10:00:00 2010", 0}}));
    EXPECT_EQ(Split("From x\r"), (std::vector<Message>{{"", "From x", 0}}));
    EXPECT_EQ(Split("From x"), (std::vector<Message>{{"", "From x", 0}}));

    // ">From " and an old-style "From :" header field are text, not envelopes.
    EXPECT_EQ(Split(">From x\r\n"), (std::vector<Message>{{">>From x\r\n", {}, 10}}));
    EXPECT_EQ(Split("From : a@b\r\n"), (std::vector<Message>{{">From : a@b\r\n", {}, 13}}));
}

TEST(MessageSplitter, FromLineAfterEmptyLineStaysInTheBodyUnlessItStartsAMessage)
{
    // Not well formed, and the next line is no Opera status: a body line.
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom me to you\r\nX-Opera-Stat\r\n"),
              (std::vector<Message>{{"S: 1\r\n\r\n>From me to you\r\nX-Opera-Stat\r\n", {}, 8}}));
    // Nothing after it, or only the start of a status line.
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom me"), (std::vector<Message>{{"S: 1\r\n\r\n>From me", {}, 8}}));
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom me\r\n"), (std::vector<Message>{{"S: 1\r\n\r\n>From me\r\n", {}, 8}}));
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom me\r\nX-Opera"),
              (std::vector<Message>{{"S: 1\r\n\r\n>From me\r\nX-Opera", {}, 8}}));
    // Followed by an empty line, then by another From line.
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom a\r\n\r\nFrom b\r\nFrom c\r\n"),
              (std::vector<Message>{{"S: 1\r\n\r\n>From a\r\n\r\n>From b\r\n>From c\r\n", {}, 8}}));
    // A well-formed envelope that does not follow an empty line.
    const std::string quoted = "S: 1\r\n>From a@b Tue Mar 05 09:07:03 2024\r\n";
    EXPECT_EQ(Split("S: 1\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\n"),
              (std::vector<Message>{{quoted, {}, quoted.size()}}));
}

TEST(MessageSplitter, SplitRightAtTheEndGivesAnEmptyLastMessage)
{
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom a@b Tue Mar 05 09:07:03 2024"),
              (std::vector<Message>{{"S: 1\r\n", {}, 6}, {"", "From a@b Tue Mar 05 09:07:03 2024", 0}}));
    EXPECT_EQ(Split("S: 1\r\n\r\nFrom - Tue Mar 05 09:07:03 2024\r\n" + kStatus),
              (std::vector<Message>{{"S: 1\r\n", {}, 6}, {kStatus, "From - Tue Mar 05 09:07:03 2024", kStatus.size()}}));
}

TEST(MessageSplitter, DropsAnEmptyLeadingPart)
{
    EXPECT_EQ(Split("\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n"),
              (std::vector<Message>{{"S: 1\r\n", "From a@b Tue Mar 05 09:07:03 2024", 6}}));
    // An envelope with nothing after it still is a message.
    EXPECT_EQ(Split("From - x\r\n\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n"),
              (std::vector<Message>{{"", "From - x", 0}, {"S: 1\r\n", "From a@b Tue Mar 05 09:07:03 2024", 6}}));
}

TEST(MessageSplitter, StopsWhenTheSinkRefuses)
{
    int calls = 0;
    MessageSplitter splitter([&](const SplitMessage &) {
        ++calls;
        return false;
    });
    EXPECT_FALSE(splitter.Feed("From a@b Tue Mar 05 09:07:03 2024\nS: 1\n\n"
                               "From c@d Tue Mar 05 09:07:03 2024\nS: 2\n\n"
                               "From e@f Tue Mar 05 09:07:03 2024\nS: 3\n"));
    EXPECT_FALSE(splitter.Feed("more\n"));
    EXPECT_FALSE(splitter.Finish());
    EXPECT_EQ(calls, 1);
}

TEST(MessageSplitter, CountsProgressLinesEndedByCrOrCrLf)
{
    EXPECT_EQ(LineCounts(""), (std::vector<std::uint64_t>{}));
    EXPECT_EQ(LineCounts("a\r\nbcdef"), (std::vector<std::uint64_t>{3, 10}));
    EXPECT_EQ(LineCounts("a\nb\nc\n"), (std::vector<std::uint64_t>{8}));
    EXPECT_EQ(LineCounts("a\rb\r"), (std::vector<std::uint64_t>{3, 6}));
    EXPECT_EQ(LineCounts("\r\n"), (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(LineCounts("\r\n\n"), (std::vector<std::uint64_t>{2, 5}));
    EXPECT_EQ(LineCounts("\n\r"), (std::vector<std::uint64_t>{3}));
    // Envelope lines, quoted lines and split points count like any other.
    EXPECT_EQ(LineCounts("From a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n\r\nFrom x\r\n\r\n"
                         "From c@d Tue Mar 05 09:07:03 2024\r\n"),
              (std::vector<std::uint64_t>{35, 41, 43, 51, 53, 88}));

    std::string crlf;
    while (crlf.size() < 300)
        crlf += "0123456789\r\n";
    crlf.resize(298);
    crlf += "\r\n";
    EXPECT_EQ(LineCounts(crlf).back(), 300u);
}

TEST(MessageSplitter, GivesTheSameResultWhereverTheChunksAreCut)
{
    const std::vector<std::string> inputs = {
        "From - Tue Jan 05 10:00:00 2010\r\n" + kStatus + "\r\nFrom: a@b\r\n\r\n"
            "From x\r\n>From y\r\r\n\r\nFrom z\r\nFrom\rFro\n>>>From \r\n\r\n"
            "From - Wed Jan 06 10:00:00 2010\r\n" + kStatus + "\r\nS: 2\r\n\r\n"
            "\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 3\r\n\r\nFrom me\r\nX-Opera-Status\r\nend",
        "From a@b Tue Mar 05 09:07:03 2024\nS: 1\n\nFrom x\n\n\nFrom c@d Wed Mar 06 10:00:00 2024\n"
            "S: 2\n\n>From \n\nFrom e\nX-Opera-Status: 1\nlast\n",
        "\r\r\n\n\r>From\r\n\rFrom\r\rFrom x\r\r",
        "a long first line to get past sixteen bytes\r\n\r\nFrom here\r\nX-Opera-Status: 0\r\nplain text "
            "line\r\nanother plain text line\nand one ending in CR\rlast",
    };
    for (const std::string &input : inputs) {
        const Result whole = Scan(input, {});
        ASSERT_FALSE(whole.messages.empty());
        for (std::size_t cut = 0; cut <= input.size(); ++cut)
            EXPECT_EQ(Scan(input, {cut}), whole) << "cut at " << cut;
        for (std::size_t size = 1; size <= 9; ++size)
            EXPECT_EQ(ScanInChunksOf(input, size), whole) << "chunks of " << size;
    }
}
