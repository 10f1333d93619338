#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "fake_os.h"
#include "temp_store.h"
#include "supervision/ppp_control.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

static std::string PppdLine(const std::string& r) {
    return r + "/sbin/pppd debug noipdefault usepeerdns noauth ifname ppp1 " + r + "/dev/ttyPSC7 115200 connect \"" +
           r + "/sbin/chat -v -f " + r + "/etc/ppp/chat.cellmodem.data\"";
}

TEST(PppControl, start_and_generator_command_lines_are_exact_and_rooted) {
    fakeos::Reset();
    fakeos::systemHook = [](const char*) { return 7; };
    unsetenv("LINKWARDEN_ROOT");
    CaptureStdout();
    EXPECT_EQ(StartPPPDataConnection(), 7);  // the shell's result, and the start line all the same
    EXPECT_EQ(GetCapturedStdout(), "\nStartPPPDataConnection: Starting pppd\n");
    EXPECT_EQ(GeneratePPPChatScript(), 7);
    TempRoot root;
    CaptureStdout();
    StartPPPDataConnection();
    GeneratePPPChatScript();
    GetCapturedStdout();
    EXPECT_EQ(fakeos::commands,
              (std::vector<std::string>{PppdLine(""), "/etc/ppp/generate_cell_chat_script.sh", PppdLine(root.dir()),
                                        root.Path("/etc/ppp/generate_cell_chat_script.sh")}));
    EXPECT_EQ(PppdLine(""), "/sbin/pppd debug noipdefault usepeerdns noauth ifname ppp1 /dev/ttyPSC7 115200 "
                            "connect \"/sbin/chat -v -f /etc/ppp/chat.cellmodem.data\"");
}

// Only a pid that the kernel names pppd is signalled: a pid file left by a pppd killed outright
// may name another program by now, which then counts as "pppd not running".
TEST(PppControl, pid_file_and_the_process_it_names_decide_the_pid_and_whether_any_signal_is_sent) {
    const std::string MISSING = "<missing>", DIRECTORY = "<directory>", FIFO = "<fifo>";
    const std::string stranger = "\nSignalPppd: pid 1234 is \"";
    const struct { std::string content; int pid; const char* message; std::string name = "pppd", line = ""; } rows[] = {
        {"1234\n", 1234, ""}, {"123456789012345", 1234567890, ""},  // only 10 bytes are read
        {"", 0, ""}, {"pppd\n", 0, ""}, {"-7\n", -7, ""}, {MISSING, -1, "Unable to open "},
        {DIRECTORY, -1, "Unable to read from "}, {FIFO, -1, "Unable to read from "},  // never waits for a writer
        {"1234\n", 1234, "", "sleep", stranger + "sleep\", not pppd: pppd not running, no signal sent\n"},
        {"1234\n", 1234, "", "a\"b\x01", stranger + "a?b?\", not pppd"},
        {"1234\n", 1234, "", ""},  // no such process
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.content + " " + row.name);
        fakeos::Reset();
        fakeos::killHook = [](pid_t, int sig) { return sig == 0 ? 0 : 5; };
        const std::string name = row.name;
        fakeos::processNameHook = [name](pid_t) { return name; };
        TempRoot root;
        const std::string path = root.Path("/var/run/ppp1.pid");
        for (const char* dir : {"/var", "/var/run"}) mkdir(root.Path(dir).c_str(), 0755);
        if (row.content == DIRECTORY) mkdir(path.c_str(), 0755);
        if (row.content == FIFO) mkfifo(path.c_str(), 0644);
        if (row.content[0] != '<') std::ofstream(path) << row.content;

        CaptureStdout();
        EXPECT_EQ(GetCellModemPPPDataInterfacePid(), row.pid);
        const int stop = StopPPPDataConnection(), check = CheckPPPDataConnection();
        const std::string out = GetCapturedStdout();

        const bool pppd = row.pid > 0 && row.name == "pppd";
        EXPECT_EQ(stop, pppd ? 5 : -1);
        EXPECT_EQ(check, pppd ? 0 : -1);
        typedef std::vector<std::pair<pid_t, int>> Kills;
        EXPECT_EQ(fakeos::kills, (pppd ? Kills{{row.pid, SIGTERM}, {row.pid, 0}} : Kills{}));
        const std::string message = std::string("\nGetCellModemPPPDataInterfacePid: ") + row.message + path + " path.";
        EXPECT_EQ(out.find(message) != std::string::npos, row.message[0] != '\0') << out;
        EXPECT_EQ(out.find(row.line.empty() ? stranger : row.line) != std::string::npos, !row.line.empty()) << out;
    }
}
