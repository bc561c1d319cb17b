// Connection type words and the strategies callers pass with them.
#pragma once

#define CTYPE_TCP 0x1
#define CTYPE_UDP 0x2
#define CTYPE_PROXY 0x8000
#define CTYPE_PROXY_DETECT 0x8001
// Any of these bits names a connection layer above the base transport.
#define CTYPE_CONNECTION_MASK 0x0FFFF000

// Where callbacks arrive: on the user thread that started the listen or
// connect, or on each transport's network thread.
enum ThreadStrategy { TS_SINGLE_THREAD = 0, TS_MULTI_THREAD = 1 };
// Which network thread takes a new connection.
enum LBStrategy { LB_CURRENT_THREAD = 0, LB_LEAST_LOAD = 1 };
