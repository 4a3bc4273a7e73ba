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

const char* settings_find(text_file& file, const char* key)
{
    while (file.read_line(settings_line, sizeof settings_line)) {
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

uint32_t settings_get_uint(text_file* file, const char* key)
{
    if (file == nullptr || !file->rewind())
        return 0;
    const char* value = settings_find(*file, key);
    if (value == nullptr)
        return 0;
    // As "%u" reads it on the router's 32-bit C library: leading blanks
    // skipped, an optional sign (a minus wraps), digits up to the first
    // non-digit; a number beyond 32 bits gives 4294967295 (sscanf's own
    // result there is undefined; a 64-bit build would truncate).
    unsigned n = 0;
    return scan_counts(value, "%u", &n) == 1 ? n : 0;
}

void load_mode(uint32_t* mode)
{
    text_file file(SETTINGS_PATH);
    *mode = settings_get_uint(file.is_open() ? &file : nullptr, SETTINGS_MODE_KEY);
}
