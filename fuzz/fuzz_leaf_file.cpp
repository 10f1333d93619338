// Any bytes as a leaf file in the store, read back with every conversion.
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/globals.h"
#include "fuzz_support.h"

static std::string store;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    store = fuzz::MemoryStore();
    toolkit::CElement e;
    e.set_int(0);
    api_status_t st = CDS_STATUS_OK;
    std::string text;
    api.set_leaf("/Fuzz/Value", e, st, 0, text);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::PutLeafFile(store, "/Fuzz/Value", std::string(reinterpret_cast<const char*>(data), size));

    toolkit::CElement element;
    element_property_t info = {};
    api_status_t status = CDS_STATUS_OK;
    api.get_leaf("/Fuzz/Value", status, element, info);
    std::string text;
    element.to_string(text);
    (void)element.to_bool();
    (void)element.to_int();
    if (status == CDS_STATUS_OK && text.find('\n') != std::string::npos) __builtin_trap();
    return 0;
}
