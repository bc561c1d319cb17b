// The socket handle as the framework passes it around.
#pragma once

#include "RtOsSocket.h"

typedef rtos::SocketHandle RT_HANDLE;
const RT_HANDLE RT_INVALID_HANDLE = rtos::kInvalidSocket;
