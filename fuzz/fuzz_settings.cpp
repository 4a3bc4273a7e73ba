// The settings reader on arbitrary file contents, read in place (an
// overrun shows to the address sanitizer).
#include "settings/settings.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    text_file file(reinterpret_cast<const char*>(data), size);
    settings_get_uint(&file, "MOD_TAVRIN_MODE");
    settings_get_uint(&file, "mod_tavrin_mode");
    file.rewind();
    while (const char* value = settings_find(file, "MOD_TAVRIN_MODE"))
        if (std::strlen(value) > 16383)
            __builtin_trap();  // the value lies within the line buffer
    return 0;
}
