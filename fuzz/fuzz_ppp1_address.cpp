// Any bytes as the store's ppp1 address leaf, read the way the link comes up: a good read keeps
// the text's first 19 characters in ppp1IpAddr, a failed one the earlier text, and the result is
// the address that text names, first number high, 0 for anything that is no dotted address.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "store/leaf_writers.h"
#include "store/leaves.h"

static std::string store;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::QuietStdout();
    store = fuzz::Store();
    toolkit::CElement e;
    e.set_string("");
    api_status_t st = CDS_STATUS_OK;
    std::string text;
    api.set_leaf(LEAF_PPP1_IP_ADDRESS, e, st, 0, text);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 8192) return 0;
    fuzz::PutLeafFile(store, LEAF_PPP1_IP_ADDRESS, std::string(reinterpret_cast<const char*>(data), size));
    char before[sizeof ppp1IpAddr];
    memcpy(before, ppp1IpAddr, sizeof before);
    int address = ReadPPP1IpAddrFromCds();
    if (!memchr(ppp1IpAddr, 0, sizeof ppp1IpAddr)) __builtin_trap();
    toolkit::CElement e;
    element_property_t info = {};
    api_status_t st = CDS_STATUS_OK;
    api.get_leaf(LEAF_PPP1_IP_ADDRESS, st, e, info);
    if (st != CDS_STATUS_OK && memcmp(before, ppp1IpAddr, sizeof before) != 0) __builtin_trap();
    std::string text;
    e.to_string(text);
    if (st == CDS_STATUS_OK && text.substr(0, sizeof ppp1IpAddr - 1) != ppp1IpAddr) __builtin_trap();
    struct in_addr a;
    uint32_t want = inet_pton(AF_INET, ppp1IpAddr, &a) == 1 ? ntohl(a.s_addr) : 0;
    if (static_cast<uint32_t>(address) != want) __builtin_trap();
    fflush(stdout);
    return 0;
}
