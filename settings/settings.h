// Module settings file: "KEY=value" lines, the value optionally in double quotes.
#pragma once

#include "common/text.h"

#include <cstdint>

inline constexpr const char* SETTINGS_PATH = "/opt/tavrin/etc/settings";
inline constexpr const char* SETTINGS_MODE_KEY = "MOD_TAVRIN_MODE";

// Scans `file` from its current position for the first line whose key equals
// `key` (letter case ignored, blanks significant). Returns the value text,
// which lives in a static line buffer until the next lookup, or nullptr.
const char* settings_find(text_file& file, const char* key);

// Value of `key` as an unsigned number, looked up from the file's first line;
// 0 when `file` is null, the key is absent or its value does not start with a
// number. A number beyond 32 bits reads as 4294967295; a minus sign wraps.
uint32_t settings_get_uint(text_file* file, const char* key);

// Reads the LED mode from the settings file into `*mode`; 0 when unusable.
void load_mode(uint32_t* mode);
