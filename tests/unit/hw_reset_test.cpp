// Reset and power requests against a power service played on the fake clock: after each sleep
// the service looks at the request leaves and clears a request once it has been pending for its
// configured delay (or never).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/hw_reset.h"
#include "app/modem_select.h"
#include "fake_os.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

const int64_t kNever = -1;
const int64_t kSec = 1000000;

class PowerService {
public:
    explicit PowerService(TempStore& store) : store_(store) {}
    // How long a request on this leaf stays pending before the service clears it.
    void AckAfter(const std::string& leaf, int64_t us) { delayUs_[leaf] = us; }
    void Install() {
        fakeos::onSleep = [this](int64_t us) { Tick(fakeos::NowUs() - us); };
    }
    // Leaves seen true, in the order the service noticed them.
    std::vector<std::string> seen;

private:
    void Tick(int64_t sleepStartUs) {
        for (const char* leaf : {LEAF_RESET_ANALOG_MODEM, LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON}) {
            if (!store_.GetBool(leaf)) continue;
            if (!since_.count(leaf)) {
                since_[leaf] = sleepStartUs;
                seen.push_back(leaf);
            }
            int64_t delay = delayUs_.count(leaf) ? delayUs_[leaf] : 0;
            if (delay != kNever && fakeos::NowUs() - since_[leaf] >= delay) {
                store_.SetBool(leaf, false);
                since_.erase(leaf);
            }
        }
    }
    TempStore& store_;
    std::map<std::string, int64_t> delayUs_;
    std::map<std::string, int64_t> since_;
};

class HwResetTest : public ::testing::Test {
protected:
    TempStore store;
    PowerService service{store};

    void SetUp() override {
        fakeos::Reset();
        ForgetModemType();
        ForgetLastPowerRequest();
        vexDebug = 0;
        service.Install();
    }
    void TearDown() override {
        vexDebug = 0;
        ForgetModemType();
    }
    void FitCellModem() { store.SetBool(LEAF_OPTION_CELL_GSM, true); }
    void FitAnalogModem() { store.SetBool(LEAF_OPTION_ANALOG, true); }

    int CountSleeps(int64_t us) const {
        int n = 0;
        for (int64_t s : fakeos::sleepsUs) n += s == us;
        return n;
    }
    int64_t TotalSleptUs() const {
        int64_t t = 0;
        for (int64_t s : fakeos::sleepsUs) t += s;
        return t;
    }
};

std::string Captured() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const char kResetError[] =
    "\n\nCFG-HWR: *** ERROR: linkwarden: Service failed to send RESET request to modem. ";

TEST_F(HwResetTest, analog_reset_succeeds_as_soon_as_the_service_clears_the_request) {
    struct Row {
        int64_t ackUs;
        int result;
        int pollSleeps;
    } rows[] = {
        {0, 1, 1},           // cleared during the first half-second wait
        {2 * kSec, 1, 4},    // read true four times, false at the fifth read
        {kNever, 0, 10},     // ten reads, ten waits: 5 s, then the error
    };
    FitAnalogModem();
    for (const Row& r : rows) {
        fakeos::sleepsUs.clear();
        store.SetBool(LEAF_RESET_ANALOG_MODEM, false);
        service.AckAfter(LEAF_RESET_ANALOG_MODEM, r.ackUs);
        testing::internal::CaptureStdout();
        EXPECT_EQ(RequestHwReset(), r.result) << r.ackUs;
        std::string out = Captured();
        EXPECT_EQ(fakeos::sleepsUs, std::vector<int64_t>(r.pollSleeps, 500000)) << r.ackUs;
        EXPECT_EQ(out.find(kResetError) != std::string::npos, r.result == 0) << out;
    }
    EXPECT_FALSE(store.Has(LEAF_CELL_MODEM_OFF));
    EXPECT_FALSE(store.Has(LEAF_CELL_MODEM_ON));
}

TEST_F(HwResetTest, power_requests_are_spaced_ten_seconds_apart) {
    struct Row {
        int64_t gapUs;   // clock movement between the two requests
        int spacingSleeps;
    } rows[] = {
        {3 * kSec, 7},
        {0, 10},
        {12 * kSec, 0},
        {-5 * kSec, 15},  // clock set back: the full wait, then the request goes out anyway
    };
    FitCellModem();
    for (const Row& r : rows) {
        ForgetLastPowerRequest();
        fakeos::Reset();
        service.Install();
        ASSERT_EQ(SetCellModemPower(0), 1);
        fakeos::Advance(r.gapUs);
        fakeos::sleepsUs.clear();
        EXPECT_EQ(SetCellModemPower(1), 1) << r.gapUs;
        EXPECT_EQ(CountSleeps(kSec), r.spacingSleeps) << r.gapUs;
        // The spacing comes before the request: the last sleep is the acknowledgement poll.
        ASSERT_FALSE(fakeos::sleepsUs.empty());
        EXPECT_EQ(fakeos::sleepsUs.back(), 500000);
    }
}

TEST_F(HwResetTest, the_first_power_request_of_the_process_does_not_wait) {
    FitCellModem();
    EXPECT_EQ(SetCellModemPower(1), 1);
    EXPECT_EQ(CountSleeps(kSec), 0);
}

TEST_F(HwResetTest, only_power_value_one_asks_for_power_on) {
    struct Row {
        int on;
        const char* leaf;
    } rows[] = {{1, LEAF_CELL_MODEM_ON}, {0, LEAF_CELL_MODEM_OFF}, {2, LEAF_CELL_MODEM_OFF},
                {-1, LEAF_CELL_MODEM_OFF}};
    FitCellModem();
    for (const Row& r : rows) {
        ForgetLastPowerRequest();
        service.seen.clear();
        EXPECT_EQ(SetCellModemPower(r.on), 1) << r.on;
        EXPECT_EQ(service.seen, std::vector<std::string>{r.leaf}) << r.on;
    }
}

TEST_F(HwResetTest, a_pending_on_request_suppresses_the_write_but_its_clearing_still_counts) {
    FitCellModem();
    store.SetBool(LEAF_CELL_MODEM_ON, true);
    service.AckAfter(LEAF_CELL_MODEM_ON, 5 * kSec);
    vexDebug = 1;
    testing::internal::CaptureStdout();
    // Ten busy reads (5 s) see the old request; the confirmation poll sees it cleared.
    EXPECT_EQ(SetCellModemPower(1), 1);
    std::string out = Captured();
    EXPECT_EQ(CountSleeps(500000), 10);
    EXPECT_EQ(out.find("\nCFG-PWR: Turn ON cell "), std::string::npos) << out;
    EXPECT_NE(out.find("\nCFG-PWR: Successfully sent Power set 1 request to Modem.\n"),
              std::string::npos);
    EXPECT_FALSE(store.Has(LEAF_CELL_MODEM_OFF));
    EXPECT_FALSE(store.GetBool(LEAF_CELL_MODEM_ON));
}

TEST_F(HwResetTest, a_request_the_service_never_clears_fails_after_ten_polls) {
    FitCellModem();
    service.AckAfter(LEAF_CELL_MODEM_OFF, kNever);
    EXPECT_EQ(SetCellModemPower(0), 0);
    EXPECT_EQ(CountSleeps(500000), 10);
    EXPECT_TRUE(store.GetBool(LEAF_CELL_MODEM_OFF));
}

TEST_F(HwResetTest, cell_reset_powers_off_then_on_and_lets_the_modem_start) {
    FitCellModem();
    vexDebug = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(RequestHwReset(), 1);
    std::string out = Captured();
    EXPECT_EQ(service.seen, (std::vector<std::string>{LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON}));
    EXPECT_EQ(CountSleeps(60 * kSec), 1);
    EXPECT_EQ(fakeos::sleepsUs.back(), 60 * kSec);
    EXPECT_GE(TotalSleptUs(), 70 * kSec);
    const std::string banner = "\n\n" + std::string(49, '=') + "\n CFG-HWR: power on/off cell modem\n" +
                               std::string(51, '=') + "\n";
    EXPECT_NE(out.find(banner), std::string::npos) << out;
    EXPECT_NE(out.find("\nCFG-HWR: Modem Powered down OK "), std::string::npos);
    EXPECT_NE(out.find("\nCFG-HWR: Modem powered up OK "), std::string::npos);
    const std::string closing = "\n" + std::string(50, '=') + "\n";
    EXPECT_EQ(out.substr(out.size() - closing.size()), closing);
}

TEST_F(HwResetTest, cell_reset_reports_a_failed_power_step_and_skips_the_start_wait) {
    struct Row {
        const char* stuckLeaf;
        std::vector<std::string> seen;
        const char* message;
        bool alwaysPrinted;
    } rows[] = {
        {LEAF_CELL_MODEM_OFF, {LEAF_CELL_MODEM_OFF}, "\n\n*** CFG-HWR: Modem failed Power down ***\n",
         true},
        {LEAF_CELL_MODEM_ON, {LEAF_CELL_MODEM_OFF, LEAF_CELL_MODEM_ON},
         "\n\n*** CFG-HWR: Modem failed Power up ***\n", false},
    };
    FitCellModem();
    for (const Row& r : rows) {
        for (int debug = 0; debug <= 1; debug++) {
            store.SetBool(LEAF_CELL_MODEM_OFF, false);  // nothing left pending from before
            store.SetBool(LEAF_CELL_MODEM_ON, false);
            ForgetLastPowerRequest();
            fakeos::Reset();
            PowerService svc(store);
            svc.AckAfter(r.stuckLeaf, kNever);
            svc.Install();
            vexDebug = debug;
            testing::internal::CaptureStdout();
            EXPECT_EQ(RequestHwReset(), 1);
            std::string out = Captured();
            EXPECT_EQ(svc.seen, r.seen);
            EXPECT_EQ(CountSleeps(60 * kSec), 0);
            EXPECT_EQ(out.find(r.message) != std::string::npos, debug == 1 || r.alwaysPrinted) << out;
        }
    }
}

}  // namespace
