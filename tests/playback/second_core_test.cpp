// The second core: a task runs once, beside its offering thread and on
// another core, or is taken back and never runs; one offer at a time.
#include "playback/second_core.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <sched.h>

namespace {

struct Probe {
    std::atomic<int32_t> runs{0};
    std::atomic<bool> release{false};   // the task waits for this before it ends
    int32_t cpu = -1;
};

void probe_task(void* context)
{
    Probe& probe = *static_cast<Probe*>(context);
    probe.cpu = sched_getcpu();
    probe.runs.fetch_add(1);
    while (!probe.release.load())
        std::this_thread::yield();
}

bool two_allowed_cores()
{
    cpu_set_t allowed;
    return sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) >= 2;
}

TEST(SecondCore, RunsATaskOnceOnAnotherCoreAndRefusesASecondOfferMeanwhile)
{
    if (!two_allowed_cores())
        GTEST_SKIP() << "one core: every offer is refused";
    Probe probe;
    const int32_t here = sched_getcpu();
    ASSERT_TRUE(second_core_offer(probe_task, &probe));
    // Started or not, the helper is this offer's until it is given back.
    Probe other;
    EXPECT_FALSE(second_core_offer(probe_task, &other));
    const auto since = std::chrono::steady_clock::now();
    while (probe.runs.load() == 0 && std::chrono::steady_clock::now() - since < std::chrono::seconds(5))
        std::this_thread::yield();
    ASSERT_EQ(probe.runs.load(), 1) << "the helper never took the task";
    // While the task runs it cannot be taken back: take_back waits for it.
    std::thread releaser([&probe] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        probe.release.store(true);
    });
    EXPECT_FALSE(second_core_take_back());
    releaser.join();
    EXPECT_TRUE(probe.release.load());
    EXPECT_NE(probe.cpu, here);
    EXPECT_EQ(other.runs.load(), 0);

    // Offered and taken back at once: it either ran to its end or never runs.
    for (int32_t round = 0; round < 200; ++round) {
        Probe quick;
        quick.release.store(true);
        ASSERT_TRUE(second_core_offer(probe_task, &quick));
        const bool takenBack = second_core_take_back();
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        EXPECT_EQ(quick.runs.load(), takenBack ? 0 : 1) << round;
    }
}

}   // namespace
