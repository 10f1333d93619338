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

TEST_F(Supervisor, unknown_state_costs_one_pass_and_traces_only_with_debug) {
    for (int debug : {0, 1}) {
        SetUp();
        vexDebug = debug;
        fd = -1;
        supervisionState = 9;
        auto seen = Drive(2);
        EXPECT_EQ(seen[1].state, HCM_OPEN_AUX_PORT);
        EXPECT_EQ(seen[2].state, HCM_SUPERVISE_PPP);
        EXPECT_EQ(Count("\n\n1700000001.000) CFG-HCE: **** HIT DEFAULT STATE **** "), debug ? 1u : 0u);
    }
}

}  // namespace
