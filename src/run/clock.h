// The run's notion of "now" for generated-at stamps (pages, history header):
// SOURCE_DATE_EPOCH when it holds a plain non-negative decimal number, so
// that output built twice from the same input is identical; else the clock.
#pragma once

#include <ctime>

std::time_t stamp_clock();
