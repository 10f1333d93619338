// Stand-in for the device's store client libraries on a PC: every leaf is one small file under the
// store folder, so the simulator, shell scripts and tests can read and set leaves with plain tools.
//
// Leaf paths are refused (CDS_STATUS_BAD_VALUE) unless they start with "/", hold no NUL, and every
// component between slashes is non-empty and does not start with "." — so no "//", no trailing
// "/", no "." or ".." and nothing can land outside the store or collide with the hidden temporary
// files that writes rename over a leaf.
//
// A PC has no battery-backed store, so the stand-in does what a careful file writer does: a leaf is
// only ever a regular file (a FIFO or a device under a leaf name is refused, never opened for
// waiting), a write reaches the disk before it is reported (the file and its folder are synced),
// temporary files of writers that died half-way are swept away by the next writer, and a write
// that fails takes back the folders it made.
#include "cds.h"
#include "store_backend.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

enum {
    MAX_HANDLES = 8,
    STORE_DIR_MAX = 256,
    FILE_PATH_MAX = 1024,
    LEAF_FILE_MAX = 4096  // a larger leaf file is garbage, not a value
};

const char* const DEFAULT_STORE = "/var/lib/cds";

// Store folder per open handle; handle N is slot N-1, an empty folder is a free slot.
char storeDirs[MAX_HANDLES][STORE_DIR_MAX];

const char* StoreDir(pcd_handle_t handle) {
    if (handle < 1 || handle > MAX_HANDLES) return nullptr;
    const char* dir = storeDirs[handle - 1];
    return dir[0] ? dir : nullptr;
}

bool PathAcceptable(const std::string& path) {
    if (path.size() < 2 || path[0] != '/') return false;
    if (path.find('\0') != std::string::npos) return false;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end == start || path[start] == '.') return false;
        start = end + 1;
    }
    return true;
}

// Joins the store folder and the leaf path; false when it would not fit.
bool LeafFile(const char* dir, const std::string& path, char* out, size_t size) {
    int n = snprintf(out, size, "%s%s", dir, path.c_str());
    return n > 0 && static_cast<size_t>(n) < size;
}

// Strict decimal int32: optional '-', at least one digit, nothing else.
bool ParseInt32(const char* text, int32_t& out) {
    const char* p = text;
    if (*p == '-') p++;
    if (*p < '0' || *p > '9') return false;
    for (const char* q = p; *q; q++) {
        if (*q < '0' || *q > '9') return false;
    }
    errno = 0;
    char* end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
    out = static_cast<int32_t>(v);
    return true;
}

// Parses one leaf file's content ("TYPE VALUE", final newline optional).
bool ParseLeaf(const char* data, size_t len, toolkit::CElement& element) {
    if (len > 0 && data[len - 1] == '\n') len--;
    if (memchr(data, '\n', len) || memchr(data, '\0', len)) return false;
    std::string line(data, len);
    size_t blank = line.find(' ');
    if (blank == std::string::npos) return false;
    std::string kind = line.substr(0, blank);
    std::string rest = line.substr(blank + 1);
    if (kind == "bool") {
        if (rest == "true") {
            element.set_bool(true);
        } else if (rest == "false") {
            element.set_bool(false);
        } else {
            return false;
        }
        return true;
    }
    if (kind == "int") {
        int32_t v = 0;
        if (!ParseInt32(rest.c_str(), v)) return false;
        element.set_int(v);
        return true;
    }
    if (kind == "string") {
        element.set_string(rest);
        return true;
    }
    return false;
}

api_status_t ReadLeaf(const char* dir, const std::string& path, toolkit::CElement& element,
                      element_property_t& info) {
    element = toolkit::CElement();
    info = element_property_t();
    if (!PathAcceptable(path)) return CDS_STATUS_BAD_VALUE;
    char file[FILE_PATH_MAX];
    if (!LeafFile(dir, path, file, sizeof file)) return CDS_STATUS_BAD_VALUE;

    // Only a regular file is a leaf. Looking before opening keeps a device's open (a tty raising
    // its modem lines) from ever happening; O_NONBLOCK and O_NOFOLLOW keep a FIFO or a link swapped
    // in between from making the open wait for a writer that never comes.
    struct stat st;
    if (lstat(file, &st) != 0) return (errno == ENOENT || errno == ENOTDIR) ? CDS_STATUS_NO_LEAF : CDS_STATUS_IO;
    if (!S_ISREG(st.st_mode)) return CDS_STATUS_IO;
    int fd = open(file, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) return (errno == ENOENT || errno == ENOTDIR) ? CDS_STATUS_NO_LEAF : CDS_STATUS_IO;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return CDS_STATUS_IO;
    }
    char data[LEAF_FILE_MAX + 1];
    size_t len = 0;
    while (len < sizeof data) {
        ssize_t n = read(fd, data + len, sizeof data - len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return CDS_STATUS_IO;
        }
        if (n == 0) break;
        len += static_cast<size_t>(n);
    }
    close(fd);
    if (len > LEAF_FILE_MAX || !ParseLeaf(data, len, element)) {
        element = toolkit::CElement();
        return CDS_STATUS_BAD_LEAF;
    }
    info.type = element.type();
    info.mtime = static_cast<int64_t>(st.st_mtime);
    return CDS_STATUS_OK;
}

// Syncs a folder, so that a name just created, renamed or removed in it survives a power cut.
void SyncFolder(const char* folder) {
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// The folder part of file (everything before its last slash) into out.
void FolderOf(const char* file, char* out, size_t size) {
    snprintf(out, size, "%s", file);
    char* slash = strrchr(out, '/');
    if (slash) *slash = '\0';
}

// mkdir -p for the folders between the store folder and the leaf file. *firstMade is set to the
// offset in file of the slash that ends the first folder this call created (0: none), so that a
// failed write can take back exactly what it made.
bool MakeParents(const char* dir, char* file, size_t* firstMade) {
    *firstMade = 0;
    size_t skip = strlen(dir) + 1;
    for (char* p = file + skip; *p; p++) {
        if (*p != '/') continue;
        *p = '\0';
        int rc = mkdir(file, 0755);
        int err = errno;
        if (rc == 0) {
            if (*firstMade == 0) *firstMade = static_cast<size_t>(p - file);
            char parent[FILE_PATH_MAX];
            FolderOf(file, parent, sizeof parent);
            SyncFolder(parent);
        }
        *p = '/';
        if (rc != 0 && err != EEXIST) return false;
    }
    return true;
}

// Removes the folders of file from its own folder up to the one that ends at offset firstMade
// (those a failed write made); a folder that another writer has filled meanwhile stays.
void RemoveMadeFolders(char* file, size_t firstMade) {
    if (firstMade == 0) return;
    for (size_t end = strlen(file); end >= firstMade; end--) {
        if (file[end] != '/') continue;
        file[end] = '\0';
        int rc = rmdir(file);
        file[end] = '/';
        if (rc != 0) return;
    }
}

bool WriteAll(int fd, const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

const char TEMP_PREFIX[] = ".cds-tmp.";

// A writer that was killed between creating its temporary file and renaming it leaves the file
// behind. Temporary names carry the writer's pid, so the next writer in the folder removes those
// whose writer is gone (a reused pid only delays that until its new owner ends).
void SweepDeadWritersTemps(const char* folder) {
    DIR* d = opendir(folder);
    if (!d) return;
    bool removed = false;
    while (struct dirent* entry = readdir(d)) {
        if (strncmp(entry->d_name, TEMP_PREFIX, sizeof TEMP_PREFIX - 1) != 0) continue;
        char* end = nullptr;
        long pid = strtol(entry->d_name + sizeof TEMP_PREFIX - 1, &end, 10);
        if (pid <= 0 || pid == static_cast<long>(getpid()) || *end != '.') continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        removed |= unlinkat(dirfd(d), entry->d_name, 0) == 0;
    }
    closedir(d);
    if (removed) SyncFolder(folder);
}

unsigned tempCounter = 0;

api_status_t WriteLeaf(const char* dir, const std::string& path, const toolkit::CElement& element) {
    if (!PathAcceptable(path)) return CDS_STATUS_BAD_VALUE;
    std::string line;
    switch (element.type()) {
    case toolkit::CElement::TYPE_BOOL:
        line = element.to_bool() ? "bool true\n" : "bool false\n";
        break;
    case toolkit::CElement::TYPE_INT: {
        char num[16];
        snprintf(num, sizeof num, "%ld", static_cast<long>(element.to_int()));
        line = std::string("int ") + num + "\n";
        break;
    }
    case toolkit::CElement::TYPE_STRING: {
        std::string text;
        element.to_string(text);
        if (text.find('\n') != std::string::npos || text.find('\0') != std::string::npos)
            return CDS_STATUS_BAD_VALUE;
        line = "string " + text + "\n";
        if (line.size() > LEAF_FILE_MAX) return CDS_STATUS_BAD_VALUE;
        break;
    }
    default:
        return CDS_STATUS_BAD_VALUE;
    }

    char file[FILE_PATH_MAX];
    char temp[FILE_PATH_MAX];
    if (!LeafFile(dir, path, file, sizeof file)) return CDS_STATUS_BAD_VALUE;
    // The temporary file sits beside the leaf (same file system, so rename is atomic) under a
    // hidden name no leaf can have; pid and counter keep concurrent writers apart.
    size_t slash = path.rfind('/');
    int n = snprintf(temp, sizeof temp, "%s%s%s%ld.%u", dir, path.substr(0, slash + 1).c_str(),
                     TEMP_PREFIX, static_cast<long>(getpid()), tempCounter++);
    if (n < 0 || static_cast<size_t>(n) >= sizeof temp) return CDS_STATUS_BAD_VALUE;
    char folder[FILE_PATH_MAX];
    FolderOf(file, folder, sizeof folder);
    SweepDeadWritersTemps(folder);

    size_t firstMade = 0;
    int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        if (!MakeParents(dir, temp, &firstMade)) {
            RemoveMadeFolders(temp, firstMade);
            return CDS_STATUS_IO;
        }
        fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    }
    if (fd < 0) {
        RemoveMadeFolders(temp, firstMade);
        return CDS_STATUS_IO;
    }
    // The data reaches the disk before the name points at it, and the rename before success is
    // reported: a power cut then leaves the old value or the new one, never an empty leaf.
    bool ok = WriteAll(fd, line.data(), line.size()) && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(temp, file) == 0) {
        SyncFolder(folder);
        return CDS_STATUS_OK;
    }
    unlink(temp);
    RemoveMadeFolders(temp, firstMade);
    return CDS_STATUS_IO;
}

}  // namespace

pcd_handle_t pcd_init(void) {
    const char* dir = getenv("CDS_STORE");
    if (!dir || !dir[0]) dir = DEFAULT_STORE;
    size_t len = strlen(dir);
    if (len >= STORE_DIR_MAX) return 0;
    struct stat st;
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || access(dir, W_OK | X_OK) != 0) return 0;
    for (int i = 0; i < MAX_HANDLES; i++) {
        if (storeDirs[i][0] == '\0') {
            memcpy(storeDirs[i], dir, len + 1);
            // A trailing slash would double up when joined with a leaf path.
            while (len > 1 && storeDirs[i][len - 1] == '/') storeDirs[i][--len] = '\0';
            return i + 1;
        }
    }
    return 0;
}

void pcd_close(pcd_handle_t handle) {
    if (StoreDir(handle)) storeDirs[handle - 1][0] = '\0';
}

namespace cdsbackend {

bool Open(pcd_handle_t handle) { return StoreDir(handle) != nullptr; }

api_status_t Read(pcd_handle_t handle, const std::string& path, toolkit::CElement& element,
                  element_property_t& info) {
    return ReadLeaf(StoreDir(handle), path, element, info);
}

api_status_t Write(pcd_handle_t handle, const std::string& path, const toolkit::CElement& element) {
    return WriteLeaf(StoreDir(handle), path, element);
}

}  // namespace cdsbackend
