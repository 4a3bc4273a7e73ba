// The settings reader on arbitrary file contents.
#include "settings/settings.h"

#include "memory_input.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* file = memory_input(data, size);
    if (file == nullptr)
        return 0;
    settings_get_uint(file, "MOD_TAVRIN_MODE");
    settings_get_uint(file, "mod_tavrin_mode");
    std::rewind(file);
    while (const char* value = settings_find(file, "MOD_TAVRIN_MODE"))
        if (std::strlen(value) > 16383)
            __builtin_trap();  // the value lies within the line buffer
    std::fclose(file);
    return 0;
}
