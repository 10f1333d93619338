#include "temp_store.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "base/globals.h"

static std::string MakeTempDir(const char* pattern) {
    char tmpl[64];
    snprintf(tmpl, sizeof tmpl, "/tmp/%s.XXXXXX", pattern);
    const char* d = mkdtemp(tmpl);
    return d ? d : "";
}

static void RemoveTree(const std::string& dir) {
    if (dir.rfind("/tmp/", 0) != 0) return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) return;
}

TempStore::TempStore() : dir_(MakeTempDir("lw-store")) {
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

TempRoot::TempRoot() : dir_(MakeTempDir("lw-root")) { setenv("LINKWARDEN_ROOT", dir_.c_str(), 1); }

TempRoot::~TempRoot() {
    unsetenv("LINKWARDEN_ROOT");
    RemoveTree(dir_);
}
