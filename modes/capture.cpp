#include "modes/capture.h"

#include "spawn/spawn.h"

#include <cstdio>

int capture_scan_count(const char* path, const char* format, unsigned* value)
{
    FILE* file = open_capture_read(path);
    if (file == nullptr)
        return -1;
    const int got = std::fscanf(file, format, value);
    std::fclose(file);
    return got == 1 ? 0 : -1;
}
