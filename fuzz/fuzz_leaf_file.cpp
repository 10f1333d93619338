// Any bytes as a leaf file in the store, read back with every conversion.
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/globals.h"
#include "temp_store.h"

static TempStore* store;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    store = new TempStore();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file = store->dir() + "/Fuzz/Value";
    static bool made = false;
    if (!made) {
        store->SetInt("/Fuzz/Value", 0);
        made = true;
    }
    FILE* f = fopen(file.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

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
