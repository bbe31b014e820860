#include "prefetching_file_io.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace tovaly;

namespace {

// What a source looks like through an io, as the record writer reads it:
// the open error, or its status, its bytes read `scratch` at a time and
// whether a byte more was there.
struct Seen {
    std::error_code openError;
    bool regular = false;
    bool directory = false;
    std::uint64_t size = 0;
    std::string bytes;
    std::size_t more = 0;

    bool operator==(const Seen &) const = default;
};

Seen Look(RecordFileIo &io, const std::string &path, std::size_t scratch = 7)
{
    Seen seen;
    const IoResult<int> opened = io.OpenSource(path);
    seen.openError = opened.error;
    if (!opened)
        return seen;
    FileStatus status;
    EXPECT_FALSE(io.Stat(opened.value, status));
    seen.regular = status.regular;
    seen.directory = status.directory;
    seen.size = status.size;
    if (status.regular) {
        std::vector<char> buffer(scratch);
        while (seen.bytes.size() < status.size) {
            const IoResult<std::string_view> got = io.ReadView(opened.value, buffer);
            if (got.error || got.value.empty())
                break;
            EXPECT_LE(got.value.size(), scratch);
            seen.bytes.append(got.value);
        }
        char extra = 0;
        seen.more = io.Read(opened.value, &extra, 1).value;
    }
    EXPECT_FALSE(io.Close(opened.value));
    return seen;
}

std::size_t OpenDescriptors()
{
#ifdef __linux__
    std::size_t count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
#else
    return 0; // not counted here
#endif
}

} // namespace

TEST(PrefetchingFileIo, HandsOverWhatTheSystemGivesAndReadsAheadOnlyPlainMbsFiles)
{
    tovaly::test::TempFolder temp("prefetch");
    const fs::path in = temp.Path();
    struct Row {
        const char *name;
        std::string content; // "" with `folder` for a folder; "-" for none at all
        bool folder;
        bool readAhead;
    };
    const std::string big(PrefetchingFileIo::kBufferBytes / 2 + 1, 'x');
    std::vector<Row> table = {
        {"a.mbs", "Subject: a\r\n\r\nbody\r\n", false, true},
        {"B.MBS", "Subject: b\n\nbody", false, true},
        {"empty.mbs", "", false, true},
        {"note.txt", "Subject: not an mbs name\r\n", false, false},
        {"big.mbs", big, false, false},
        {"missing.mbs", "-", false, false},
        {"folder.mbs", "", true, false},
        {"after.mbs", "Subject: after\r\n", false, true},
    };
    for (const Row &row : table) {
        if (row.folder)
            fs::create_directory(in / row.name);
        else if (row.content != "-")
            temp.Put(row.name, row.content);
    }
    // A file with a second name is not read ahead: the other could be one
    // the run writes to.
    temp.Put("linked.mbs", "Subject: linked\r\n");
    std::error_code linkError;
    fs::create_hard_link(in / "linked.mbs", in / "other.mbox", linkError);
    if (!linkError)
        table.push_back({"linked.mbs", "", false, false});
#ifndef _WIN32
    ASSERT_EQ(::mkfifo((in / "fifo.mbs").c_str(), 0600), 0);
    table.push_back({"fifo.mbs", "", false, false});
#endif

    std::vector<std::string> sources;
    for (const Row &row : table)
        sources.push_back((in / row.name).string());
    // Read with the system alone, then read ahead, in small and in whole reads.
    for (const std::size_t scratch : {std::size_t{7}, std::size_t{1} << 20}) {
        SCOPED_TRACE(scratch);
        const std::size_t descriptors = OpenDescriptors();
        {
            RecordFileIo system;
            PrefetchingFileIo ahead(sources);
            for (std::size_t i = 0; i < sources.size(); ++i) {
                SCOPED_TRACE(sources[i]);
                const std::size_t before = ahead.HandedOver();
                const Seen expected = Look(system, sources[i], scratch);
                EXPECT_EQ(Look(ahead, sources[i], scratch), expected);
                EXPECT_EQ(ahead.HandedOver() - before, table[i].readAhead ? 1u : 0u);
            }
            // Once every source was asked for, a source goes to the system.
            const std::size_t before = ahead.HandedOver();
            EXPECT_EQ(Look(ahead, sources[0], scratch), Look(system, sources[0], scratch));
            EXPECT_EQ(ahead.HandedOver(), before);
        }
        EXPECT_EQ(OpenDescriptors(), descriptors);
    }
}

TEST(PrefetchingFileIo, SourcesPassedOverAndOtherFilesAskedForInBetween)
{
    tovaly::test::TempFolder temp("prefetch");
    std::vector<std::string> sources;
    for (int i = 0; i < 3 * static_cast<int>(PrefetchingFileIo::kSlots); ++i)
        sources.push_back(temp.Put("s" + std::to_string(i) + ".mbs", "Subject: " + std::to_string(i) + "\n").string());
    const std::string mailbox = temp.Put("m.mbox", "From x\n").string();
    struct Row {
        const char *label;
        std::size_t step; // every step-th source is asked for
        bool askMailbox;  // and a file that is no source between them
        bool stopEarly;   // the run ends before the last sources
    };
    const std::array<Row, 4> table = {{
        {"every source", 1, false, false},
        {"every third (the others' folders could not be made)", 3, false, false},
        {"a mailbox read between sources", 2, true, false},
        {"stopped after a few", 1, false, true},
    }};
    for (const Row &row : table) {
        SCOPED_TRACE(row.label);
        const std::size_t descriptors = OpenDescriptors();
        {
            RecordFileIo system;
            PrefetchingFileIo ahead(sources);
            std::size_t asked = 0;
            const std::size_t end = row.stopEarly ? 5 : sources.size();
            for (std::size_t i = 0; i < end; i += row.step) {
                EXPECT_EQ(Look(ahead, sources[i]), Look(system, sources[i])) << sources[i];
                ++asked;
                if (row.askMailbox) {
                    EXPECT_EQ(Look(ahead, mailbox), Look(system, mailbox));
                }
            }
            EXPECT_EQ(ahead.HandedOver(), asked);
        }
        EXPECT_EQ(OpenDescriptors(), descriptors);
    }
}
