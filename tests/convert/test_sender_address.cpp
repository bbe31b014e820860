#include "sender_address.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

using namespace tovaly;

namespace {

// Sender values of every shape: bare, in angle brackets, with a display name
// (atoms, quoted strings, encoded words, commas, 8-bit text) or a comment,
// lists and groups, odd local parts and domains (IDN, literals, dots).
std::vector<std::string> AddressForms(std::size_t count)
{
    const std::vector<std::string> locals = {
        "ann", "ann.smith", "a",   "a+b",     "o'neil", "a..b", ".a",
        "a.",  "x=y",       "a?b", "\"a b\"", "a b",    "{x}",  "a!b#c$d&e*f/g^h`i|j~k",
        "",    "=?x?="};
    const std::vector<std::string> domains = {"example.org",
                                              "EXAMPLE.ORG",
                                              "ex-ample.org",
                                              "example",
                                              "xn--bcher-kva.de",
                                              "a.xn--p1ai",
                                              "XN--abc.de",
                                              "[10.0.0.1]",
                                              "example..org",
                                              "example.org.",
                                              ".example.org",
                                              "e_x.org",
                                              ""};
    const std::vector<std::string> names = {"",
                                            "Ann",
                                            "Ann Smith",
                                            "\"Ann Smith\"",
                                            "\"Smith, Ann\"",
                                            "Smith, Ann",
                                            "J. Smith",
                                            "Ann (x)",
                                            "=?UTF-8?B?w5hkZWfDpXJk?=",
                                            "=?utf-8?q?a=2Cb?=",
                                            "\"a\\\"b\"",
                                            "\xD8"
                                            "le",
                                            "\"\xC3\x98"
                                            "deg\xC3\xA5rd\"",
                                            "ann@example.org",
                                            "Ann:",
                                            "a;b",
                                            "\"<x@y>\"",
                                            "'Ann'",
                                            "Ann.",
                                            "\"\"",
                                            "Ann\tSmith"};
    const std::vector<std::string> shapes = {"A",         "<A>",     "N <A>", "N<A>",     "A (N)",        "A(N)",
                                             "  A  ",     "N <A> ",  "<A> N", "A, b@c.d", "N <A>, x@y.z", "g: A;",
                                             "A (a(b)c)", "A (open", "A ()",  "\tN\t<A>"};
    std::mt19937 random(19691231);
    const auto pick = [&](const std::vector<std::string> &from) { return from[random() % from.size()]; };
    std::vector<std::string> forms;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string address = pick(locals) + (random() % 20 == 0 ? "" : "@") + pick(domains);
        const std::string name = pick(names);
        std::string form;
        for (char c : pick(shapes))
            form += c == 'A' ? address : c == 'N' ? name : std::string(1, c);
        forms.push_back(form);
    }
    return forms;
}

} // namespace

TEST(SenderAddress, ReadByHandAsGMimeReadsIt)
{
    std::size_t quick = 0;
    for (const std::string &form : AddressForms(30000)) {
        const auto plain = detail::PlainSenderAddress(form);
        if (!plain)
            continue;
        ++quick;
        EXPECT_EQ(detail::GMimeSenderAddress(form), *plain) << form;
    }
    EXPECT_GT(quick, 1000u);

    for (const char *common :
         {"ann@example.org", " <ann@example.org>", "Ann Smith <ann@example.org>", "\"Smith, Ann\" <ann@example.org>",
          "=?UTF-8?B?w5hkZWfDpXJk?= <ann@example.org>", "ann@example.org (Ann Smith)"})
        EXPECT_EQ(detail::PlainSenderAddress(common), "ann@example.org") << common;
    for (const char *other : {"ann@xn--bcher-kva.de", "\"a b\"@example.org", "Smith, Ann <ann@example.org>",
                              "ann@example.org, bob@example.org", "team: ann@example.org;", "ann@[10.0.0.1]",
                              "Ann <ann\x01x@example.org>", "ann", "=?x?=@example.org", ""})
        EXPECT_FALSE(detail::PlainSenderAddress(other).has_value()) << other;
}
