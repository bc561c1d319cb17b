// The scatter/gather entry of FillIov and the sockets' SendV and RecvV: the
// system's own (see rtos::IoVec), so that a caller's array can go to the
// system's gather call as well. On Linux this names struct iovec once more,
// which C++ allows; on Windows there is no system iovec to clash with.
#pragma once

#include "RtOsSocket.h"

typedef rtos::IoVec iovec;
