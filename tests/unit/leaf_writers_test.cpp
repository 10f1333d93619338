// Leaf writers: each kind reaches the store, and only a failed int write is reported. The ppp1
// address read is proved by fuzz_ppp1_address (packing, the 19-character cut, the last good text
// kept on a failed read) and by the end-to-end store-loss fault (its error line, nothing published
// in its place).
#include <gtest/gtest.h>
#include <stdio.h>

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
