#include "modes/capture.h"

#include <cstdio>

int capture_scan_count(const char* path, const char* format, unsigned* value)
{
    FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return -1;
    const int got = std::fscanf(file, format, value);
    std::fclose(file);
    return got == 1 ? 0 : -1;
}
