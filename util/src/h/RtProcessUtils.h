// The running executable's path and names, a writable per-user folder, and
// small directory and file helpers.
#pragma once

#include "RtError.h"
#include "RtString.h"

// Full path of the running executable; empty when it cannot be obtained.
const char* get_exec_name();
// The executable's directory without a trailing separator.
char* get_home_dir();
// The executable path after its last "/" (the whole path when it has
// none); "defproc" without a path.
const char* get_process_name();
// The executable's file name with its extension; "rt_log" without a path.
const char* RtGetProcessName();
// The per-user roaming data folder (not created), or a fixed fallback.
const char* GetWriteableDirectory();

// Creates every missing directory along aDir. 0 when the last one was
// created, -1 when it could not be (it may already exist),
// RT_ERROR_NULL_POINTER or RT_ERROR_FAILURE when a parent is missing and
// cannot be created.
int RtCreateDirectory(const char* aDir);
// Deletes the files of one directory (names with a dot, at least three
// characters long), then the directory if it is empty. Not recursive.
void RtDeleteDirectory(const char* aDir);
void DeleteDirectory(const CRtString& aDir);

// The first bytes of a file, at most 512, up to the first zero byte.
CRtString GetFileLine(const CRtString& aPath);
// Replaces the file with aText; RT_ERROR_FAILURE when it cannot be opened
// or written completely.
RtResult SaveFileLine(const CRtString& aPath, const CRtString& aText);
