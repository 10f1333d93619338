// Reset and power requests against a power service played on the fake clock: after each sleep it
// clears a request leaf that has been pending for its delay (kNever: never).
#include "app/hw_reset.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "base/globals.h"
#include "app/modem_select.h"
#include "fake_os.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

const int64_t kNever = -1, kSec = 1000000, kPoll = 500000;
const char* const kRequests[] = {LEAF_RESET_ANALOG_MODEM, LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON};
typedef std::vector<std::string> Leaves;

// The folders of the request leaves turn read-only while the object lives, as on a full or
// write-protected flash: every request write fails, reads go on. Root writes into read-only
// folders, so the thread gives up that right (from its effective set only) for as long.
class ReadOnlyRequests {
public:
    explicit ReadOnlyRequests(const TempStore& store) : dir_(store.dir()) {
        for (const char* l : kRequests) chmod(Folder(l).c_str(), 0555);
        header_.version = _LINUX_CAPABILITY_VERSION_3;
        header_.pid = 0;
        syscall(SYS_capget, &header_, saved_);
        __user_cap_data_struct fewer[2] = {saved_[0], saved_[1]};
        fewer[0].effective &= ~(1u << CAP_DAC_OVERRIDE);
        syscall(SYS_capset, &header_, fewer);
    }
    ~ReadOnlyRequests() {
        syscall(SYS_capset, &header_, saved_);
        for (const char* l : kRequests) chmod(Folder(l).c_str(), 0755);
    }

private:
    std::string Folder(const std::string& leaf) const { return dir_ + leaf.substr(0, leaf.rfind('/')); }
    std::string dir_;
    __user_cap_header_struct header_;
    __user_cap_data_struct saved_[2];
};

class HwResetTest : public ::testing::Test {
protected:
    TempStore store;
    std::map<std::string, int64_t> ackAfterUs, pendingSinceUs;
    Leaves seen;  // request leaves in the order the service noticed them
    std::string out;

    void SetUp() override { Fresh(MODEM_CELL_GSM); }
    void TearDown() override { vexDebug = 0; }
    void Fresh(int type) {
        fakeos::Reset();
        ForgetModemType();
        ForgetLastPowerRequest();
        store.SetBool(LEAF_OPTION_ANALOG, type == MODEM_ANALOG);
        store.SetBool(LEAF_OPTION_CELL_GSM, type != MODEM_ANALOG);
        for (const char* l : kRequests) store.SetBool(l, false);
        ackAfterUs.clear(), pendingSinceUs.clear(), seen.clear();
        fakeos::onSleep = [this](int64_t us) {
            for (const char* l : kRequests) {
                if (!store.GetBool(l)) continue;
                if (!pendingSinceUs.count(l))
                    pendingSinceUs[l] = fakeos::NowUs() - us, seen.push_back(l);
                int64_t delay = ackAfterUs.count(l) ? ackAfterUs[l] : 0;
                if (delay != kNever && fakeos::NowUs() - pendingSinceUs[l] >= delay) {
                    store.SetBool(l, false);
                    pendingSinceUs.erase(l);
                }
            }
        };
    }
    template <typename F>
    int Traced(int debug, F call) {
        vexDebug = debug;
        testing::internal::CaptureStdout();
        int result = call();
        fflush(stdout);
        out = testing::internal::GetCapturedStdout();
        return result;
    }
    bool Printed(const std::string& s) const { return out.find(s) != std::string::npos; }
    int Sleeps(int64_t us) const {
        return std::count(fakeos::sleepsUs.begin(), fakeos::sleepsUs.end(), us);
    }
};

TEST_F(HwResetTest, analog_reset_polls_the_request_for_at_most_five_seconds) {
    const struct { int64_t ackUs; int result, polls; } rows[] = {{0, 1, 1}, {2 * kSec, 1, 4}, {kNever, 0, 10}};
    for (auto& r : rows) {
        Fresh(MODEM_ANALOG);
        ackAfterUs[LEAF_RESET_ANALOG_MODEM] = r.ackUs;
        EXPECT_EQ(Traced(0, RequestHwReset), r.result) << r.ackUs;
        EXPECT_EQ(fakeos::sleepsUs, std::vector<int64_t>(r.polls, kPoll)) << r.ackUs;
        EXPECT_EQ(Printed("\n\nCFG-HWR: *** ERROR: linkwarden: Service failed to send RESET request to modem. "),
                  r.result == 0);
        EXPECT_EQ(seen, Leaves{LEAF_RESET_ANALOG_MODEM});
    }
}

// The spacing runs on the monotonic clock: a wall clock stepped either way between two requests
// changes nothing.
TEST_F(HwResetTest, power_requests_are_spaced_ten_seconds_apart_and_only_1_means_on) {
    const struct { int64_t gapUs; int on, waits; const char* leaf; int64_t stepUs = 0; } rows[] = {
        {3 * kSec, 1, 7, LEAF_CELL_MODEM_ON}, {0, 0, 10, LEAF_CELL_MODEM_OFF}, {12 * kSec, 2, 0, LEAF_CELL_MODEM_OFF},
        {3 * kSec, 1, 7, LEAF_CELL_MODEM_ON, 3600 * kSec}, {3 * kSec, -1, 7, LEAF_CELL_MODEM_OFF, -3600 * kSec}};
    for (auto& r : rows) {
        Fresh(MODEM_CELL_GSM);
        ASSERT_EQ(SetCellModemPower(0), 1);
        EXPECT_EQ(Sleeps(kSec), 0) << "the first request of a process does not wait";
        fakeos::Advance(r.gapUs);
        fakeos::StepWallClock(r.stepUs);
        fakeos::sleepsUs.clear(), seen.clear();
        EXPECT_EQ(SetCellModemPower(r.on), 1) << r.gapUs;
        EXPECT_EQ(Sleeps(kSec), r.waits) << r.gapUs << " " << r.stepUs;
        EXPECT_EQ(fakeos::sleepsUs.back(), kPoll) << "spacing comes before the request";
        EXPECT_EQ(seen, Leaves{r.leaf}) << r.on;
    }
}

TEST_F(HwResetTest, a_pending_on_request_suppresses_the_write_but_its_clearing_still_counts) {
    store.SetBool(LEAF_CELL_MODEM_ON, true);
    ackAfterUs[LEAF_CELL_MODEM_ON] = 5 * kSec;  // a second write would never be cleared
    EXPECT_EQ(Traced(1, [] { return SetCellModemPower(1); }), 1);
    EXPECT_EQ(Sleeps(kPoll), 10);
    EXPECT_FALSE(Printed("\nCFG-PWR: Turn ON cell "));
    EXPECT_TRUE(Printed("\nCFG-PWR: Successfully sent Power set 1 request to Modem.\n"));
    EXPECT_FALSE(store.GetBool(LEAF_CELL_MODEM_ON));
}

TEST_F(HwResetTest, cell_reset_is_off_then_on_then_a_minute_unless_a_step_fails) {
    const std::string banner = "\n\n" + std::string(49, '=') + "\n CFG-HWR: power on/off cell modem\n" +
                               std::string(51, '=') + "\n", closing = "\n" + std::string(50, '=') + "\n";
    const struct { const char* stuck; Leaves seen; int startWaits; const char* line; bool always; } rows[] = {
        {"", {LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON}, 1, "\nCFG-HWR: Modem powered up OK ", false},
        {LEAF_CELL_MODEM_OFF, {LEAF_CELL_MODEM_OFF}, 0, "\n\n*** CFG-HWR: Modem failed Power down ***\n", true},
        {LEAF_CELL_MODEM_ON, {LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON}, 0,
         "\n\n*** CFG-HWR: Modem failed Power up ***\n", false},
    };
    for (const auto& r : rows) {
        for (int debug = 0; debug <= 1; debug++) {
            Fresh(MODEM_CELL_GSM);
            ackAfterUs[r.stuck] = kNever;
            EXPECT_EQ(Traced(debug, RequestHwReset), 1);
            EXPECT_EQ(seen, r.seen) << r.stuck;
            EXPECT_EQ(Sleeps(60 * kSec), r.startWaits) << r.stuck;
            EXPECT_EQ(Printed(r.line), debug || r.always) << out;
            EXPECT_EQ(Printed(banner), debug == 1);
            EXPECT_EQ(out.size() > closing.size() && out.substr(out.size() - closing.size()) == closing,
                      debug == 1);
        }
    }
}

// A request that the store did not take is a failed request: the leaf's old false is no
// acknowledgement. A store that stops answering while the request is confirmed only holds the
// poll up: the service's clearing still counts when the store answers again within the poll, and
// only a poll that runs out fails. Analog: result 0; cellular: no power-up after it.
TEST_F(HwResetTest, a_request_the_store_did_not_take_or_never_shows_cleared_is_a_failure_with_its_message) {
    const std::string analogFailure = "\n\nCFG-HWR: *** ERROR: linkwarden: RESET request ";
    const int kWriteRefused = -1;
    const struct { int type; int awayPolls; std::string line; int polls; } rows[] = {
        {MODEM_ANALOG, kWriteRefused, analogFailure + "not written to " LEAF_RESET_ANALOG_MODEM " (call 0, status 6). ", 0},
        {MODEM_ANALOG, 10,
         analogFailure + "unconfirmed, " LEAF_RESET_ANALOG_MODEM " could not be read (call -1, status 4). ", 10},
        {MODEM_ANALOG, 2, "", 3},
        {MODEM_CELL_GSM, kWriteRefused,
         "\nCFG-PWR: *** ERROR: Power set 0 request not written to " LEAF_CELL_MODEM_OFF " (call 0, status 6) ", 0},
        {MODEM_CELL_GSM, 10,
         "\nCFG-PWR: *** ERROR: Power set 0 request unconfirmed, " LEAF_CELL_MODEM_OFF
         " could not be read (call -1, status 4) ", 10},
        {MODEM_CELL_GSM, 2, "", 4},  // and one for the power-up
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        Fresh(r.type);
        const bool fails = r.line != "";
        const std::string asked = r.type == MODEM_ANALOG ? LEAF_RESET_ANALOG_MODEM : LEAF_CELL_MODEM_OFF;
        ackAfterUs[asked] = fails ? kNever : kPoll;
        int result = -1;
        if (r.awayPolls == kWriteRefused) {
            ReadOnlyRequests readOnly(store);
            result = Traced(0, RequestHwReset);
        } else {
            // The daemon's store connection goes away after the first poll read and comes back
            // awayPolls reads later; the service acts on the leaf all the same.
            auto service = fakeos::onSleep;
            int sleeps = 0;
            fakeos::onSleep = [&](int64_t us) {
                api.set_handle(pcd_init());
                service(us);
                sleeps++;
                api.set_handle(sleeps >= 1 + r.awayPolls ? pcd_init() : 0);
            };
            result = Traced(0, RequestHwReset);
            api.set_handle(pcd_init());
        }
        EXPECT_EQ(result, r.type == MODEM_ANALOG && fails ? 0 : 1);
        if (fails) { EXPECT_TRUE(Printed(r.line)) << out; }
        EXPECT_EQ(Printed("\n\n*** CFG-HWR: Modem failed Power down ***\n"), r.type != MODEM_ANALOG && fails) << out;
        EXPECT_EQ(Printed("Service failed"), r.type == MODEM_ANALOG && r.awayPolls == 10) << out;
        EXPECT_EQ(Sleeps(kPoll), r.polls);
        EXPECT_EQ(Sleeps(60 * kSec), r.type != MODEM_ANALOG && !fails);
        for (const char* l : kRequests) EXPECT_EQ(store.GetBool(l), r.awayPolls == 10 && l == asked) << l;
    }
}

}  // namespace
