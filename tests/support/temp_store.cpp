#include "temp_store.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/globals.h"

// Under /dev/shm where there is one: every leaf write syncs its file and folders, which on a disk
// costs milliseconds and would bound a fuzz target to a few hundred runs a second. The pid in the
// name lets whoever started the process remove what it left after a crash.
static std::string MakeTempDir(const char* kind) {
    struct stat st;
    const char* base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    char tmpl[96];
    snprintf(tmpl, sizeof tmpl, "%s/lw-%s-%ld.XXXXXX", base, kind, static_cast<long>(getpid()));
    const char* d = mkdtemp(tmpl);
    return d ? d : "";
}

static void RemoveTree(const std::string& dir) {
    if (dir.rfind("/tmp/lw-", 0) != 0 && dir.rfind("/dev/shm/lw-", 0) != 0) return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) return;
}

TempStore::TempStore() : dir_(MakeTempDir("store")) {
    setenv("CDS_STORE", dir_.c_str(), 1);
    api.set_handle(pcd_init());
}

TempStore::~TempStore() {
    api.set_handle(0);
    RemoveTree(dir_);
}

static void Set(const std::string& path, const toolkit::CElement& e) {
    api_status_t st = CDS_STATUS_OK;
    std::string text;
    api.set_leaf(path, e, st, 0, text);
}

static toolkit::CElement Get(const std::string& path, api_status_t& st) {
    toolkit::CElement e;
    element_property_t info = {};
    st = CDS_STATUS_OK;
    api.get_leaf(path, st, e, info);
    return e;
}

void TempStore::SetBool(const std::string& path, bool v) {
    toolkit::CElement e;
    e.set_bool(v);
    Set(path, e);
}
void TempStore::SetInt(const std::string& path, int v) {
    toolkit::CElement e;
    e.set_int(v);
    Set(path, e);
}
void TempStore::SetText(const std::string& path, const std::string& v) {
    toolkit::CElement e;
    e.set_string(v);
    Set(path, e);
}
bool TempStore::Has(const std::string& path) const {
    api_status_t st;
    Get(path, st);
    return st == CDS_STATUS_OK;
}
bool TempStore::GetBool(const std::string& path) const {
    api_status_t st;
    return Get(path, st).to_bool();
}
int TempStore::GetInt(const std::string& path) const {
    api_status_t st;
    return Get(path, st).to_int();
}
std::string TempStore::GetText(const std::string& path) const {
    api_status_t st;
    std::string s;
    Get(path, st).to_string(s);
    return s;
}

TempRoot::TempRoot() : dir_(MakeTempDir("root")) { setenv("LINKWARDEN_ROOT", dir_.c_str(), 1); }

TempRoot::~TempRoot() {
    unsetenv("LINKWARDEN_ROOT");
    RemoveTree(dir_);
}
