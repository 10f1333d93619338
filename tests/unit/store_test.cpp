// What the daemon relies on of the store client: how an element converts for the reads that do
// not look at the status, and the batch read's one status per path, in order, with no connection
// answering "no store" rather than a stale value.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/globals.h"
#include "cds.h"
#include "temp_store.h"

namespace {

toolkit::CElement Text(const std::string& s) {
    toolkit::CElement e;
    e.set_string(s);
    return e;
}

}  // namespace

// An element that a failed read left empty converts to false, 0 and the empty text.
TEST(Store, conversions_follow_the_element_kind) {
    toolkit::CElement none, t, neg;
    t.set_bool(true);
    neg.set_int(-5);
    const struct { toolkit::CElement e; bool asBool; int32_t asInt; const char* asText; } rows[] = {
        {none, false, 0, ""}, {t, true, 1, "true"}, {neg, true, -5, "-5"}, {Text("true"), true, 0, "true"},
        {Text("1"), true, 1, "1"}, {Text(""), false, 0, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.asText);
        EXPECT_EQ(r.e.to_bool(), r.asBool);
        EXPECT_EQ(r.e.to_int(), r.asInt);
        std::string s = "old";
        r.e.to_string(s);
        EXPECT_EQ(s, r.asText);
    }
}

TEST(Store, batch_read_answers_each_path_in_order_and_no_connection_answers_no_store) {
    TempStore store;
    store.SetInt("/B/Int", 300);
    store.SetText("/B/Text", "x");
    std::vector<api_status_t> st;
    std::vector<toolkit::CElement> el;
    std::vector<element_property_t> info;
    ASSERT_EQ(api.get_leaves({"/B/None", "/B/Int", "/B/Text", "rel"}, st, el, info), 0);
    EXPECT_EQ(st, (std::vector<api_status_t>{CDS_STATUS_NO_LEAF, CDS_STATUS_OK, CDS_STATUS_OK,
                                             CDS_STATUS_BAD_VALUE}));
    ASSERT_EQ(el.size(), 4u);
    EXPECT_EQ(el[1].to_int(), 300);
    pcd_handle_t closed = pcd_init();
    pcd_close(closed);
    for (pcd_handle_t handle : {0, closed}) {
        api.set_handle(handle);
        toolkit::CElement e;
        element_property_t one = {};
        api_status_t status = CDS_STATUS_OK;
        EXPECT_EQ(api.get_leaf("/B/Int", status, e, one), -1) << handle;
        EXPECT_EQ(status, CDS_STATUS_NO_STORE);
    }
    for (const std::string& dir : {store.dir() + "/missing", store.dir() + "/B/Int"}) {
        setenv("CDS_STORE", dir.c_str(), 1);
        EXPECT_EQ(pcd_init(), 0) << dir;
    }
    setenv("CDS_STORE", store.dir().c_str(), 1);
}
