#pragma once
// GMime as the header readers use it, as their last resort. Internal to the
// conversion core.

namespace tovaly::detail {

// Sets GMime up on the first call from any thread. GLib ends the process
// when an allocation fails: when memory is too short for what GMime may
// take on one header value, this throws std::bad_alloc instead, so only the
// message at hand is given up.
void EnsureGMime();

} // namespace tovaly::detail
