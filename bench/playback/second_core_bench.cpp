// What handing work to the second core costs: an empty task offered and
// waited for, and 4 KiB written by the offering thread, summed by the task
// and written again (the data crossing the cores both ways). On the
// virtual machines this runs on the second varies by several times from one
// minute to the next while a thread alone runs at one speed, so two-thread
// figures are comparable only when this one, taken beside them, is too.
#include "playback/second_core.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

namespace {

void BM_SecondCoreEmptyTask(benchmark::State& state)
{
    int32_t runs = 0;
    for (auto _ : state) {
        if (!second_core_offer([](void* context) { ++*static_cast<int32_t*>(context); }, &runs)) {
            state.SkipWithError("no second core");
            break;
        }
        second_core_take_back();
    }
    state.counters["ran"] = benchmark::Counter(double(runs) / double(state.iterations()));
}
BENCHMARK(BM_SecondCoreEmptyTask)->Unit(benchmark::kMicrosecond);

struct Page {
    std::vector<uint32_t> words = std::vector<uint32_t>(1024);
    uint64_t sum = 0;
};

void BM_SecondCoreHandOff4KiB(benchmark::State& state)
{
    Page page;
    uint32_t round = 0;
    for (auto _ : state) {
        for (uint32_t& w : page.words)
            w = round;
        if (!second_core_offer(
                [](void* context) {
                    Page& p = *static_cast<Page*>(context);
                    for (uint32_t w : p.words)
                        p.sum += w;
                },
                &page)) {
            state.SkipWithError("no second core");
            break;
        }
        second_core_take_back();
        ++round;
    }
    benchmark::DoNotOptimize(page.sum);
}
BENCHMARK(BM_SecondCoreHandOff4KiB)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
