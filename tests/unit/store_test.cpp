// The file-backed store: leaf file format both ways, element conversions, refusals, batch reads,
// the no-connection answers and atomic replacement under concurrent writers.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "cds.h"
#include "temp_store.h"

namespace {

void WriteFile(const std::string& file, const std::string& content) {
    std::string dir = file.substr(0, file.rfind('/'));
    std::string cmd = "mkdir -p '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::ofstream(file, std::ios::binary) << content;
}

std::string ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

api_status_t Read(const std::string& path, toolkit::CElement& e) {
    api_status_t st = CDS_STATUS_OK;
    element_property_t info = {};
    EXPECT_EQ(api.get_leaf(path, st, e, info), 0);
    return st;
}

api_status_t Write(const std::string& path, const toolkit::CElement& e) {
    api_status_t st = CDS_STATUS_OK;
    std::string text;
    EXPECT_EQ(api.set_leaf(path, e, st, 0, text), 0);
    return st;
}

toolkit::CElement Text(const std::string& s) {
    toolkit::CElement e;
    e.set_string(s);
    return e;
}

}  // namespace

TEST(Store, leaf_files_are_read_as_type_and_value) {
    TempStore store;
    struct Row {
        const char* content;
        api_status_t status;
        int type;
        const char* asText;
    } rows[] = {
        {"bool true\n", CDS_STATUS_OK, 1, "true"},
        {"bool false", CDS_STATUS_OK, 1, "false"},  // final newline optional
        {"int -42\n", CDS_STATUS_OK, 2, "-42"},
        {"int 2147483647\n", CDS_STATUS_OK, 2, "2147483647"},
        {"string 10.1.2.3\n", CDS_STATUS_OK, 6, "10.1.2.3"},
        {"string \n", CDS_STATUS_OK, 6, ""},
        {"string two  words \n", CDS_STATUS_OK, 6, "two  words "},
        {"", CDS_STATUS_BAD_LEAF, 0, ""},
        {"bool\n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"bool yes\n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"int 12x\n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"int \n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"int 2147483648\n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"float 1.5\n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"string a\nstring b\n", CDS_STATUS_BAD_LEAF, 0, ""},
        {"\xff\xfe garbage", CDS_STATUS_BAD_LEAF, 0, ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.content);
        WriteFile(store.dir() + "/T/Leaf/Value", r.content);
        toolkit::CElement e;
        e.set_int(7);  // a failed read must not leave the old value behind
        EXPECT_EQ(Read("/T/Leaf/Value", e), r.status);
        EXPECT_EQ(e.type(), r.type);
        std::string s;
        e.to_string(s);
        EXPECT_EQ(s, r.asText);
    }

    WriteFile(store.dir() + "/T/Nul/Value", std::string("string a\0b\n", 11));
    WriteFile(store.dir() + "/T/Big/Value", "string " + std::string(5000, 'x') + "\n");
    WriteFile(store.dir() + "/T/Dir/Value/Inside", "bool true\n");
    toolkit::CElement e;
    EXPECT_EQ(Read("/T/Nul/Value", e), CDS_STATUS_BAD_LEAF);
    EXPECT_EQ(Read("/T/Big/Value", e), CDS_STATUS_BAD_LEAF);
    EXPECT_EQ(Read("/T/Dir/Value", e), CDS_STATUS_BAD_LEAF);
    EXPECT_EQ(Read("/T/Missing/Value", e), CDS_STATUS_NO_LEAF);
    EXPECT_EQ(Read("/T/Leaf/Value/Below", e), CDS_STATUS_NO_LEAF);  // a parent is a file
}

TEST(Store, writes_give_one_line_with_final_newline_and_create_folders) {
    TempStore store;
    toolkit::CElement b, i, t;
    b.set_bool(false);
    i.set_int(-2147483647 - 1);
    t.set_string("");
    EXPECT_EQ(Write("/New/Deep/Bool/Value", b), CDS_STATUS_OK);
    EXPECT_EQ(Write("/New/Int/Value", i), CDS_STATUS_OK);
    EXPECT_EQ(Write("/New/Text/Value", t), CDS_STATUS_OK);
    EXPECT_EQ(ReadFile(store.dir() + "/New/Deep/Bool/Value"), "bool false\n");
    EXPECT_EQ(ReadFile(store.dir() + "/New/Int/Value"), "int -2147483648\n");
    EXPECT_EQ(ReadFile(store.dir() + "/New/Text/Value"), "string \n");

    // Overwrite in place, and no temporary file is left beside the leaf.
    EXPECT_EQ(Write("/New/Text/Value", Text("10.1.2.3")), CDS_STATUS_OK);
    EXPECT_EQ(store.GetText("/New/Text/Value"), "10.1.2.3");
    std::string ls = "ls -A '" + store.dir() + "/New/Text' > '" + store.dir() + "/ls.out'";
    ASSERT_EQ(system(ls.c_str()), 0);
    EXPECT_EQ(ReadFile(store.dir() + "/ls.out"), "Value\n");
}

TEST(Store, conversions_follow_the_element_kind) {
    toolkit::CElement none, t, f, zero, neg;
    t.set_bool(true);
    f.set_bool(false);
    zero.set_int(0);
    neg.set_int(-5);
    struct Row {
        const char* name;
        toolkit::CElement e;
        bool asBool;
        int32_t asInt;
        const char* asText;
    } rows[] = {
        {"none", none, false, 0, ""},
        {"bool true", t, true, 1, "true"},
        {"bool false", f, false, 0, "false"},
        {"int 0", zero, false, 0, "0"},
        {"int -5", neg, true, -5, "-5"},
        {"text true", Text("true"), true, 0, "true"},
        {"text 1", Text("1"), true, 1, "1"},
        {"text TRUE", Text("TRUE"), false, 0, "TRUE"},
        {"text empty", Text(""), false, 0, ""},
        {"text leading number", Text("  42abc"), false, 42, "  42abc"},
        {"text negative", Text("-17"), false, -17, "-17"},
        {"text no digits", Text("abc"), false, 0, "abc"},
        {"text too large", Text("99999999999"), false, 2147483647, "99999999999"},
        {"text too small", Text("-99999999999"), false, -2147483647 - 1, "-99999999999"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.e.to_bool(), r.asBool);
        EXPECT_EQ(r.e.to_int(), r.asInt);
        std::string s = "old";
        r.e.to_string(s);
        EXPECT_EQ(s, r.asText);
    }
}

TEST(Store, refuses_paths_outside_the_store_and_unstorable_values) {
    TempStore store;
    const std::string paths[] = {
        "", "/", "A/Value", "/A//Value", "/A/Value/", "/../escape", "/A/../../escape",
        "/A/./Value", "/A/.hidden", std::string("/A/V\0x", 6),
    };
    toolkit::CElement ok = Text("x");
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        toolkit::CElement e;
        EXPECT_EQ(Write(p, ok), CDS_STATUS_BAD_VALUE);
        EXPECT_EQ(Read(p, e), CDS_STATUS_BAD_VALUE);
    }
    EXPECT_EQ(Write("/A/Value", toolkit::CElement()), CDS_STATUS_BAD_VALUE);
    EXPECT_EQ(Write("/A/Value", Text("two\nlines")), CDS_STATUS_BAD_VALUE);
    EXPECT_EQ(Write("/A/Value", Text(std::string("nul\0inside", 10))), CDS_STATUS_BAD_VALUE);
    EXPECT_EQ(Write("/A/Value", Text(std::string(5000, 'x'))), CDS_STATUS_BAD_VALUE);
    EXPECT_FALSE(store.Has("/A/Value"));
    struct stat st;
    EXPECT_NE(stat((store.dir() + "/../escape").c_str(), &st), 0);
}

TEST(Store, batch_read_answers_each_path_in_order) {
    TempStore store;
    store.SetInt("/B/Interval/Value", 300);
    store.SetText("/B/Ip/Value", "8.8.8.8");
    WriteFile(store.dir() + "/B/Garbage/Value", "nonsense");
    std::vector<std::string> paths = {"/B/Ip/Value", "/B/Missing/Value", "/B/Interval/Value",
                                      "/B/Garbage/Value", "relative"};
    std::vector<api_status_t> st = {9, 9, 9, 9, 9, 9, 9};
    std::vector<toolkit::CElement> el;
    std::vector<element_property_t> info;
    ASSERT_EQ(api.get_leaves(paths, st, el, info), 0);
    ASSERT_EQ(st.size(), 5u);
    ASSERT_EQ(el.size(), 5u);
    ASSERT_EQ(info.size(), 5u);
    EXPECT_EQ(st, (std::vector<api_status_t>{CDS_STATUS_OK, CDS_STATUS_NO_LEAF, CDS_STATUS_OK,
                                             CDS_STATUS_BAD_LEAF, CDS_STATUS_BAD_VALUE}));
    std::string s;
    el[0].to_string(s);
    EXPECT_EQ(s, "8.8.8.8");
    EXPECT_EQ(el[2].to_int(), 300);
    EXPECT_EQ(info[2].type, toolkit::CElement::TYPE_INT);
    EXPECT_GT(info[2].mtime, 0);
}

TEST(Store, without_a_connection_every_call_fails_with_no_store) {
    TempStore store;
    store.SetBool("/C/Value", true);
    pcd_handle_t h = pcd_init();
    ASSERT_NE(h, 0);
    pcd_close(h);
    for (pcd_handle_t handle : {0, h, 999, -1}) {
        SCOPED_TRACE(handle);
        toolkit::CCds cds;
        cds.set_handle(handle);
        toolkit::CElement e;
        e.set_bool(true);
        element_property_t info = {};
        api_status_t st = CDS_STATUS_OK;
        std::string text;
        EXPECT_EQ(cds.get_leaf("/C/Value", st, e, info), -1);
        EXPECT_EQ(st, CDS_STATUS_NO_STORE);
        EXPECT_FALSE(e.to_bool());
        st = CDS_STATUS_OK;
        EXPECT_EQ(cds.set_leaf("/C/Value", e, st, 0, text), -1);
        EXPECT_EQ(st, CDS_STATUS_NO_STORE);
        std::vector<api_status_t> sts;
        std::vector<toolkit::CElement> els;
        std::vector<element_property_t> infos;
        EXPECT_EQ(cds.get_leaves({"/C/Value"}, sts, els, infos), -1);
        EXPECT_EQ(sts, std::vector<api_status_t>{CDS_STATUS_NO_STORE});
        cds.set_handle(0);
    }
    EXPECT_TRUE(store.GetBool("/C/Value"));
}

TEST(Store, init_needs_a_writable_folder_and_remembers_it) {
    TempStore first;
    pcd_handle_t h1 = pcd_init();
    ASSERT_NE(h1, 0);
    {
        TempStore second;  // re-points CDS_STORE and the global connection
        second.SetInt("/Where/Value", 2);
        toolkit::CCds old(h1);
        api_status_t st = CDS_STATUS_OK;
        toolkit::CElement e;
        element_property_t info = {};
        EXPECT_EQ(old.get_leaf("/Where/Value", st, e, info), 0);
        EXPECT_EQ(st, CDS_STATUS_NO_LEAF);  // still the first folder
    }
    const std::string missing = first.dir() + "/missing";
    const std::string file = first.dir() + "/file";
    WriteFile(file, "x");
    for (const std::string& dir : {missing, file}) {
        setenv("CDS_STORE", dir.c_str(), 1);
        EXPECT_EQ(pcd_init(), 0) << dir;
    }
    setenv("CDS_STORE", first.dir().c_str(), 1);
}

// Two writers replace one leaf while a reader reads it: rename makes each read see a whole old
// or new value, never a torn or missing one.
TEST(Store, concurrent_writers_never_show_a_torn_or_missing_leaf) {
    TempStore store;
    const std::string path = "/Race/Value";
    const std::string values[] = {std::string(1500, 'a'), std::string(1500, 'b'), std::string(1500, 'c')};
    store.SetText(path, values[2]);
    enum { WRITES = 2000, READS = 4000 };

    auto child = [&](int role) -> pid_t {
        pid_t pid = fork();
        if (pid != 0) return pid;
        toolkit::CCds cds(pcd_init());
        int bad = 0;
        std::string text;
        for (int n = 0; n < (role < 2 ? WRITES : READS); n++) {
            api_status_t st = CDS_STATUS_OK;
            if (role < 2) {
                toolkit::CElement e = Text(values[role]);
                cds.set_leaf(path, e, st, 0, text);
            } else {
                toolkit::CElement e;
                element_property_t info = {};
                cds.get_leaf(path, st, e, info);
                e.to_string(text);
                if (text != values[0] && text != values[1] && text != values[2]) bad = 1;
            }
            if (st != CDS_STATUS_OK) bad = 1;
        }
        _exit(bad);
    };
    pid_t pids[] = {child(0), child(1), child(2)};
    for (pid_t pid : pids) {
        ASSERT_GT(pid, 0);
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
    }
    std::string last = store.GetText(path);
    EXPECT_TRUE(last == values[0] || last == values[1]);
}
