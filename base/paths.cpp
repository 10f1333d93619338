// Path rooting for runs on a PC (see paths.h).
#include "base/paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char* LinkwardenRoot() {
    const char* root = getenv("LINKWARDEN_ROOT");
    return (root && root[0]) ? root : "";
}

int CheckLinkwardenRoot() {
    const char* root = LinkwardenRoot();
    size_t len = strlen(root);
    if (len == 0) return 1;
    bool usable = root[0] == '/' && len <= LINKWARDEN_ROOT_MAX;
    for (size_t i = 0; usable && i < len; i++) {
        char c = root[i];
        usable = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '/' || c == '.' || c == '_' || c == '-';
    }
    if (!usable) {
        printf("\nlinkwarden: LINKWARDEN_ROOT rejected: it must be an absolute path of at most %d "
               "characters from A-Z a-z 0-9 / . _ -\n",
               LINKWARDEN_ROOT_MAX);
        fflush(stdout);
    }
    return usable ? 1 : 0;
}

const char* RootedPath(const char* path, char* out, size_t size) {
    int n = snprintf(out, size, "%s%s", LinkwardenRoot(), path);
    if (n < 0 || static_cast<size_t>(n) >= size) out[0] = '\0';
    return out;
}
