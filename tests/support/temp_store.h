// A throw-away configuration store for one test or one fuzz run: a fresh folder (under /dev/shm
// when there is one, else /tmp) named by CDS_STORE, with the global connection `api` attached to
// it, removed again at the end.
#pragma once

#include <string>

class TempStore {
public:
    TempStore();
    ~TempStore();
    const std::string& dir() const { return dir_; }

    // Direct leaf access for arrange and assert steps, through the store library.
    void SetBool(const std::string& path, bool v);
    void SetInt(const std::string& path, int v);
    void SetText(const std::string& path, const std::string& v);
    bool Has(const std::string& path) const;
    bool GetBool(const std::string& path) const;
    int GetInt(const std::string& path) const;
    std::string GetText(const std::string& path) const;

private:
    std::string dir_;
};

// A throw-away LINKWARDEN_ROOT folder (unset again at the end).
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    const std::string& dir() const { return dir_; }
    std::string Path(const std::string& absolute) const { return dir_ + absolute; }

private:
    std::string dir_;
};
