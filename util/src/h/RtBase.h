// Encoding and digest helpers with C linkage: base64 and MD5.
//
// Everything here is reentrant except RtMD5 with a null output buffer (one
// shared static buffer).
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // extern "C"
