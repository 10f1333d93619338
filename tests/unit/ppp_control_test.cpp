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

TEST(PppControl, pid_file_decides_the_pid_and_whether_any_signal_is_sent) {
    const std::string MISSING = "<missing>", DIRECTORY = "<directory>";
    const struct { std::string content; int pid; const char* message; } rows[] = {
        {"1234\n", 1234, ""}, {"123456789012345", 1234567890, ""},  // only 10 bytes are read
        {"", 0, ""}, {"pppd\n", 0, ""}, {"-7\n", -7, ""}, {MISSING, -1, "Unable to open "},
        {DIRECTORY, -1, "Unable to read from "}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.content);
        fakeos::Reset();
        fakeos::killHook = [](pid_t, int sig) { return sig == 0 ? 0 : 5; };
        TempRoot root;
        const std::string path = root.Path("/var/run/ppp1.pid");
        for (const char* dir : {"/var", "/var/run"}) mkdir(root.Path(dir).c_str(), 0755);
        if (row.content == DIRECTORY) mkdir(path.c_str(), 0755);
        if (row.content != DIRECTORY && row.content != MISSING) std::ofstream(path) << row.content;

        CaptureStdout();
        EXPECT_EQ(GetCellModemPPPDataInterfacePid(), row.pid);
        const int stop = StopPPPDataConnection(), check = CheckPPPDataConnection();
        const std::string out = GetCapturedStdout();

        EXPECT_EQ(stop, row.pid > 0 ? 5 : -1);
        EXPECT_EQ(check, row.pid > 0 ? 0 : -1);
        typedef std::vector<std::pair<pid_t, int>> Kills;
        EXPECT_EQ(fakeos::kills, (row.pid > 0 ? Kills{{row.pid, SIGTERM}, {row.pid, 0}} : Kills{}));
        const std::string message = std::string("\nGetCellModemPPPDataInterfacePid: ") + row.message + path + " path.";
        EXPECT_EQ(out.find(message) != std::string::npos, row.message[0] != '\0') << out;
    }
}
