// Hands a fuzz input to a reader that takes a file path: the bytes are
// written to one file per process, rewritten for every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

inline const char* input_file(const uint8_t* data, size_t size)
{
    static char path[64];
    static int fd = -1;
    if (fd < 0) {
        std::snprintf(path, sizeof path, "/tmp/tavrin-fuzz-%d", static_cast<int>(getpid()));
        fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            __builtin_trap();
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
    return path;
}
