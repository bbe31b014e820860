// bench_concat: the baseline the converter is measured against. It does the
// file work of a conversion and nothing else: walks the store breadth-first,
// and for every folder holding .mbs files (the converter's name filter)
// appends their bytes, unchanged, to OUT/<absolute folder path>/<folder>.cat.
// Each output is opened once per folder (O_APPEND) and each source is copied
// with read()/write() through one 256 KiB buffer: what a careful plain
// implementation would do.
//
// usage: bench_concat OUT_DIR STORE_DIR

#include "mbs_filter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

bool WriteAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool CopyInto(int out, const std::string &source, std::vector<char> &buffer)
{
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return false;
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        if (!WriteAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ::close(in);
    return ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_concat OUT_DIR STORE_DIR\n");
        return 2;
    }
    const fs::path outRoot = fs::absolute(argv[1]);
    std::vector<char> buffer(256 * 1024);
    std::deque<fs::path> queue{fs::absolute(argv[2]).lexically_normal()};
    std::size_t files = 0;
    std::size_t failures = 0;

    while (!queue.empty()) {
        const fs::path folder = queue.front();
        queue.pop_front();
        std::vector<std::string> sources;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code typeError;
            if (it->is_directory(typeError))
                queue.push_back(it->path());
            else if (it->is_regular_file(typeError) && tovaly::HasMbsExtension(it->path().filename().string()))
                sources.push_back(it->path().string());
        }
        if (ec) {
            std::fprintf(stderr, "bench_concat: %s: %s\n", folder.c_str(), ec.message().c_str());
            ++failures;
        }
        if (sources.empty())
            continue;

        fs::path name = folder.filename();
        if (name.empty())
            name = folder.parent_path().filename();
        const fs::path mirror = outRoot / folder.relative_path();
        fs::create_directories(mirror, ec);
        const fs::path target = mirror / (name.string() + ".cat");
        const int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (out < 0) {
            std::fprintf(stderr, "bench_concat: %s: %s\n", target.c_str(), std::strerror(errno));
            failures += sources.size();
            continue;
        }
        for (const std::string &source : sources) {
            if (CopyInto(out, source, buffer))
                ++files;
            else
                ++failures;
        }
        ::close(out);
    }
    std::printf("Concatenated %zu files; %zu failed.\n", files, failures);
    return failures == 0 ? 0 : 1;
}
