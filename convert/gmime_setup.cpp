#include "gmime_setup.h"

#include <gmime/gmime.h>

#include <cstdlib>
#include <new>

namespace tovaly::detail {

namespace {

// GLib ends the process when an allocation fails. GMime is handed at most
// kMaxFieldBytes, for which it takes up to about 4 MB (a list of groups);
// before it runs, make sure twice that is there, and otherwise fail the way
// any C++ allocation fails, so only the message at hand is given up.
void RequireRoomForGMime()
{
    constexpr std::size_t kRoom = 8 * 1024 * 1024;
    void *room = std::malloc(kRoom);
    if (!room)
        throw std::bad_alloc();
    std::free(room);
}

} // namespace

void EnsureGMime()
{
    RequireRoomForGMime();
    static const bool initialised = [] {
        g_mime_init();
        return true;
    }();
    (void)initialised;
}

} // namespace tovaly::detail
