// libFuzzer target: any text as a score file through velomira-song check,
// the path that turns the parser's findings into messages quoting the lines
// as written. The input becomes an in-memory file, read by name as the tool
// reads any score. Built and run by scripts/fuzz.sh under AddressSanitizer
// and UndefinedBehaviorSanitizer.
#include "song_tool.h"
#include "tests/synth/fuzz/fuzz_budget.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!within_sample_budget(data, size))
        return -1;
    static const int fd = memfd_create("score", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();
    std::ostringstream report;
    // Without the levels: they render the whole song, seconds under the
    // sanitizers, and read only what the render gives.
    const int status = song_tool_check(path, report, false);
    // Every run ends with one summary line naming the score.
    if ((status != 0 && status != 1) || report.str().find(path + ": ") == std::string::npos)
        std::abort();
    return 0;
}
