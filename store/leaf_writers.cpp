// One-leaf writes through the global store connection, and the read of the ppp1 link address that
// the configuration sequence and the watchdog publish as an integer.
#include "store/leaf_writers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include "base/globals.h"
#include "store/leaves.h"

namespace {

int SetLeaf(const std::string& path, const toolkit::CElement& element, api_status_t& status) {
    std::string unused;
    status = LEAF_DONE;
    return api.set_leaf(path, element, status, 0, unused);
}

}  // namespace

int WriteBoolLeaf(bool state, std::string path) {
    toolkit::CElement element;
    element.set_bool(state);
    api_status_t status;
    SetLeaf(path, element, status);
    return 1;
}

int WriteIntLeaf(int number, std::string path) {
    toolkit::CElement element;
    element.set_int(number);
    api_status_t status;
    if (SetLeaf(path, element, status) != 0 || status != LEAF_DONE)
        printf("\nWriteIntLeaf: Failed to write %d to %s\n", number, path.c_str());
    return 1;
}

void WriteTextLeaf(const std::string& text, const std::string& path) {
    toolkit::CElement element;
    element.set_string(text);
    api_status_t status;
    SetLeaf(path, element, status);
}

static int ReadAddress(bool* read) {
    const std::string path = LEAF_PPP1_IP_ADDRESS;
    toolkit::CElement element;
    api_status_t status = LEAF_DONE;
    element_property_t info = {};
    *read = api.get_leaf(path, status, element, info) == 0 && status == LEAF_DONE;
    if (*read) {
        std::string text;
        element.to_string(text);
        snprintf(ppp1IpAddr, sizeof ppp1IpAddr, "%s", text.c_str());
        printf("\nReadPPP1IpAddrFromCds: ppp1 IP address = %s\n", ppp1IpAddr);
    } else {
        // Keep the last good address: the caller republishes it rather than a zero.
        printf("\nReadPPP1IpAddrFromCds: Error while reading %s.\n", path.c_str());
    }
    struct in_addr addr;
    if (inet_pton(AF_INET, ppp1IpAddr, &addr) != 1) return 0;
    // inet_pton gives network order; the leaf wants the first number in the top byte on any host.
    return static_cast<int>(ntohl(addr.s_addr));
}

int ReadPPP1IpAddrFromCds() {
    bool read = false;
    return ReadAddress(&read);
}

void PublishPPP1IpAddr() {
    bool read = false;
    int address = ReadAddress(&read);
    if (read) WriteIntLeaf(address, LEAF_CELL_IP_ADDR);
}
