#include <functional>

#include "link_fixture.h"
#include "pty_peer.h"
#include "supervision/supervisor.h"

namespace {

struct StopLoop {};

struct Snapshot { int state, fd, auxPollElapsed; };

class Supervisor : public LinkFixture {
protected:
    void SetUp() override {
        LinkFixture::SetUp();
        supervisionState = HCM_OPEN_AUX_PORT;
        fd = 0;
    }
    // Runs the machine for `passes` passes; snapshot i is taken at the top of pass i + 1, after
    // `hook(i + 1)` has had its say. The 1 s sleeps are the pass tops (pppd restarts sleep 3 and 15).
    std::vector<Snapshot> Drive(int passes, std::function<void(int)> hook = nullptr) {
        std::vector<Snapshot> seen;
        fakeos::onSleep = [&](int64_t us) {
            if (us != 1000000) return;
            seen.push_back({supervisionState, fd, GetWatchdogCounters().auxPollElapsed});
            if (static_cast<int>(seen.size()) > passes) throw StopLoop{};
            if (hook) hook(static_cast<int>(seen.size()));
        };
        testing::internal::CaptureStdout();
        EXPECT_THROW(HandleCellModem(&fd, rx), StopLoop);
        out = testing::internal::GetCapturedStdout();
        return seen;
    }
};

TEST_F(Supervisor, failed_aux_open_is_not_retried_and_supervision_goes_on_without_it) {
    auto seen = Drive(3);
    EXPECT_EQ(seen[1].state, HCM_OPEN_AUX_PORT);
    EXPECT_EQ(seen[1].fd, -1);
    EXPECT_EQ(seen[2].state, HCM_SUPERVISE_PPP);
    EXPECT_EQ(seen[3].auxPollElapsed, 1);  // counted from the top of the pass before
    EXPECT_EQ(Count("Failed to open"), 1u);
}

TEST_F(Supervisor, watchdog_without_a_port_sends_the_machine_back_to_open_the_aux_port) {
    PtyPeer aux;
    ASSERT_TRUE(aux.LinkAt(root.dir(), "ttyPSC3"));
    supervisionState = HCM_SUPERVISE_PPP;
    auto seen = Drive(2, [](int pass) { fakeos::Advance(pass == 1 ? 60 * 1000000LL : 0); });
    EXPECT_EQ(seen[1].state, HCM_OPEN_AUX_PORT);
    EXPECT_EQ(seen[2].state, HCM_SUPERVISE_PPP);
    EXPECT_GT(seen[2].fd, 0);
}

TEST_F(Supervisor, a_slow_restart_counts_in_full_on_the_next_pass) {
    fd = -1;
    alive = false;
    auto seen = Drive(3);
    EXPECT_EQ(seen[2].auxPollElapsed, 0);
    EXPECT_EQ(seen[3].auxPollElapsed, 1 + 3 + 15);
}

// The watchdog's schedule is the same pass for pass whatever the wall clock does: stepped back or
// forward, or running through the end of the 32-bit seconds (2038-01-19 03:14:08 UTC) where the
// printed `now` wraps to INT_MIN as an int does.
TEST_F(Supervisor, wall_clock_steps_and_the_2038_wrap_neither_fire_nor_silence_the_watchdog) {
    const int64_t kStart = 1700000000, kWrap = INT64_C(2147483648), kSec = 1000000;
    const struct { const char* name; int64_t start, step; const char* wrapped; } rows[] = {
        {"steady clock", kStart, 0, ""},
        {"25 minutes before the wrap", kWrap - 25 * 60, 0, "now = -21474836"},
        {"a day back", kStart, -86400, ""},
        {"30 years on", kStart, INT64_C(946728000), "now = -16482"},  // 2053: 2646728xxx as an int
        {"an hour on", kStart, 3600, ""},
    };
    std::vector<std::string> steady;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        SetUp();
        fd = -1;
        store.SetInt(LEAF_REFRESH_INTERVAL, 10);
        store.SetInt(LEAF_AUTO_PING_INTERVAL, 30);
        store.SetInt(LEAF_AUTO_PING_RETRIES, 3);
        store.SetInt(LEAF_AUTO_PING_TIMEOUT, 1);
        store.SetText(LEAF_AUTO_PING_IP, "192.0.2.1");
        fakeos::StepWallClock((row.start - kStart) * kSec);
        // Per pass top: the accumulators and how many commands (pings, pppd starts) ran so far.
        std::vector<std::string> schedule;
        Drive(2400, [&](int pass) {
            if (pass == 200) fakeos::StepWallClock(row.step * kSec);
            watchdog_counters_t c = GetWatchdogCounters();
            schedule.push_back(std::to_string(c.auxPollElapsed) + " " + std::to_string(c.refreshElapsed) + " " +
                               std::to_string(c.pingElapsed) + " " + std::to_string(fakeos::commands.size()));
        });
        if (steady.empty()) {
            steady = schedule;
            EXPECT_GE(Count("HCM: Ping successful"), 75u);
            EXPECT_EQ(Count("HCM: PPP1 connection resurrected"), 4u);
        }
        EXPECT_EQ(schedule, steady);
        EXPECT_EQ(Count("now = -") > 0, *row.wrapped != '\0');
        if (*row.wrapped) {
            EXPECT_GT(Count(row.wrapped), 0u);
        }
    }
}

}  // namespace
