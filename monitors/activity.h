// Result of a change detector on traffic counters.
#pragma once

inline constexpr int ACTIVITY_UNREADABLE = -1;  // the counters cannot be read
inline constexpr int ACTIVITY_NONE = 0;         // no change since the previous call
inline constexpr int ACTIVITY_SEEN = 1;         // the counters changed
