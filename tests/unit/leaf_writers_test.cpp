// Leaf writers and the ppp1 address read: packing on any byte order, the 19-character cut, and
// falling back on the last good address when the leaf cannot be read.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "app/globals.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"
#include "temp_store.h"

namespace {

struct Captured {
    int result;
    std::string out;
};

template <typename F>
Captured Capture(F f) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    int result = f();
    fflush(stdout);
    return {result, testing::internal::GetCapturedStdout()};
}

Captured ReadAddr() {
    return Capture([] { return ReadPPP1IpAddrFromCds(); });
}

}  // namespace

TEST(LeafWriters, each_writer_stores_its_own_kind) {
    TempStore store;
    EXPECT_EQ(WriteBoolLeaf(true, LEAF_ANALOG_CONFIGURED), 1);
    EXPECT_EQ(Capture([] { return WriteIntLeaf(-1062731775, LEAF_CELL_IP_ADDR); }).out, "");
    WriteTextLeaf("IMEI Unknown", LEAF_CELL_IMEI);
    EXPECT_TRUE(store.GetBool(LEAF_ANALOG_CONFIGURED));
    EXPECT_EQ(store.GetInt(LEAF_CELL_IP_ADDR), -1062731775);
    EXPECT_EQ(store.GetText(LEAF_CELL_IMEI), "IMEI Unknown");
    WriteBoolLeaf(false, LEAF_ANALOG_CONFIGURED);
    EXPECT_FALSE(store.GetBool(LEAF_ANALOG_CONFIGURED));
}

TEST(LeafWriters, a_failed_int_write_prints_one_line_and_still_returns_1) {
    TempStore store;
    store.SetInt("/Blocker", 1);  // a file where a folder is needed: the write fails with a status
    Captured badStatus = Capture([] { return WriteIntLeaf(42, "/Blocker/Value"); });
    EXPECT_EQ(badStatus.result, 1);
    EXPECT_EQ(badStatus.out, "\nWriteIntLeaf: Failed to write 42 to /Blocker/Value\n");

    api.set_handle(0);  // no connection: the call itself fails
    Captured noStore = Capture([] { return WriteIntLeaf(-7, LEAF_CELL_DB_LEVEL); });
    EXPECT_EQ(noStore.result, 1);
    EXPECT_EQ(noStore.out, "\nWriteIntLeaf: Failed to write -7 to " LEAF_CELL_DB_LEVEL "\n");
    EXPECT_EQ(Capture([] { return WriteBoolLeaf(true, LEAF_CELL_CONFIGURED); }).out, "");
}

TEST(LeafWriters, ppp1_address_is_packed_first_number_high) {
    TempStore store;
    struct Row {
        const char* text;
        uint32_t packed;
        const char* kept;
    } rows[] = {
        {"10.1.2.3", 0x0A010203u, "10.1.2.3"},
        {"192.168.0.1", 0xC0A80001u, "192.168.0.1"},
        {"255.255.255.255", 0xFFFFFFFFu, "255.255.255.255"},
        {"0.0.0.0", 0, "0.0.0.0"},
        {"", 0, ""},
        {"not an address", 0, "not an address"},
        {"256.1.1.1", 0, "256.1.1.1"},
        {"10.1.2", 0, "10.1.2"},
        {"10.1.2.3 ", 0, "10.1.2.3 "},
        // Longer than the 19-character field: stored cut, and the cut text is what converts.
        {"10.1.2.3...........xyz", 0, "10.1.2.3..........."},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        store.SetText(LEAF_PPP1_IP_ADDRESS, r.text);
        Captured c = ReadAddr();
        EXPECT_EQ(static_cast<uint32_t>(c.result), r.packed);
        EXPECT_STREQ(ppp1IpAddr, r.kept);
        EXPECT_EQ(c.out, std::string("\nReadPPP1IpAddrFromCds: ppp1 IP address = ") + r.kept + "\n");
    }
}

TEST(LeafWriters, a_failed_address_read_falls_back_on_the_last_good_text) {
    TempStore store;
    const std::string error = "\nReadPPP1IpAddrFromCds: Error while reading " LEAF_PPP1_IP_ADDRESS ".\n";
    ppp1IpAddr[0] = '\0';
    Captured first = ReadAddr();  // no leaf yet: the empty text converts to 0
    EXPECT_EQ(first.result, 0);
    EXPECT_EQ(first.out, error);

    store.SetText(LEAF_PPP1_IP_ADDRESS, "192.168.0.1");
    EXPECT_EQ(static_cast<uint32_t>(ReadAddr().result), 0xC0A80001u);

    store.SetInt(LEAF_PPP1_IP_ADDRESS, 5);  // readable, but converts to "5": taken as it is
    EXPECT_EQ(ReadAddr().result, 0);
    EXPECT_STREQ(ppp1IpAddr, "5");

    store.SetText(LEAF_PPP1_IP_ADDRESS, "10.1.2.3");
    ReadAddr();
    ASSERT_EQ(unlink((store.dir() + LEAF_PPP1_IP_ADDRESS).c_str()), 0);
    Captured gone = ReadAddr();
    EXPECT_EQ(static_cast<uint32_t>(gone.result), 0x0A010203u);
    EXPECT_EQ(gone.out, error);
    EXPECT_STREQ(ppp1IpAddr, "10.1.2.3");

    api.set_handle(0);
    EXPECT_EQ(static_cast<uint32_t>(ReadAddr().result), 0x0A010203u);
    ppp1IpAddr[0] = '\0';
}
