#include "prefetching_file_io.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>

namespace tovaly {

namespace {

bool NamedMbs(std::string_view path)
{
    constexpr std::string_view kExtension = ".mbs";
    if (path.size() < kExtension.size())
        return false;
    const std::string_view tail = path.substr(path.size() - kExtension.size());
    return std::equal(tail.begin(), tail.end(), kExtension.begin(),
                      [](char a, char b) { return (a >= 'A' && a <= 'Z' ? a - 'A' + 'a' : a) == b; });
}

// Reads until `size` bytes are there, the end of the file or an error: the
// bytes read. Whatever stopped it is met again by the next read.
std::size_t ReadUpTo(RecordFileIo &io, int fd, char *buffer, std::size_t size)
{
    std::size_t got = 0;
    while (got < size) {
        const IoResult<std::size_t> read = io.Read(fd, buffer + got, size - got);
        if (read.error == std::errc::interrupted)
            continue;
        if (read.error || read.value == 0)
            break;
        got += read.value;
    }
    return got;
}

} // namespace

PrefetchingFileIo::PrefetchingFileIo(const std::vector<std::string> &sources) : m_sources(sources)
{
    if (sources.size() < 2)
        return; // nothing to read ahead of
    try {
        m_buffer = std::make_unique_for_overwrite<char[]>(kBufferBytes);
        m_thread = std::thread([this] { Work(); });
    } catch (const std::bad_alloc &) {
        m_buffer.reset();
    } catch (const std::system_error &) {
        m_buffer.reset();
    }
}

PrefetchingFileIo::~PrefetchingFileIo()
{
    if (!m_thread.joinable())
        return;
    {
        const std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_workerWake.notify_one();
    m_thread.join();
    for (std::size_t k = 0; k < m_count; ++k) {
        if (At(k).fd >= 0 && !At(k).released && &At(k) != m_current)
            (void)m_system.Close(At(k).fd);
    }
    for (std::size_t k = 0; k < m_closingCount; ++k)
        (void)m_system.Close(m_closing[k]);
}

std::size_t PrefetchingFileIo::HandedOver() const
{
    return m_handedOver;
}

void PrefetchingFileIo::Work()
{
    std::array<int, kSlots> closing{};
    std::size_t index = 0;
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_closingCount > 0) {
            const std::size_t count = std::exchange(m_closingCount, 0);
            std::copy_n(m_closing.begin(), count, closing.begin());
            lock.unlock();
            for (std::size_t k = 0; k < count; ++k)
                (void)m_system.Close(closing[k]);
            lock.lock();
            continue;
        }
        if (m_quit)
            break;
        index = std::max(index, m_wanted);
        if (index >= m_sources.size())
            break;
        if (m_count == kSlots) {
            m_workerWaiting = true;
            m_workerWake.wait(lock);
            m_workerWaiting = false;
            continue;
        }
        Slot &slot = At(m_count);
        slot = Slot{};
        slot.index = index++;
        ++m_count;
        lock.unlock();
        Fill(slot, lock);
        lock.lock();
        slot.ready = true;
        if (m_mainWaiting)
            m_slotReady.notify_one();
    }
    m_done = true;
    m_slotReady.notify_one();
}

// Opens and reads the slot's source, or leaves it to the conversion (fd -1).
// Called without `lock`, which it takes only to find room in the buffer, and
// returns without it.
void PrefetchingFileIo::Fill(Slot &slot, std::unique_lock<std::mutex> &lock)
{
    const std::string &path = m_sources[slot.index];
    if (!NamedMbs(path))
        return;
    const IoResult<int> opened = m_system.OpenSource(path);
    if (!opened)
        return;
    const int fd = opened.value;
    FileStatus status;
    if (m_system.Stat(fd, status) || !status.regular || status.links != 1 || status.size > kBufferBytes / 2) {
        (void)m_system.Close(fd);
        return;
    }
    const auto size = static_cast<std::size_t>(status.size);
    std::size_t offset = 0;
    lock.lock();
    while (!Allocate(size, offset)) {
        // Room comes as the conversion hands back sources read ahead; with
        // none waiting for it, this one is left to the conversion.
        bool queued = false;
        for (std::size_t k = 0; k + 1 < m_count && !queued; ++k)
            queued = At(k).ready && !At(k).taken && !At(k).released;
        if (!queued || m_quit) {
            lock.unlock();
            (void)m_system.Close(fd);
            return;
        }
        m_workerWaiting = true;
        m_workerWake.wait(lock);
        m_workerWaiting = false;
    }
    slot.offset = offset;
    slot.reserved = size;
    m_head = offset + size;
    lock.unlock();

    slot.length = ReadUpTo(m_system, fd, m_buffer.get() + offset, size);
    if (slot.length == size) {
        // The byte that tells whether it grew, read now as the conversion
        // would read it after the rest.
        IoResult<std::size_t> more;
        do {
            more = m_system.Read(fd, &slot.extra, 1);
        } while (more.error == std::errc::interrupted);
        slot.probed = !more.error;
        slot.more = slot.probed && more.value == 1;
    }
    slot.fd = fd;
    slot.status = status;
}

// Finds room for `size` bytes after the bytes of the slots still held, in the
// buffer used as a ring; never so that the last free byte is taken, which
// would make a full ring look empty.
bool PrefetchingFileIo::Allocate(std::size_t size, std::size_t &offset) const
{
    std::size_t k = 0;
    while (k < m_count && At(k).reserved == 0)
        ++k;
    if (k == m_count) {
        offset = 0;
        return size <= kBufferBytes;
    }
    const std::size_t front = At(k).offset;
    if (m_head >= front) {
        if (kBufferBytes - m_head >= size) {
            offset = m_head;
            return true;
        }
        offset = 0;
        return front > size;
    }
    offset = m_head;
    return front - m_head > size;
}

// Gives up the oldest slots the conversion is done with.
void PrefetchingFileIo::DropFront()
{
    while (m_count > 0 && At(0).released) {
        At(0) = Slot{};
        m_first = (m_first + 1) % kSlots;
        --m_count;
    }
    if (m_count <= kSlots / 2 && m_workerWaiting)
        m_workerWake.notify_one();
}

void PrefetchingFileIo::CloseLater(int fd)
{
    if (!m_done && m_closingCount < m_closing.size()) {
        m_closing[m_closingCount++] = fd;
        return;
    }
    (void)m_system.Close(fd);
}

IoResult<int> PrefetchingFileIo::OpenSource(const std::string &path)
{
    if (!m_thread.joinable() || m_current)
        return RecordFileIo::OpenSource(path);
    std::unique_lock lock(m_mutex);
    // The next source, or one a little after it when those between were
    // not asked for (their folders could not be made).
    const std::size_t last = std::min(m_sources.size(), m_wanted + kSlots);
    std::size_t wanted = m_wanted;
    while (wanted < last && m_sources[wanted] != path)
        ++wanted;
    if (wanted == last) {
        lock.unlock();
        return RecordFileIo::OpenSource(path);
    }
    m_wanted = wanted;
    Slot *found = nullptr;
    for (;;) {
        found = nullptr;
        bool filling = false;
        for (std::size_t k = 0; k < m_count; ++k) {
            Slot &slot = At(k);
            if (slot.index < wanted && slot.ready && !slot.taken && !slot.released) {
                slot.released = true;
                if (slot.fd >= 0)
                    CloseLater(slot.fd);
            } else if (slot.index < wanted && !slot.ready) {
                filling = true;
            } else if (slot.index == wanted) {
                found = &slot;
            }
        }
        DropFront();
        if (found && found->ready)
            break;
        if (!found && !filling && (m_done || m_count == kSlots))
            break; // it will not come: the system opens it
        if (m_workerWaiting)
            m_workerWake.notify_one();
        m_mainWaiting = true;
        m_slotReady.wait(lock);
        m_mainWaiting = false;
    }
    m_wanted = wanted + 1;
    if (!found || found->fd < 0) {
        if (found) {
            found->released = true;
            DropFront();
        }
        lock.unlock();
        return RecordFileIo::OpenSource(path);
    }
    found->taken = true;
    m_current = found;
    ++m_handedOver;
    return {found->fd, {}};
}

std::error_code PrefetchingFileIo::Stat(int fd, FileStatus &status)
{
    if (!m_current || m_current->fd != fd)
        return RecordFileIo::Stat(fd, status);
    status = m_current->status;
    return {};
}

IoResult<std::string_view> PrefetchingFileIo::ReadView(int fd, std::span<char> scratch)
{
    if (!m_current || m_current->fd != fd || m_current->consumed == m_current->length)
        return RecordFileIo::ReadView(fd, scratch);
    const std::size_t size = std::min(scratch.size(), m_current->length - m_current->consumed);
    const char *data = m_buffer.get() + m_current->offset + m_current->consumed;
    m_current->consumed += size;
    return {std::string_view(data, size), {}};
}

IoResult<std::size_t> PrefetchingFileIo::Read(int fd, char *buffer, std::size_t size)
{
    if (!m_current || m_current->fd != fd || size == 0)
        return RecordFileIo::Read(fd, buffer, size);
    Slot &slot = *m_current;
    if (slot.consumed < slot.length) {
        const std::size_t n = std::min(size, slot.length - slot.consumed);
        std::memcpy(buffer, m_buffer.get() + slot.offset + slot.consumed, n);
        slot.consumed += n;
        return {n, {}};
    }
    if (!slot.probed)
        return RecordFileIo::Read(fd, buffer, size);
    slot.probed = false; // what follows is read from the file
    if (!slot.more)
        return {0, {}};
    buffer[0] = slot.extra;
    return {1, {}};
}

std::error_code PrefetchingFileIo::Close(int fd)
{
    if (!m_current || m_current->fd != fd)
        return RecordFileIo::Close(fd);
    const std::lock_guard lock(m_mutex);
    m_current->released = true;
    m_current = nullptr;
    CloseLater(fd); // read only: its close has nothing to report
    DropFront();
    return {};
}

} // namespace tovaly
