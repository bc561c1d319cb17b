// The scatter/gather entry handed to the socket calls: the system's own
// layout (WSABUF on Windows, struct iovec elsewhere), with the fields
// `base` and `len` on both.
#pragma once

#include "RtOsSocket.h"

typedef rtos::IoVec iovec;
