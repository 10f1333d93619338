// A simulated cellular modem on the data port for the cell/ tests: throw-away root and store, the
// simulator on <root>/dev/ttyPSC7 and our end at 115200 bps. Sleeps go to the fake clock.
#pragma once

#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "devsim/sim_device.h"
#include "fake_os.h"
#include "serial/port.h"
#include "temp_store.h"

using Cmds = std::vector<std::string>;

class CellSimTest : public ::testing::Test {
protected:
    TempRoot root;
    TempStore store;
    devsim::SimDevice sim{root.dir()};
    int fd = -1;
    char rxBuf[RX_BUF_SIZE] = {};

    void SetUp() override {
        fakeos::Reset();
        ASSERT_TRUE(sim.Start());
        ASSERT_GE(fd = OpenModemPort(CELL_DATA_PORT), 0);
        ASSERT_EQ(ConfigModemPort(fd, B115200), 1);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        vexDebug = 0;
    }
    // Runs simulator lines, then forgets what the modem received so far.
    void Sim(const Cmds& lines) {
        for (const std::string& l : lines) ASSERT_EQ(sim.Control(l), "ok") << l;
        sim.ClearLog();
    }
};

template <class Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& i) { return i.param.name; }
