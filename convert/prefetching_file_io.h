#pragma once
// Reading the next sources of a batch ahead, on a thread of their own, while
// the current one is converted: the file calls of a run that never yields
// (the command line) then overlap with its work on the text.

#include "record_file_io.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tovaly {

/// A RecordFileIo that opens, examines and reads the sources of a batch in
/// their order on a thread of its own, a few files ahead of the conversion,
/// and hands them to OpenSource, Stat, Read and Close as if they were being
/// read then. Everything else (mailboxes, sources asked for out of turn,
/// files it leaves alone) goes to the system as in RecordFileIo.
///
/// Only plain files named *.mbs with one name (no other hard link), small
/// enough for its buffer, are read ahead: never a file the run writes (those
/// are named *.mbox and *.lock). Whatever is unusual about a source (an
/// error, a FIFO, a folder) is left for the conversion to find as it would
/// without reading ahead, and the one byte it reads past a source's end
/// to see whether the source grew is read by the thread right after the
/// rest. Memory is bounded: one buffer of kBufferBytes and kSlots files.
class PrefetchingFileIo : public RecordFileIo {
public:
    static constexpr std::size_t kBufferBytes = std::size_t{2} << 20;
    static constexpr std::size_t kSlots = 64;

    /// Starts reading `sources` (kept by reference: they must outlive this
    /// object). When no thread can be started, it reads nothing ahead.
    explicit PrefetchingFileIo(const std::vector<std::string> &sources);
    ~PrefetchingFileIo() override;

    IoResult<int> OpenSource(const std::string &path) override;
    std::error_code Stat(int fd, FileStatus &status) override;
    IoResult<std::size_t> Read(int fd, char *buffer, std::size_t size) override;
    IoResult<std::string_view> ReadView(int fd, std::span<char> scratch) override;
    std::error_code Close(int fd) override;

    /// How many sources were handed over read ahead so far.
    std::size_t HandedOver() const;

private:
    // A source read ahead, or looked at and left to the conversion.
    struct Slot {
        std::size_t index = 0; // of the source in the list
        int fd = -1;           // open for reading; -1: left to the conversion
        FileStatus status;
        std::size_t offset = 0;   // of its bytes in the buffer
        std::size_t reserved = 0; // bytes of the buffer it holds
        std::size_t length = 0;   // bytes read ahead
        bool probed = false;      // the byte after them was asked for
        bool more = false;        // and was there: `extra`
        char extra = 0;
        bool ready = false;    // may be handed over
        bool taken = false;    // handed over: in use until Close
        bool released = false; // done with; its descriptor is closed or closing
        std::size_t consumed = 0;
    };

    void Work();
    void Fill(Slot &slot, std::unique_lock<std::mutex> &lock);
    bool Allocate(std::size_t size, std::size_t &offset) const;
    Slot &At(std::size_t k) { return m_slots[(m_first + k) % kSlots]; }
    const Slot &At(std::size_t k) const { return m_slots[(m_first + k) % kSlots]; }
    void DropFront();
    void CloseLater(int fd);

    const std::vector<std::string> &m_sources;
    RecordFileIo m_system; // what the thread calls
    std::unique_ptr<char[]> m_buffer;

    // Shared with the thread, under m_mutex. The thread allocates nothing:
    // every place it writes to is made here.
    mutable std::mutex m_mutex;
    std::condition_variable m_workerWake;
    std::condition_variable m_slotReady;
    std::array<Slot, kSlots> m_slots;
    std::size_t m_first = 0; // the oldest slot, which the conversion may hold
    std::size_t m_count = 0;
    std::size_t m_wanted = 0;            // the first source the conversion has not asked for
    std::size_t m_head = 0;              // where the next bytes go in the buffer
    std::array<int, kSlots> m_closing{}; // descriptors the thread closes for the conversion
    std::size_t m_closingCount = 0;
    bool m_workerWaiting = false;
    bool m_mainWaiting = false;
    bool m_quit = false;
    bool m_done = false;
    // The conversion's own.
    Slot *m_current = nullptr; // the source handed over and not yet closed
    std::size_t m_handedOver = 0;
    std::thread m_thread;
};

} // namespace tovaly
