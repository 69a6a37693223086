// Limits and sentinels shared by every layer (immutable).
#pragma once

constexpr int MAX_BUFFERTYPES = 64;
constexpr int MAX_NODES = 1600000;
constexpr int MAX_EDGES = 1605500;

// Required time standing for minus infinity: every best-slack search starts here.
constexpr double MINUS_INFINITY_TIME = -20000000000.0;

// A limit that is not set.
constexpr double NO_LIMIT = 1e300;
// Largest area= accepted: a million buffers of it still sum exactly in 64 bits.
constexpr long long MAX_AREA = 1000000000LL;
