// How the status modes (11 to 16) turn what a tool said into the LED. A
// query the stop grace ended (or did not start) shows nothing: the mode
// leaves its loop at once.
#pragma once

#include "daemon/loop.h"
#include "spawn/spawn.h"

// For a query whose exit status is its answer: on when it exited with 0,
// off otherwise.
step_result show_exit_status(const query_result& query);

// For a listing (stations, sockets) published at `capture`: off when it
// lists nothing (at most one byte: an empty list prints at most a
// newline, and a listing that is not whole counts as none), `listed()`
// when it lists something.
step_result show_listing(const char* capture, const char* query, step_result (*listed)());
