// A simulated cellular modem on the data port for the cell/ tests: throw-away root and store, the
// simulator serving <root>/dev/ttyPSC7, and our end opened and set to 115200 bps as the
// configuration sequence leaves it. Sleeps go to the fake clock; reads wait for real.
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

class CellSimTest : public ::testing::Test {
protected:
    TempRoot root;
    TempStore store;
    devsim::SimDevice sim{root.dir()};
    int fd = -1;
    char rxBuf[RX_BUF_SIZE] = {};

    void SetUp() override {
        fakeos::Reset();
        vexDebug = 0;
        ASSERT_TRUE(sim.Start());
        fd = OpenModemPort(CELL_DATA_PORT);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ConfigModemPort(fd, B115200), 1);
    }
    void TearDown() override {
        if (fd >= 0) close(fd);
        vexDebug = 0;
    }

    void Sim(const std::string& line) { ASSERT_EQ(sim.Control(line), "ok") << line; }
    std::vector<std::string> Received() const { return sim.Commands(0); }
    speed_t HostSpeed() const {
        struct termios t = {};
        tcgetattr(fd, &t);
        return cfgetospeed(&t);
    }
};
