#pragma once
// The file-name rule of the add-folder scan: which walked files are Opera
// message files.

#include <string_view>

namespace tovaly {

/// True when `path`, lower-cased (ASCII letters only) and without leading
/// and trailing spaces, ends in ".mbs". So "x.MBS" and a file named ".mbs"
/// count, "x.mbsx" and "x.mbs.bak" do not. Other white space is kept.
[[nodiscard]] bool HasMbsExtension(std::string_view path);

} // namespace tovaly
