// Leaf writers and the ppp1 address read: packing on any byte order, the 19-character cut, and
// falling back on the last good address when the leaf cannot be read.
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "base/globals.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"
#include "temp_store.h"

static std::string Output(const std::function<int()>& f, int* result = nullptr) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    int r = f();
    if (result) *result = r;
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

TEST(LeafWriters, write_each_kind_and_report_only_a_failed_int_write) {
    TempStore store;
    int r = 0;
    EXPECT_EQ(Output([] { return WriteIntLeaf(-1062731775, LEAF_CELL_IP_ADDR); }, &r), "");
    WriteBoolLeaf(true, LEAF_CELL_CONFIGURED);
    WriteTextLeaf("IMEI Unknown", LEAF_CELL_IMEI);
    EXPECT_EQ(store.GetInt(LEAF_CELL_IP_ADDR), -1062731775);
    EXPECT_TRUE(store.GetBool(LEAF_CELL_CONFIGURED));
    EXPECT_EQ(store.GetText(LEAF_CELL_IMEI), "IMEI Unknown");

    store.SetInt("/Blocker", 1);  // a file where a folder is needed: the status says failed
    EXPECT_EQ(Output([] { return WriteIntLeaf(42, "/Blocker/Value"); }, &r),
              "\nWriteIntLeaf: Failed to write 42 to /Blocker/Value\n");
    EXPECT_EQ(r, 1);
    api.set_handle(0);  // no connection: the call itself fails
    EXPECT_EQ(Output([] { return WriteIntLeaf(-7, LEAF_CELL_DB_LEVEL); }, &r),
              "\nWriteIntLeaf: Failed to write -7 to " LEAF_CELL_DB_LEVEL "\n");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(Output([] { return WriteBoolLeaf(true, LEAF_CELL_CONFIGURED); }), "");
}

TEST(LeafWriters, ppp1_address_is_packed_first_number_high) {
    TempStore store;
    const struct { const char* text; uint32_t packed; const char* kept; } rows[] = {
        {"10.1.2.3", 0x0A010203u, "10.1.2.3"}, {"192.168.0.1", 0xC0A80001u, "192.168.0.1"}, {"", 0, ""},
        {"not an address", 0, "not an address"}, {"256.1.1.1", 0, "256.1.1.1"},
        {"10.1.2.3...........xyz", 0, "10.1.2.3..........."},  // cut to 19 before converting
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        store.SetText(LEAF_PPP1_IP_ADDRESS, r.text);
        int packed = 0;
        EXPECT_EQ(Output(ReadPPP1IpAddrFromCds, &packed),
                  std::string("\nReadPPP1IpAddrFromCds: ppp1 IP address = ") + r.kept + "\n");
        EXPECT_EQ(static_cast<uint32_t>(packed), r.packed);
        EXPECT_STREQ(ppp1IpAddr, r.kept);
    }
}

TEST(LeafWriters, a_failed_address_read_falls_back_on_the_last_good_text) {
    TempStore store;
    const std::string error = "\nReadPPP1IpAddrFromCds: Error while reading " LEAF_PPP1_IP_ADDRESS ".\n";
    int packed = -1;
    ppp1IpAddr[0] = '\0';
    EXPECT_EQ(Output(ReadPPP1IpAddrFromCds, &packed), error);  // first call: empty text
    EXPECT_EQ(packed, 0);

    store.SetText(LEAF_PPP1_IP_ADDRESS, "10.1.2.3");
    ReadPPP1IpAddrFromCds();
    ASSERT_EQ(unlink((store.dir() + LEAF_PPP1_IP_ADDRESS).c_str()), 0);
    EXPECT_EQ(Output(ReadPPP1IpAddrFromCds, &packed), error);
    EXPECT_EQ(static_cast<uint32_t>(packed), 0x0A010203u);
    EXPECT_STREQ(ppp1IpAddr, "10.1.2.3");
    api.set_handle(0);
    EXPECT_EQ(static_cast<uint32_t>(ReadPPP1IpAddrFromCds()), 0x0A010203u);
    ppp1IpAddr[0] = '\0';
}
