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
        << " envelope=" << (m.envelope ? testing::PrintToString(*m.envelope) : "none") << " header=" << m.headerSize
        << "}";
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

using tovaly::LineEnds;

// Feeds `input` cut at the given offsets (ascending) and collects the messages
// and the progress line counts.
Result Scan(std::string_view input, const std::vector<std::size_t> &cuts, LineEnds lineEnds = LineEnds::CrLf)
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
        lineEnds, 0, [&](std::uint64_t bytesSoFar) { result.lineCounts.push_back(bytesSoFar); });
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        EXPECT_TRUE(splitter.Feed(input.substr(from, cut - from)));
        from = cut;
    }
    EXPECT_TRUE(splitter.Feed(input.substr(from)));
    EXPECT_TRUE(splitter.Finish());
    return result;
}

std::vector<std::uint64_t> LineCounts(std::string_view input)
{
    return Scan(input, {}).lineCounts;
}

std::vector<Message> Split(std::string_view input, LineEnds lineEnds = LineEnds::CrLf)
{
    return Scan(input, {}, lineEnds).messages;
}

Result ScanInChunksOf(std::string_view input, std::size_t size, LineEnds lineEnds)
{
    std::vector<std::size_t> cuts;
    for (std::size_t at = size; at < input.size(); at += size)
        cuts.push_back(at);
    return Scan(input, cuts, lineEnds);
}

// The texts of the messages only.
std::vector<std::string> Texts(std::string_view input, LineEnds lineEnds = LineEnds::CrLf)
{
    std::vector<std::string> texts;
    for (const Message &m : Split(input, lineEnds))
        texts.push_back(m.text);
    return texts;
}

const std::string kStatus = "X-Opera-Status: 00" + std::string(112, '0');

} // namespace

TEST(MessageSplitter, FirstFromLineIsTheEnvelope)
{
    const std::string input = "From - Tue Jan 05 10:00:00 2010\r\n" + kStatus +
                              "\r\nX-Opera-Location: /mail/store/1.mbs\r\n"
                              "Date: Mon, 5 Jan 2010 10:00:00 +0000\r\n\r\nFrom body\r\n";
    const std::string text = kStatus + "\r\nX-Opera-Location: /mail/store/1.mbs\r\n"
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

TEST(MessageSplitter, EveryLineEndBecomesTheOneOfTheMode)
{
    // CR LF, a lone CR, a lone LF, a CR before a CR LF, and a last line
    // without a line end.
    const std::string input = "A: 1\r\nB: 2\rC: 3\n\r\r\nbody\r\nlast";
    EXPECT_EQ(Split(input, LineEnds::Lf), (std::vector<Message>{{"A: 1\nB: 2\nC: 3\n\n\nbody\nlast", {}, 16}}));
    EXPECT_EQ(Split(input, LineEnds::CrLf),
              (std::vector<Message>{{"A: 1\r\nB: 2\r\nC: 3\r\n\r\n\r\nbody\r\nlast", {}, 20}}));
    // Quoted lines and envelope lines too.
    EXPECT_EQ(Split("From a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n\r\nFrom x\r>From y\r\n", LineEnds::Lf),
              (std::vector<Message>{{"S: 1\n\n>From x\n>>From y\n", "From a@b Tue Mar 05 09:07:03 2024", 6}}));
    EXPECT_EQ(Split("S: 1\n\n>From y\nz\n", LineEnds::CrLf),
              (std::vector<Message>{{"S: 1\r\n\r\n>>From y\r\nz\r\n", {}, 8}}));
}

TEST(MessageSplitter, FromLineAfterEmptyLineStaysInTheBodyUnlessItStartsAMessage)
{
    const std::string opera = "From - Tue Jan 05 10:00:00 2010\r\n" + kStatus + "\r\nS: 1\r\n\r\n";
    const std::string text = kStatus + "\r\nS: 1\r\n\r\n";
    // In an Opera store file: not followed by an Opera status line.
    EXPECT_EQ(Texts(opera + "From me to you\r\nX-Opera-Stat\r\n"),
              (std::vector<std::string>{text + ">From me to you\r\nX-Opera-Stat\r\n"}));
    // Nothing after it, or only the start of a status line.
    EXPECT_EQ(Texts(opera + "From me"), (std::vector<std::string>{text + ">From me"}));
    EXPECT_EQ(Texts(opera + "From me\r\n"), (std::vector<std::string>{text + ">From me\r\n"}));
    EXPECT_EQ(Texts(opera + "From me\r\nX-Opera"), (std::vector<std::string>{text + ">From me\r\nX-Opera"}));
    // Followed by an empty line, then by another From line.
    EXPECT_EQ(Texts(opera + "From a\r\n\r\nFrom b\r\nFrom c\r\n"),
              (std::vector<std::string>{text + ">From a\r\n\r\n>From b\r\n>From c\r\n"}));
    // A well-formed envelope that does not follow an empty line.
    EXPECT_EQ(Texts("From x@y Tue Mar 05 09:07:03 2024\r\nS: 1\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\n"),
              (std::vector<std::string>{"S: 1\r\n>From a@b Tue Mar 05 09:07:03 2024\r\n"}));
}

TEST(MessageSplitter, ASourceWithoutALeadingEnvelopeIsOneMessage)
{
    // A forwarded message whose own envelope line follows an empty line.
    const std::string forwarded = "From: ann@example.org\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
                                  "--b\r\nContent-Type: message/rfc822\r\n\r\n"
                                  "From xxxx@xxxx.com Tue May 10 11:28:07 2005\r\nFrom: xxxx@xxxx.com\r\n\r\n"
                                  "Hello\r\n--b--\r\n";
    std::string quoted = forwarded;
    quoted.insert(quoted.find("From xxxx"), ">");
    EXPECT_EQ(Split(forwarded), (std::vector<Message>{{quoted, {}, 68}}));

    // Neither a well-formed envelope nor an Opera one splits it.
    EXPECT_EQ(Texts("S: 1\r\n\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 2\r\n\r\nFrom - x\r\n" + kStatus + "\r\n"),
              (std::vector<std::string>{"S: 1\r\n\r\n>From a@b Tue Mar 05 09:07:03 2024\r\nS: 2\r\n\r\n>From - x\r\n" +
                                        kStatus + "\r\n"}));
    // Nor does an envelope after an empty first line.
    EXPECT_EQ(Split("\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n"),
              (std::vector<Message>{{"\r\n>From a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n", {}, 2}}));
}

TEST(MessageSplitter, AnOperaStoreFileSplitsOnlyAtOperaEnvelopes)
{
    const std::string input = "From - Fri Mar 01 12:00:05 2024\r\n" + kStatus + "\r\nS: 1\r\n\r\none\r\n\r\n" +
                              "From a@b Tue Mar 05 09:07:03 2024\r\nnot a message\r\n\r\n" +
                              "From - Sat Mar 02 13:30:00 2024\r\n" + kStatus + "\r\nS: 2\r\n\r\ntwo\r\n";
    EXPECT_EQ(Split(input),
              (std::vector<Message>{
                  {kStatus + "\r\nS: 1\r\n\r\none\r\n\r\n>From a@b Tue Mar 05 09:07:03 2024\r\nnot a message\r\n",
                   "From - Fri Mar 01 12:00:05 2024", kStatus.size() + 10},
                  {kStatus + "\r\nS: 2\r\n\r\ntwo\r\n", "From - Sat Mar 02 13:30:00 2024", kStatus.size() + 10}}));
}

TEST(MessageSplitter, AnMboxFileSplitsOnlyAtWellFormedEnvelopes)
{
    const std::string input = "From a@b Sat Jul  8 10:27 MET 2000\nS: 1\n\n"
                              "From - x\n" +
                              kStatus +
                              "\n\n"
                              "From the desk of\n\n"
                              "From c@d Wed Aug  2 00:39:12 MET DST 1995\nS: 2\n\n"
                              "From e at example.org  Wed Oct 25 17:46:03 2017\nS: 3\n";
    EXPECT_EQ(Split(input, LineEnds::Lf),
              (std::vector<Message>{{"S: 1\n\n>From - x\n" + kStatus + "\n\n>From the desk of\n",
                                     "From a@b Sat Jul  8 10:27 MET 2000", 6},
                                    {"S: 2\n", "From c@d Wed Aug  2 00:39:12 MET DST 1995", 5},
                                    {"S: 3\n", "From e at example.org  Wed Oct 25 17:46:03 2017", 5}}));
    // An envelope that is neither (no date) still makes an mbox file.
    EXPECT_EQ(Split("From - x\r\n\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n"),
              (std::vector<Message>{{"", "From - x", 0}, {"S: 1\r\n", "From a@b Tue Mar 05 09:07:03 2024", 6}}));
}

TEST(MessageSplitter, AMailboxLosesTheEmptyLineThatEndsIt)
{
    // Every message of a mailbox, the last one too, ends without the
    // separating empty line; only one empty line is taken.
    EXPECT_EQ(Texts("From a@b Tue Mar 05 09:07:03 2024\nS: 1\n\nbody\n\nFrom c@d Tue Mar 05 09:07:04 2024\n"
                    "S: 2\n\nbody\n\n",
                    LineEnds::Lf),
              (std::vector<std::string>{"S: 1\n\nbody\n", "S: 2\n\nbody\n"}));
    EXPECT_EQ(Texts("From a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n\r\nbody\r\n\r\n\r\n"),
              (std::vector<std::string>{"S: 1\r\n\r\nbody\r\n\r\n"}));
    EXPECT_EQ(Texts("From - Tue Mar 05 09:07:03 2024\r\n" + kStatus + "\r\nS: 1\r\n\r\nbody\r\n\r\n"),
              (std::vector<std::string>{kStatus + "\r\nS: 1\r\n\r\nbody\r\n"}));
    EXPECT_EQ(Texts("From a@b Tue Mar 05 09:07:03 2024\n\n"), (std::vector<std::string>{""}));
    // A message file without an envelope keeps its last empty line.
    EXPECT_EQ(Texts("S: 1\r\n\r\nbody\r\n\r\n"), (std::vector<std::string>{"S: 1\r\n\r\nbody\r\n\r\n"}));
    EXPECT_EQ(Texts("\r\n"), (std::vector<std::string>{"\r\n"}));
}

TEST(MessageSplitter, SplitRightAtTheEndGivesAnEmptyLastMessage)
{
    EXPECT_EQ(Split("From x@y Tue Mar 05 09:07:03 2024\r\nS: 1\r\n\r\nFrom a@b Tue Mar 05 09:07:03 2024"),
              (std::vector<Message>{{"S: 1\r\n", "From x@y Tue Mar 05 09:07:03 2024", 6},
                                    {"", "From a@b Tue Mar 05 09:07:03 2024", 0}}));
    EXPECT_EQ(Split("From - Mon Mar 04 09:07:03 2024\r\n" + kStatus +
                    "\r\nS: 1\r\n\r\nFrom - Tue Mar 05 09:07:03 2024\r\n" + kStatus),
              (std::vector<Message>{{kStatus + "\r\nS: 1\r\n", "From - Mon Mar 04 09:07:03 2024", kStatus.size() + 8},
                                    {kStatus, "From - Tue Mar 05 09:07:03 2024", kStatus.size()}}));
}

TEST(MessageSplitter, StopsWhenTheSinkRefuses)
{
    int calls = 0;
    MessageSplitter splitter(
        [&](const SplitMessage &) {
            ++calls;
            return false;
        },
        LineEnds::Lf);
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
    const std::string mbox = "From a@b Tue Mar 05 09:07:03 2024\r\nS: 1\r\n\r\nFrom x\r\n\r\n"
                             "From c@d Tue Mar 05 09:07:03 2024\r\n";
    EXPECT_EQ(LineCounts(mbox), (std::vector<std::uint64_t>{35, 41, 43, 51, 53, 88}));
    // Whatever the mailbox is written with.
    EXPECT_EQ(Scan(mbox, {}, LineEnds::Lf).lineCounts, LineCounts(mbox));
    EXPECT_EQ(Scan("a\nb\rc\r\n", {}, LineEnds::Lf).lineCounts, LineCounts("a\nb\rc\r\n"));

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
        "From - Tue Jan 05 10:00:00 2010\r\n" + kStatus +
            "\r\nFrom: a@b\r\n\r\n"
            "From x\r\n>From y\r\r\n\r\nFrom z\r\nFrom\rFro\n>>>From \r\n\r\n"
            "From - Wed Jan 06 10:00:00 2010\r\n" +
            kStatus +
            "\r\nS: 2\r\n\r\n"
            "\r\nFrom a@b Tue Mar 05 09:07:03 2024\r\nS: 3\r\n\r\nFrom me\r\nX-Opera-Status\r\nend\r\n\r\n",
        "From a@b Tue Mar 05 09:07:03 2024\nS: 1\n\nFrom x\n\n\nFrom c@d Wed Mar 06 10:00:00 2024\n"
        "S: 2\n\n>From \n\nFrom e\nX-Opera-Status: 1\n\nFrom f@g Sat Jul  8 10:27 MET 2000\nlast\n\n",
        "\r\r\n\n\r>From\r\n\rFrom\r\rFrom x\r\r",
        "a long first line to get past sixteen bytes\r\n\r\nFrom here\r\nX-Opera-Status: 0\r\nplain text "
        "line\r\nanother plain text line\nand one ending in CR\rlast",
        "From x\r" + kStatus + "\r\rFrom y\r" + kStatus + "\rS: 2\r\r",
        "From x\n\n",
    };
    for (const LineEnds lineEnds : {LineEnds::Lf, LineEnds::CrLf}) {
        for (const std::string &input : inputs) {
            SCOPED_TRACE(testing::PrintToString(input) + (lineEnds == LineEnds::Lf ? " LF" : " CR LF"));
            const Result whole = Scan(input, {}, lineEnds);
            ASSERT_FALSE(whole.messages.empty());
            for (std::size_t cut = 0; cut <= input.size(); ++cut)
                EXPECT_EQ(Scan(input, {cut}, lineEnds), whole) << "cut at " << cut;
            for (std::size_t size = 1; size <= 9; ++size)
                EXPECT_EQ(ScanInChunksOf(input, size, lineEnds), whole) << "chunks of " << size;
        }
    }
}

// Written with LF, a message is its CR LF text with every CR LF made an LF:
// the two are cut by different loops, so each checks the other, across lines
// of every length around the 16-byte blocks the LF loop copies in and every
// place a chunk can end.
TEST(MessageSplitter, WrittenWithLfIsTheCrLfTextWithLfLineEnds)
{
    std::vector<std::string> inputs;
    for (const std::string ending : {"\r\n", "\n", "\r"}) {
        std::string input;
        for (std::size_t length = 0; length <= 40; ++length) {
            std::string line(length, 'a');
            for (std::size_t i = 0; i < length; ++i)
                line[i] = static_cast<char>('a' + (i * 7 + length) % 26);
            if (length % 9 == 4)
                line.insert(0, length % 2 == 0 ? ">" : "From ");
            input += line + ending;
        }
        inputs.push_back(input);
        inputs.push_back(input + "an unfinished last line longer than sixteen bytes");
        inputs.push_back("From x\r\n" + kStatus + "\r\n" + input);
    }
    const auto asLf = [](std::string text) {
        for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at))
            text.erase(at, 1);
        return text;
    };
    for (const std::string &input : inputs) {
        SCOPED_TRACE(testing::PrintToString(input));
        for (std::size_t cut = 0; cut <= input.size(); ++cut) {
            const Result crLf = Scan(input, {cut}, LineEnds::CrLf);
            const Result lf = Scan(input, {cut}, LineEnds::Lf);
            ASSERT_EQ(lf.messages.size(), crLf.messages.size()) << "cut at " << cut;
            EXPECT_EQ(lf.lineCounts, crLf.lineCounts) << "cut at " << cut;
            for (std::size_t i = 0; i < lf.messages.size(); ++i) {
                const Message &expected = crLf.messages[i];
                EXPECT_EQ(lf.messages[i].text, asLf(expected.text)) << "cut at " << cut;
                EXPECT_EQ(lf.messages[i].headerSize, asLf(expected.text.substr(0, expected.headerSize)).size())
                    << "cut at " << cut;
                EXPECT_EQ(lf.messages[i].envelope, expected.envelope) << "cut at " << cut;
            }
        }
    }
}
