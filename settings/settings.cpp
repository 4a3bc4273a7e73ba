#include "settings/settings.h"

#include <cstring>
#include <strings.h>

namespace {
// One line of the settings file. A longer line is taken in pieces, each read
// as if it were a line of its own.
char settings_line[16384];

void cut_at_first(char* text, char c)
{
    if (char* p = std::strchr(text, c))
        *p = '\0';
}
}  // namespace

const char* settings_find(FILE* file, const char* key)
{
    while (std::fgets(settings_line, sizeof settings_line, file) != nullptr) {
        cut_at_first(settings_line, '\r');
        cut_at_first(settings_line, '\n');
        // The last quote closes a quoted value; whatever follows it is dropped.
        if (char* quote = std::strrchr(settings_line, '"'))
            *quote = '\0';
        char* equals = std::strchr(settings_line, '=');
        if (equals == nullptr)
            continue;
        *equals = '\0';
        if (strcasecmp(settings_line, key) != 0)
            continue;
        char* value = equals + 1;
        if (*value == '"')
            ++value;
        return value;
    }
    return nullptr;
}

uint32_t settings_get_uint(FILE* file, const char* key)
{
    if (file == nullptr)
        return 0;
    std::rewind(file);
    const char* value = settings_find(file, key);
    if (value == nullptr)
        return 0;
    unsigned int n = 0;
    if (std::sscanf(value, "%u", &n) != 1)
        return 0;
    return n;
}

void load_mode(uint32_t* mode)
{
    FILE* file = std::fopen(SETTINGS_PATH, "r");
    *mode = settings_get_uint(file, SETTINGS_MODE_KEY);
    if (file != nullptr)
        std::fclose(file);
}
