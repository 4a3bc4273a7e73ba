// Hands a fuzz input to a reader that takes an open stream: a read-only
// stream over the input's own bytes (NUL bytes included), with no file
// between, so each input costs no system call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// nullptr for an empty input (fmemopen needs at least one byte).
inline FILE* memory_input(const uint8_t* data, size_t size)
{
    if (size == 0)
        return nullptr;
    FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (stream == nullptr)
        __builtin_trap();
    return stream;
}
