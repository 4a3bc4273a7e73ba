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

// The characters "%u" skips before a number (isspace in the C locale).
constexpr bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads an unsigned decimal number the way "%u" does on the router's 32-bit
// C library: leading blanks skipped, an optional sign (a minus wraps), digits
// up to the first non-digit; a number beyond 32 bits gives 4294967295. Done
// here rather than by sscanf, whose out-of-range result is undefined and on
// a 64-bit build truncates instead (4294967299 would read as 3).
bool parse_u32(const char* text, uint32_t* out)
{
    while (is_blank(*text))
        ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        ++text;
    if (*text < '0' || *text > '9')
        return false;
    // Held at 2^32 once past 32 bits, so the loop itself cannot overflow.
    constexpr uint64_t beyond = uint64_t{UINT32_MAX} + 1;
    uint64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > beyond)
            magnitude = beyond;
    }
    if (magnitude == beyond)
        *out = UINT32_MAX;
    else
        *out = negative ? 0u - static_cast<uint32_t>(magnitude) : static_cast<uint32_t>(magnitude);
    return true;
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
    uint32_t n = 0;
    return parse_u32(value, &n) ? n : 0;
}

void load_mode(uint32_t* mode)
{
    FILE* file = std::fopen(SETTINGS_PATH, "r");
    *mode = settings_get_uint(file, SETTINGS_MODE_KEY);
    if (file != nullptr)
        std::fclose(file);
}
