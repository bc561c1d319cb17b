// Encoding and digest helpers with C linkage: base64, MD5, SHA-1, a
// case-insensitive reverse search, string splitting, the local IPv4
// address, the last socket error and per-thread COM initialisation.
//
// Everything here is reentrant except RtMD5/RtSha1 with a null output
// buffer (one shared static buffer each) and the COM pair, which keeps a
// process-wide table under its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "RtError.h"
#include "RtString.h"

// An MD5 computation in progress (RFC 1321). RtMD5Final leaves the digest
// in `digest`.
struct RtMD5Context {
    uint32_t count[2];  // bits processed, low word first
    uint32_t state[4];  // chaining values
    unsigned char buffer[64];
    unsigned char digest[16];
};

extern "C" {

// Appends the standard base64 text of the aLen bytes at aIn, padded with
// '=' to a multiple of four characters.
void RtBase64Encode(const unsigned char* aIn, size_t aLen, CRtString& aOut);
// Replaces aOut with the bytes the NUL-terminated base64 text encodes.
// Leading spaces and tabs are skipped; decoding ends at the first byte
// outside the alphabet ('=' included). There is no error report: bad
// input only ends the data early.
void RtBase64Decode(const char* aIn, CRtString& aOut);

void RtMD5Init(RtMD5Context* aCtx);
void RtMD5Update(RtMD5Context* aCtx, const unsigned char* aIn, size_t aLen);
void RtMD5Final(RtMD5Context* aCtx);
// The MD5 digest (16 bytes) of aIn, written to aOut, or to one static
// buffer shared by all callers when aOut is null. Returns where it went.
unsigned char* RtMD5(const unsigned char* aIn, size_t aLen, unsigned char* aOut);
// The SHA-1 digest (20 bytes) of aIn, as RtMD5 does it.
unsigned char* RtSha1(const unsigned char* aIn, size_t aLen, unsigned char* aOut);

// The last occurrence of aPattern in aText, compared without regard to
// ASCII case; null when there is none or either string is null or empty.
const char* rt_strcaserstr(const char* aText, const char* aPattern);

// Appends to aOut the pieces of aSrc between characters of aDelimiters:
// k delimiters give k + 1 pieces, empty ones included. aOut is not cleared.
void RtSplit(const CRtString& aSrc, const CRtString& aDelimiters, std::vector<CRtString>& aOut);

// The machine's IPv4 address in network byte order, 0 when there is none.
uint32_t RtGetLocalIP();

// The calling thread's last socket error.
int RtGetLastError();

// Initialises COM for the calling thread once; later calls on the same
// thread only count. RT_ERROR_FAILURE when COM refuses, also when the
// thread had initialised COM without this function.
RtResult RtCoInitialize();
// Undoes one successful RtCoInitialize of the calling thread; COM itself is
// released with the last one.
void RtCoUninitialize();

}  // extern "C"
