// Call surface of the device's configuration store client (libcds and libcds++), as the daemon
// uses it. On the box the platform's own header and libraries take this file's place
// (LINKWARDEN_PLATFORM_CDS); on a PC the stand-in library behind it keeps the store in files.
//
// Stand-in contract (the device simulator, the tests, the `cds` tool and shell scripts rely on it):
// - The store is the directory named by CDS_STORE (default /var/lib/cds).
// - The leaf "/A/B/Value" is the file $CDS_STORE/A/B/Value holding one line: a type word, one
//   blank, the value: "bool true", "bool false", "int -42", "string 10.1.2.3". A text runs from
//   after the first blank to the end of the line and may be empty. A final newline is always
//   written and optional when read.
// - Writes create missing folders and replace the file atomically (temporary file + rename), with
//   the file and its folder synced before success is reported; a failed write removes the folders
//   it created. Temporary files are named ".cds-tmp.PID.N"; those of dead writers are removed by
//   the next write in the same folder.
// - A leaf is a regular file: anything else under a leaf's name (a FIFO, a device, a symbolic
//   link, a folder) reads as CDS_STATUS_IO, at once and without opening it for waiting.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef int pcd_handle_t;

// Status word of one leaf. Callers preset it to CDS_STATUS_OK.
typedef int api_status_t;
enum {
    CDS_STATUS_OK = 1,         // read or written
    CDS_STATUS_NO_LEAF = 2,    // the leaf file does not exist
    CDS_STATUS_BAD_LEAF = 3,   // the leaf file exists but does not hold "TYPE VALUE"
    CDS_STATUS_NO_STORE = 4,   // no connection (handle 0 or unknown)
    CDS_STATUS_BAD_VALUE = 5,  // refused: a text with a newline or NUL, an element with no type,
                               // or a path that is not absolute or climbs out of the store
    CDS_STATUS_IO = 6          // the file could not be read or written, or is no regular file
};

// Filled by reads, never examined by the daemon.
struct element_property_t {
    int type;       // the element's type tag as read
    int64_t mtime;  // the leaf file's modification time, seconds
};

typedef int pcd_tribool_t;

// Returns a non-zero handle when the store directory exists and is writable, 0 otherwise.
pcd_handle_t pcd_init(void);
// Releases a handle from pcd_init; 0 is ignored.
void pcd_close(pcd_handle_t handle);

namespace toolkit {

// One typed value. Conversions, by kind:
//   kind            to_bool            to_int                           to_string
//   none (tag 0)    false              0                                ""
//   bool (1)        the value          1 or 0                           "true" / "false"
//   int (2)         value != 0         the value                        decimal text
//   text (6)        "true" or "1"      leading decimal number (strtol,  the text
//                                      clamped to 32 bits), else 0
class CElement {
public:
    enum { TYPE_NONE = 0, TYPE_BOOL = 1, TYPE_INT = 2, TYPE_STRING = 6 };

    CElement();
    int type() const { return type_; }
    void set_bool(bool v);
    void set_int(int32_t v);
    void set_string(const std::string& v);

    bool to_bool() const;
    int32_t to_int() const;
    void to_string(std::string& out) const;

private:
    int type_;
    bool b_;
    int32_t i_;
    std::string s_;
};

// The store connection. Every operation returns 0 when the call went through (then each leaf
// has its own status), -1 when there is no connection (statuses CDS_STATUS_NO_STORE).
// A leaf that is not read (any status but CDS_STATUS_OK) leaves an empty element (tag 0) and
// a zeroed info behind, so its conversions give false, 0 and "".
class CCds {
public:
    explicit CCds(pcd_handle_t handle = 0);
    ~CCds();  // pcd_close on a non-zero handle
    CCds(const CCds&) = delete;
    CCds& operator=(const CCds&) = delete;

    pcd_handle_t handle() const { return handle_; }
    // Takes over a handle from pcd_init (the old one, if any, is closed).
    void set_handle(pcd_handle_t handle);

    int get_leaf(const std::string& path, api_status_t& status, CElement& element,
                 element_property_t& info);
    // One status, element and info per path, in path order (the vectors are replaced).
    int get_leaves(const std::vector<std::string>& paths, std::vector<api_status_t>& statuses,
                   std::vector<CElement>& elements, std::vector<element_property_t>& infos);
    // The flag and the text are accepted and ignored by the stand-in.
    int set_leaf(const std::string& path, const CElement& element, api_status_t& status,
                 pcd_tribool_t flag, std::string& text);

private:
    pcd_handle_t handle_;
};

}  // namespace toolkit
