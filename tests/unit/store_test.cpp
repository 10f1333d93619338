// The file-backed store: leaf file format both ways, conversions, refusals, batch reads, the
// no-connection answer, atomic and durable replacement under concurrent writers, and what dead or
// failed writers leave behind.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/globals.h"
#include "cds.h"
#include "temp_store.h"

// Every fsync of this test program, by the path its descriptor named at the time: the store's
// durability cannot be seen any other way short of cutting the power.
static std::vector<std::string> fsyncedPaths;

extern "C" int fsync(int fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n > 0) fsyncedPaths.emplace_back(target, static_cast<size_t>(n));
    static auto realFsync = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    return realFsync ? realFsync(fd) : 0;
}

namespace {

// Runs body in a child process (so that limits and signal dispositions stay there) and gives its
// exit status; a body that hangs is ended by an alarm far beyond any honest run and reads as 142.
int InChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(60);
        _exit(body());
    }
    int status = -1;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void WriteFile(const std::string& file, const std::string& content) {
    std::string dir = file.substr(0, file.rfind('/'));
    std::string cmd = "mkdir -p '" + dir + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    std::ofstream(file, std::ios::binary) << content;
}

std::string ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
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
    const struct { std::string content; api_status_t status; const char* asText; } rows[] = {
        {"bool true\n", CDS_STATUS_OK, "true"}, {"bool false", CDS_STATUS_OK, "false"},
        {"int -42\n", CDS_STATUS_OK, "-42"}, {"string \n", CDS_STATUS_OK, ""},
        {"string a  b \n", CDS_STATUS_OK, "a  b "},
        {"", CDS_STATUS_BAD_LEAF, ""}, {"bool yes\n", CDS_STATUS_BAD_LEAF, ""}, {"int 12x\n", CDS_STATUS_BAD_LEAF, ""},
        {"int 2147483648", CDS_STATUS_BAD_LEAF, ""}, {"float 1.5\n", CDS_STATUS_BAD_LEAF, ""},
        {"string a\nstring b\n", CDS_STATUS_BAD_LEAF, ""}, {std::string("string a\0b", 10), CDS_STATUS_BAD_LEAF, ""},
        {"string " + std::string(5000, 'x'), CDS_STATUS_BAD_LEAF, ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.content.substr(0, 20));
        WriteFile(store.dir() + "/T/Value", r.content);
        toolkit::CElement e;
        e.set_int(7);  // a failed read must not leave an old value behind
        EXPECT_EQ(Read("/T/Value", e), r.status);
        std::string s;
        e.to_string(s);
        EXPECT_EQ(s, r.asText);
    }
    toolkit::CElement e;
    for (const char* path : {"/T/Missing", "/T/Value/Below"}) EXPECT_EQ(Read(path, e), CDS_STATUS_NO_LEAF);
}

TEST(Store, writes_give_one_line_with_final_newline_and_create_folders) {
    TempStore store;
    store.SetBool("/N/Deep/Bool", false);
    store.SetInt("/N/Int", -2147483647 - 1);
    store.SetText("/N/Text", "old");
    store.SetText("/N/Text", "");
    EXPECT_EQ(ReadFile(store.dir() + "/N/Deep/Bool"), "bool false\n");
    EXPECT_EQ(ReadFile(store.dir() + "/N/Int"), "int -2147483648\n");
    EXPECT_EQ(ReadFile(store.dir() + "/N/Text"), "string \n");
    std::string ls = "ls -A '" + store.dir() + "/N' > '" + store.dir() + "/ls.out'";
    ASSERT_EQ(system(ls.c_str()), 0);
    EXPECT_EQ(ReadFile(store.dir() + "/ls.out"), "Deep\nInt\nText\n");  // no temporary file left
}

TEST(Store, conversions_follow_the_element_kind) {
    toolkit::CElement none, t, neg;
    t.set_bool(true);
    neg.set_int(-5);
    const struct { toolkit::CElement e; bool asBool; int32_t asInt; const char* asText; } rows[] = {
        {none, false, 0, ""}, {t, true, 1, "true"}, {neg, true, -5, "-5"}, {Text("true"), true, 0, "true"},
        {Text("1"), true, 1, "1"}, {Text(""), false, 0, ""}, {Text(" 42ab"), false, 42, " 42ab"},
        {Text("-99999999999"), false, -2147483647 - 1, "-99999999999"},
        {Text("99999999999"), false, 2147483647, "99999999999"},
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

TEST(Store, refuses_paths_outside_the_store_and_unstorable_values) {
    TempStore store;
    const std::string paths[] = {"",          "/",         "A/V",     "/A//V",  "/A/V/",
                                 "/../x",     "/A/../../x", "/A/./V", "/A/.tmp", std::string("/A\0x", 4)};
    for (const std::string& p : paths) {
        SCOPED_TRACE(p);
        toolkit::CElement e;
        EXPECT_EQ(Write(p, Text("x")), CDS_STATUS_BAD_VALUE);
        EXPECT_EQ(Read(p, e), CDS_STATUS_BAD_VALUE);
    }
    for (const toolkit::CElement& e : {toolkit::CElement(), Text("two\nlines"),
                                       Text(std::string("n\0l", 3)), Text(std::string(5000, 'x'))})
        EXPECT_EQ(Write("/A/V", e), CDS_STATUS_BAD_VALUE);
    EXPECT_FALSE(store.Has("/A/V"));
    EXPECT_NE(access((store.dir() + "/../x").c_str(), F_OK), 0);
}

TEST(Store, batch_read_answers_each_path_in_order_and_no_connection_answers_no_store) {
    TempStore store;
    store.SetInt("/B/Int", 300);
    WriteFile(store.dir() + "/B/Bad", "nonsense");
    std::vector<api_status_t> st;
    std::vector<toolkit::CElement> el;
    std::vector<element_property_t> info;
    ASSERT_EQ(api.get_leaves({"/B/None", "/B/Int", "/B/Bad", "rel"}, st, el, info), 0);
    EXPECT_EQ(st, (std::vector<api_status_t>{CDS_STATUS_NO_LEAF, CDS_STATUS_OK, CDS_STATUS_BAD_LEAF,
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
    for (const std::string& dir : {store.dir() + "/missing", store.dir() + "/B/Bad"}) {
        setenv("CDS_STORE", dir.c_str(), 1);
        EXPECT_EQ(pcd_init(), 0) << dir;
    }
    setenv("CDS_STORE", store.dir().c_str(), 1);
}

// Two writers replace one leaf while a reader reads it: rename makes each read see a whole old
// or new value, never a torn or missing one. Bounded by count, so it ends on any machine. The
// store sits on /dev/shm when there is one: atomicity is the point here, and thousands of synced
// writes on a busy disk would take far longer than the race needs.
TEST(Store, concurrent_writers_never_show_a_torn_or_missing_leaf) {
    char memoryDir[] = "/dev/shm/lw-store-race.XXXXXX";
    bool inMemory = mkdtemp(memoryDir) != nullptr;
    TempStore store;
    if (inMemory) {
        api.set_handle(0);
        setenv("CDS_STORE", memoryDir, 1);
        api.set_handle(pcd_init());
    }
    const std::string values[] = {std::string(1500, 'a'), std::string(1500, 'b'), std::string(1500, 'c')};
    store.SetText("/Race", values[2]);
    std::vector<pid_t> children;
    for (int role = 0; role < 3; role++) {  // 0 and 1 write, 2 reads
        pid_t pid = fork();
        if (pid != 0) {
            children.push_back(pid);
            continue;
        }
        toolkit::CCds cds(pcd_init());
        int bad = 0;
        for (int n = 0; n < (role < 2 ? 2000 : 4000); n++) {
            api_status_t st = CDS_STATUS_OK;
            toolkit::CElement e = Text(role < 2 ? values[role] : "");
            element_property_t info = {};
            std::string text;
            if (role < 2) {
                cds.set_leaf("/Race", e, st, 0, text);
            } else {
                cds.get_leaf("/Race", st, e, info);
                e.to_string(text);
                bad |= text != values[0] && text != values[1] && text != values[2];
            }
            bad |= st != CDS_STATUS_OK;
        }
        _exit(bad);
    }
    for (pid_t pid : children) {
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
    }
    std::string last = store.GetText("/Race");
    EXPECT_TRUE(last == values[0] || last == values[1]);
    if (inMemory) {
        EXPECT_EQ(system(("rm -rf '" + std::string(memoryDir) + "'").c_str()), 0);
    }
}

// Anything but a regular file under a leaf's name is refused at once: a FIFO with no writer must
// not hang the reader in open(), and a device must not be opened at all.
TEST(Store, a_leaf_that_is_no_regular_file_reads_as_an_io_error_without_waiting) {
    TempStore store;
    store.SetText("/Real/Value", "x");
    const std::string leaf = store.dir() + "/Odd/Value";
    const struct { const char* what; std::function<int()> make; } rows[] = {
        {"fifo", [&] { return mkfifo(leaf.c_str(), 0644); }},
        {"character device", [&] { return mknod(leaf.c_str(), S_IFCHR | 0644, makedev(1, 3)); }},
        {"link to a fifo", [&] { return mkfifo((leaf + ".fifo").c_str(), 0644) | symlink((leaf + ".fifo").c_str(), leaf.c_str()); }},
        {"link to a leaf", [&] { return symlink((store.dir() + "/Real/Value").c_str(), leaf.c_str()); }},
        {"folder", [&] { return mkdir(leaf.c_str(), 0755); }},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        ASSERT_EQ(system(("rm -rf '" + store.dir() + "/Odd' && mkdir '" + store.dir() + "/Odd'").c_str()), 0);
        if (r.make() != 0) {
            ADD_FAILURE() << "cannot make the " << r.what;
            continue;
        }
        EXPECT_EQ(InChild([] {
                      toolkit::CElement e;
                      return Read("/Odd/Value", e) == CDS_STATUS_IO && e.type() == 0 ? 0 : 1;
                  }),
                  0);
    }
}

// A write reaches the disk before it is reported: the new file's data, the folder that holds the
// renamed name, and the folders above every folder the write had to create.
TEST(Store, a_write_syncs_the_file_and_every_folder_it_changed) {
    TempStore store;
    const struct { const char* path; std::vector<std::string> folders; } rows[] = {
        {"/New/Deep/Value", {"", "/New", "/New/Deep"}},
        {"/New/Deep/Value", {"/New/Deep"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        fsyncedPaths.clear();
        EXPECT_EQ(Write(r.path, Text("v")), CDS_STATUS_OK);
        std::vector<std::string> want;
        for (const std::string& f : r.folders) want.push_back(store.dir() + f);
        std::vector<std::string> folders;
        int files = 0;
        for (const std::string& p : fsyncedPaths) {
            if (p.find("/.cds-tmp.") != std::string::npos) {
                files++;
            } else {
                folders.push_back(p);
            }
        }
        EXPECT_EQ(files, 1);  // the data, synced under its temporary name before the rename
        std::sort(folders.begin(), folders.end());
        EXPECT_EQ(folders, want);
    }
}

// A writer killed between creating its temporary file and renaming it leaves that file; the next
// writer in the folder removes it, but never the temporary file of a writer that still runs.
TEST(Store, temporary_files_of_dead_writers_are_removed_by_the_next_write) {
    TempStore store;
    store.SetText("/W/Value", "old");
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const struct { long pid; bool stays; } rows[] = {{dead, false}, {getppid(), true}, {getpid(), true}};
    for (const auto& r : rows) WriteFile(store.dir() + "/W/.cds-tmp." + std::to_string(r.pid) + ".7", "string half");
    store.SetText("/W/Value", "new");
    EXPECT_EQ(store.GetText("/W/Value"), "new");
    for (const auto& r : rows) {
        SCOPED_TRACE(r.pid);
        EXPECT_EQ(access((store.dir() + "/W/.cds-tmp." + std::to_string(r.pid) + ".7").c_str(), F_OK) == 0, r.stays);
    }
}

// A write that fails (here: the file size limit stops the data) reports the I/O status and takes
// back the folders it made for the leaf; folders that were there before stay.
TEST(Store, a_failed_write_leaves_no_folder_it_made) {
    TempStore store;
    store.SetText("/Kept/Value", "x");
    const struct { const char* path; const char* gone; const char* stays; } rows[] = {
        {"/Made/For/Value", "/Made", ""},
        {"/Kept/New/Deeper/Value", "/Kept/New", "/Kept/Value"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(InChild([&] {
                      signal(SIGXFSZ, SIG_IGN);
                      struct rlimit one = {1, 1};
                      setrlimit(RLIMIT_FSIZE, &one);
                      return Write(r.path, Text("value")) == CDS_STATUS_IO ? 0 : 1;
                  }),
                  0);
        EXPECT_NE(access((store.dir() + r.gone).c_str(), F_OK), 0);
        EXPECT_EQ(access((store.dir() + r.stays).c_str(), F_OK), 0);
    }
}
