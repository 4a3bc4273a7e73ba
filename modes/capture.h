// Reading one number back from a capture file.
#pragma once

// Opens `path` and scans `format` (one unsigned conversion) from its start.
// Returns 0 with `*value` set, or -1 when the file cannot be opened (or is
// not a regular file) or the scan does not convert exactly one number.
int capture_scan_count(const char* path, const char* format, unsigned* value);
