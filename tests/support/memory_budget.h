#pragma once
// Running a piece of test work with little memory to spare, to show that
// hostile input is read within a bound and that running short of memory is
// survived.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#if defined(__SANITIZE_ADDRESS__)
#define TOVALY_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOVALY_ADDRESS_SANITIZER 1
#endif
#endif

namespace tovaly::test_support {

/// Far more than reading one header or envelope line needs, far less than
/// any of the hostile inputs the tests feed.
inline constexpr std::size_t kReaderBudget = 48u << 20;

/// Runs `work` in a child process whose address space may grow by `budget`
/// bytes at most, the way `ulimit -v` limits a whole run. The child's exit
/// status: 0 when `work` returned true, 1 when it returned false or threw,
/// 3 when the limit could not be set, or minus the signal that killed it
/// (GLib aborts when an allocation fails). With AddressSanitizer, which
/// reserves address space by the terabyte, the work runs here without a
/// limit, so its results are checked all the same.
int RunWithinMemoryBudget(std::size_t budget, const std::function<bool()> &work);

/// `piece` `times` times over.
std::string Repeated(std::string_view piece, std::size_t times);

} // namespace tovaly::test_support
