// The clock of the daily purge check: the C library's time. Tests replace it
// to step across the one-day boundary without waiting for it.
#pragma once

#include <ctime>

extern std::time_t (*tvsClock)(std::time_t*);
