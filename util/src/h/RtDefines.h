// Small helpers shared by the whole framework.
#pragma once

#include "RtError.h"

#define RT_BIT_ENABLED(flags, bit) (((flags) & (bit)) != 0)
#define RT_BIT_DISABLED(flags, bit) (((flags) & (bit)) == 0)
#define RT_SET_BITS(flags, bits) ((flags) |= (bits))
#define RT_CLR_BITS(flags, bits) ((flags) &= ~(bits))

// Log levels.
#define RT_LOG_LEVEL_ERROR 0u
#define RT_LOG_LEVEL_WARN 1u
#define RT_LOG_LEVEL_INFO 2u
#define RT_LOG_LEVEL_STAT 3u
#define RT_LOG_LEVEL_FUNC 4u
#define RT_LOG_LEVEL_DEBUG 5u
