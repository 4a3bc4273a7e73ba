// Hands a fuzz input to a reader that takes a file path: the bytes are
// written to one file per process, rewritten for every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

inline char input_path[64];

inline void remove_input_file()
{
    unlink(input_path);
}

inline const char* input_file(const uint8_t* data, size_t size)
{
    static int fd = -1;
    if (fd < 0) {
        std::snprintf(input_path, sizeof input_path, "/tmp/tavrin-fuzz-%d", static_cast<int>(getpid()));
        fd = open(input_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0)
            __builtin_trap();
        std::atexit(remove_input_file);
    }
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        __builtin_trap();
    return input_path;
}
