// The output-path mapping on arbitrary paths: in both path styles, the
// mailbox of any source path lies inside the output root, below its mirror
// folder, with a name that fits a file name.
//
// Input: one byte whose lowest bit chooses the style (1: Windows), then the
// source path; a NUL byte, when there is one, ends the source path and
// starts the output root (a fixed root when that is empty).
#include "fuzz_report.h"
#include "output_layout.h"
#include "record_file_io.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    using tovaly::PathStyle;
    if (size == 0)
        return 0;
    const PathStyle style = (data[0] & 1) != 0 ? PathStyle::Windows : PathStyle::Posix;
    const std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    const auto nul = input.find('\0');
    const std::string_view source = input.substr(0, nul);
    std::string_view root = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
    if (root.empty())
        root = style == PathStyle::Windows ? R"(E:\Export\)" : "/export/";

    const tovaly::MailboxLocation location = tovaly::MailboxPathFor(source, root, style);
    const std::string mailbox = location.Path();
    const std::string mirror = location.MirrorFolder();
    const auto require = [&](bool condition, const char *property) {
        tovaly::fuzz::Require(condition, property,
                              {{"style", style == PathStyle::Windows ? "Windows" : "POSIX"},
                               {"source", source},
                               {"root", root},
                               {"mailbox", mailbox}});
    };

    // The root as the platform reads it: Windows takes "/" as "\" too.
    const char sep = tovaly::PathSeparator(style);
    std::string top(root);
    if (style == PathStyle::Windows) {
        for (char &c : top)
            c = c == '/' ? '\\' : c;
    }
    top = tovaly::WithTrailingSeparator(top, style);
    require(mirror.starts_with(top), "the mirror folder lies under the output root");
    require(mirror.back() == sep, "the mirror folder ends in a separator");
    require(mailbox.starts_with(mirror), "the mailbox lies in its mirror folder");

    // Below the root: plain names only, none that climbs or stays put.
    const char *separators = style == PathStyle::Windows ? "\\/" : "/";
    std::string_view below = std::string_view(mailbox).substr(top.size());
    while (!below.empty()) {
        const auto end = below.find_first_of(separators);
        const std::string_view part = below.substr(0, end);
        require(!part.empty() && part != "." && part != "..", "no empty, \".\" or \"..\" name below the root");
        below = end == std::string_view::npos ? std::string_view() : below.substr(end + 1);
    }

    const std::string name = mailbox.substr(mirror.size());
    require(name.size() > 5 && name.size() <= 255 && name.ends_with(".mbox"),
            "a mailbox name of at most 255 bytes ending in .mbox");
    require(name.find_first_of(separators) == std::string::npos, "a mailbox name without a separator");

    // A pure function: the same answer every time.
    require(tovaly::MailboxPathFor(source, root, style) == location, "the same mailbox every time");
    require(tovaly::NamesStayBelowRoot(location), "every folder and the file one name below the root");
    return 0;
}
