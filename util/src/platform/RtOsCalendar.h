// Shared by the implementations: the C library's broken-down time as the
// framework's DateTime.
#pragma once

#include <ctime>

#include "RtOs.h"

namespace rtos {

inline void ToDateTime(const std::tm& aParts, DateTime* aOut) {
    aOut->year = aParts.tm_year + 1900;
    aOut->month = aParts.tm_mon + 1;
    aOut->day = aParts.tm_mday;
    aOut->hour = aParts.tm_hour;
    aOut->minute = aParts.tm_min;
    aOut->second = aParts.tm_sec;
}

}  // namespace rtos
