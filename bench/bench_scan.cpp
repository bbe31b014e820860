// bench_scan: how fast mailboxes are read back and every message hashed
// (MailboxScanner: the mbox reader and an XXH3-128 digest of each message), against plain
// reading of the same files through the same size of buffer. Both are timed
// in the same run, after one unmeasured pass that brings the files into the
// page cache, and the ratio is printed.
//
// usage: bench_scan ROUNDS MAILBOX...

#include "message_digest.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t kChunk = std::size_t{1} << 18; // what --skip-existing reads at a time

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::uint64_t PlainRead(const std::vector<std::string> &paths)
{
    std::vector<char> buffer(kChunk);
    std::uint64_t bytes = 0;
    for (const std::string &path : paths) {
        std::FILE *file = std::fopen(path.c_str(), "rb");
        if (!file)
            continue;
        std::size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
            bytes += got;
        std::fclose(file);
    }
    return bytes;
}

std::uint64_t Scan(const std::vector<std::string> &paths, std::uint64_t &messages)
{
    std::uint64_t bytes = 0;
    messages = 0;
    std::vector<char> buffer(kChunk);
    for (const std::string &path : paths) {
        std::FILE *file = std::fopen(path.c_str(), "rb");
        if (!file) {
            std::fprintf(stderr, "bench_scan: cannot open %s\n", path.c_str());
            std::exit(1);
        }
        tovaly::MailboxScanner scanner;
        std::size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
            scanner.Feed(std::string_view(buffer.data(), got));
        std::fclose(file);
        const tovaly::MailboxScan scan = scanner.Finish();
        bytes += scan.size;
        messages += scan.digests.Size();
    }
    return bytes;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: bench_scan ROUNDS MAILBOX...\n");
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[1]));
    const std::vector<std::string> paths(argv + 2, argv + argc);
    (void)PlainRead(paths); // into the page cache

    std::vector<double> plain;
    std::vector<double> scanned;
    std::uint64_t bytes = 0;
    std::uint64_t messages = 0;
    for (int round = 0; round < rounds; ++round) {
        auto start = std::chrono::steady_clock::now();
        bytes = PlainRead(paths);
        plain.push_back(Seconds(start));
        start = std::chrono::steady_clock::now();
        (void)Scan(paths, messages);
        scanned.push_back(Seconds(start));
    }
    const double p = Median(plain);
    const double s = Median(scanned);
    std::printf("%zu mailboxes, %llu bytes, %llu messages\n", paths.size(), static_cast<unsigned long long>(bytes),
                static_cast<unsigned long long>(messages));
    std::printf("plain read   %8.3f s  %8.1f MB/s\n", p, static_cast<double>(bytes) / 1e6 / p);
    std::printf("scan + hash  %8.3f s  %8.1f MB/s\n", s, static_cast<double>(bytes) / 1e6 / s);
    std::printf("scan / plain = %.2f\n", s / p);
    return 0;
}
