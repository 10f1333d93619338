// `cds`: reads, sets and lists leaves of the stand-in store from a shell, through the same library
// the daemon uses, so simulator scripts never depend on the file layout.
//
// Exit status: 0 done, 1 leaf missing, unreadable or not written, 2 usage error, 3 no store.
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cds.h"

namespace {

enum { EXIT_MISSING = 1, EXIT_USAGE = 2, EXIT_NO_STORE = 3, MAX_DEPTH = 32 };

int Usage() {
    fprintf(stderr,
            "usage: cds get PATH\n"
            "       cds set PATH bool|int|string VALUE\n"
            "       cds list [PREFIX]\n"
            "The store is the folder named by CDS_STORE (default /var/lib/cds).\n");
    return EXIT_USAGE;
}

const char* StoreName() {
    const char* dir = getenv("CDS_STORE");
    return (dir && dir[0]) ? dir : "/var/lib/cds";
}

const char* StatusText(api_status_t status) {
    switch (status) {
    case CDS_STATUS_NO_LEAF: return "no such leaf";
    case CDS_STATUS_BAD_LEAF: return "leaf file does not hold \"TYPE VALUE\"";
    case CDS_STATUS_NO_STORE: return "no store connection";
    case CDS_STATUS_BAD_VALUE: return "refused (bad path or value)";
    case CDS_STATUS_IO: return "input/output error";
    default: return "unknown status";
    }
}

// Reads one leaf into element and its text; on failure says why on stderr and returns the status.
api_status_t ReadLeaf(toolkit::CCds& store, const std::string& path, toolkit::CElement& element,
                      std::string& text) {
    api_status_t status = CDS_STATUS_OK;
    element_property_t info = {};
    store.get_leaf(path, status, element, info);
    if (status != CDS_STATUS_OK) {
        fprintf(stderr, "cds: %s: %s\n", path.c_str(), StatusText(status));
        return status;
    }
    element.to_string(text);
    return status;
}

int Get(toolkit::CCds& store, const std::string& path) {
    toolkit::CElement element;
    std::string text;
    api_status_t status = ReadLeaf(store, path, element, text);
    if (status != CDS_STATUS_OK) return status == CDS_STATUS_BAD_VALUE ? EXIT_USAGE : EXIT_MISSING;
    printf("%s\n", text.c_str());
    return 0;
}

bool ParseIntArg(const char* text, int32_t& out) {
    const char* digits = text[0] == '-' ? text + 1 : text;
    if (*digits == '\0' || strspn(digits, "0123456789") != strlen(digits)) return false;
    errno = 0;
    long long v = strtoll(text, nullptr, 10);
    if (errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

int Set(toolkit::CCds& store, const std::string& path, const std::string& type, const char* text) {
    toolkit::CElement element;
    if (type == "bool") {
        if (strcmp(text, "true") != 0 && strcmp(text, "false") != 0) {
            fprintf(stderr, "cds: a bool value is true or false, not \"%s\"\n", text);
            return EXIT_USAGE;
        }
        element.set_bool(strcmp(text, "true") == 0);
    } else if (type == "int") {
        int32_t v = 0;
        if (!ParseIntArg(text, v)) {
            fprintf(stderr, "cds: an int value is a 32-bit decimal number, not \"%s\"\n", text);
            return EXIT_USAGE;
        }
        element.set_int(v);
    } else if (type == "string") {
        element.set_string(text);
    } else {
        fprintf(stderr, "cds: unknown type \"%s\" (bool, int or string)\n", type.c_str());
        return EXIT_USAGE;
    }
    api_status_t status = CDS_STATUS_OK;
    std::string unused;
    store.set_leaf(path, element, status, 0, unused);
    if (status != CDS_STATUS_OK) {
        fprintf(stderr, "cds: %s: %s\n", path.c_str(), StatusText(status));
        return status == CDS_STATUS_BAD_VALUE ? EXIT_USAGE : EXIT_MISSING;
    }
    return 0;
}

// Collects the leaf paths under dir (hidden names are the library's temporary files).
void Collect(const std::string& dir, const std::string& leafPrefix, int depth,
             std::vector<std::string>& out) {
    if (depth > MAX_DEPTH) return;
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        std::string file = dir + "/" + entry->d_name;
        std::string leaf = leafPrefix + "/" + entry->d_name;
        struct stat st;
        if (lstat(file.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            Collect(file, leaf, depth + 1, out);
        } else if (S_ISREG(st.st_mode)) {
            out.push_back(leaf);
        }
    }
    closedir(d);
}

const char* TypeWord(int type) {
    switch (type) {
    case toolkit::CElement::TYPE_BOOL: return "bool";
    case toolkit::CElement::TYPE_INT: return "int";
    default: return "string";
    }
}

// Lists every leaf at or below the folder PREFIX ("/U6F" takes "/U6F/..." but not "/U6Fx").
int List(toolkit::CCds& store, std::string prefix) {
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
    std::string dir = StoreName();
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    std::vector<std::string> leaves;
    Collect(dir, "", 0, leaves);
    std::sort(leaves.begin(), leaves.end());
    for (const std::string& leaf : leaves) {
        bool under = prefix.empty() || leaf == prefix || leaf.compare(0, prefix.size() + 1, prefix + "/") == 0;
        if (!under) continue;
        toolkit::CElement element;
        std::string text;
        if (ReadLeaf(store, leaf, element, text) != CDS_STATUS_OK) continue;
        printf("%s %s %s\n", leaf.c_str(), TypeWord(element.type()), text.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string command = argv[1];
    bool known = (command == "get" && argc == 3) || (command == "set" && argc == 5) ||
                 (command == "list" && argc <= 3);
    if (!known) return Usage();

    toolkit::CCds store(pcd_init());
    if (store.handle() == 0) {
        fprintf(stderr, "cds: store not reachable: %s is not a writable folder (set CDS_STORE)\n",
                StoreName());
        return EXIT_NO_STORE;
    }
    if (command == "get") return Get(store, argv[2]);
    if (command == "set") return Set(store, argv[2], argv[3], argv[4]);
    return List(store, argc == 3 ? argv[2] : "");
}
