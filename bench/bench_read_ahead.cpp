// bench_read_ahead: one batch conversion without a progress display, either
// with the second thread that reads sources ahead or one source at a time,
// so bench/read_ahead.sh can time both from the same build.
//
// usage: bench_read_ahead ahead|in-turn OUT_DIR SOURCE...

#include "batch_conversion.h"
#include "command_line.h"

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Like opera2mbox -q: no per-line progress.
class Quiet final : public tovaly::BatchObserver {
public:
    bool FollowsLines() const override { return false; }
};

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4 || (std::string_view(argv[1]) != "ahead" && std::string_view(argv[1]) != "in-turn")) {
        std::fprintf(stderr, "usage: bench_read_ahead ahead|in-turn OUT_DIR SOURCE...\n");
        return 2;
    }
    tovaly::LetOversizeWritesFail();
    const tovaly::CollectedSources collected =
        tovaly::CollectSources(std::vector<std::string>(argv + 3, argv + argc));
    tovaly::BatchTuning tuning;
    tuning.readAhead = std::string_view(argv[1]) == "ahead";
    tovaly::RecordFileIo io;
    Quiet observer;
    const tovaly::BatchSummary summary =
        tovaly::ConvertBatch(tovaly::ConversionRequest{argv[2], collected.files}, observer, tuning, io);
    std::printf("%llu messages, %zu failed\n", static_cast<unsigned long long>(summary.messages),
                summary.failures.size() + collected.failures.size());
    return summary.failures.empty() && collected.failures.empty() ? 0 : 1;
}
