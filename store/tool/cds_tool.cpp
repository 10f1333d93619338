// `cds`: reads and sets one store leaf from a shell (the box's ppp hooks publish the link address
// with it). It uses only what the device's own store client offers, so the same source builds
// against the vendor's libraries on the box and against the stand-in on a PC.
//
// Exit status: 0 done, 1 leaf missing, unreadable or not written, 2 usage error, 3 no store.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "cds.h"
#include "store/leaves.h"

namespace {

enum { EXIT_LEAF = 1, EXIT_USAGE = 2, EXIT_NO_STORE = 3 };

int Usage() {
    fprintf(stderr,
            "usage: cds get PATH\n"
            "       cds set PATH bool|int|string VALUE\n");
    return EXIT_USAGE;
}

// A call went through only when it returned 0 and the leaf's own status says done; any other
// status is a failure whose meaning only the client library knows, so it is shown as a number.
int Outcome(const char* what, const std::string& path, int result, api_status_t status) {
    if (result == 0 && status == LEAF_DONE) return 0;
    fprintf(stderr, "cds: %s %s failed (call %d, status %d)\n", what, path.c_str(), result,
            static_cast<int>(status));
    return EXIT_LEAF;
}

int Get(toolkit::CCds& store, const std::string& path) {
    toolkit::CElement element;
    element_property_t info{};
    api_status_t status = LEAF_DONE;
    int result = store.get_leaf(path, status, element, info);
    if (Outcome("get", path, result, status) != 0) return EXIT_LEAF;
    std::string text;
    element.to_string(text);
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
    // Built the way the daemon's own leaf writers build theirs: a type tag and a value.
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
    api_status_t status = LEAF_DONE;
    std::string unused;
    int result = store.set_leaf(path, element, status, 0, unused);
    return Outcome("set", path, result, status);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string command = argv[1];
    bool known = (command == "get" && argc == 3) || (command == "set" && argc == 5);
    if (!known) return Usage();

    auto handle = pcd_init();
    if (handle == 0) {
        fprintf(stderr, "cds: no store connection\n");
        return EXIT_NO_STORE;
    }
    toolkit::CCds store(handle);
    if (command == "get") return Get(store, argv[2]);
    return Set(store, argv[2], argv[3], argv[4]);
}
