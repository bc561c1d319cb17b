// The operating-system interface of the framework.
//
// Everything the framework needs from the operating system goes through the
// functions declared here. posix/ and win32/ hold one implementation each,
// chosen by the build; no code outside this folder includes an OS header.
// The header itself includes none either: OS objects are kept in opaque,
// suitably aligned storage whose size each implementation checks.
#pragma once

#include <cstddef>
#include <cstdint>

struct timeval;

#if defined(_WIN32)
#define RT_OS_WINDOWS 1
#else
#define RT_OS_POSIX 1
#endif

namespace rtos {

// Separator used when the framework builds paths.
#if defined(RT_OS_WINDOWS)
constexpr char kPathSep = '\\';
// A line end in a text file is CR LF.
constexpr unsigned kLineEndBytes = 2;
constexpr const char* kTextReadMode = "rt";
#else
constexpr char kPathSep = '/';
constexpr unsigned kLineEndBytes = 1;
constexpr const char* kTextReadMode = "r";
#endif

// Longest path the platform hands out or accepts, terminator included.
constexpr size_t kMaxPath = 4096;

// ---- Recursive critical section -------------------------------------------
struct CriticalSection {
    alignas(16) unsigned char opaque[64];
};
void CsInit(CriticalSection* cs);
void CsDestroy(CriticalSection* cs);
void CsEnter(CriticalSection* cs);
// True when the section was entered.
bool CsTryEnter(CriticalSection* cs);
void CsLeave(CriticalSection* cs);

// ---- Process and thread ----------------------------------------------------
uint32_t ProcessId();
uint32_t ThreadId();
void SleepMs(uint32_t ms);
unsigned ProcessorCount();
// Processor time the calling thread has used (user and system), in
// microseconds.
uint64_t ThreadCpuTimeUs();

// Open descriptors (Linux) or handles (Windows) of the process; -1 when
// unknown. For leak checks.
long OpenHandleCount();

// ---- Random bytes ------------------------------------------------------------
// Fills aBuf with aLen bytes from the system's cryptographic random source
// (getrandom, BCryptGenRandom); false when the source failed.
bool RandomBytes(void* aBuf, size_t aLen);

// Full path of the running executable; false when it cannot be obtained or
// does not fit (the buffer then holds an empty string).
bool ExecutablePath(char* buf, size_t size);

// The per-user roaming application-data folder (not created); false when it
// cannot be obtained.
bool AppDataDir(char* buf, size_t size);

// Last-resort folder when AppDataDir fails.
const char* FallbackDataDir();

// The process's memory use in bytes: its resident set (working set) and its
// virtual size (committed memory on Windows), and the largest resident set
// so far (VmHWM, the peak working set). False when the system cannot tell.
struct ProcessMemory {
    uint64_t residentBytes;
    uint64_t virtualBytes;
    uint64_t peakResidentBytes;
};
bool QueryProcessMemory(ProcessMemory* out);

// ---- Time -----------------------------------------------------------------
struct DateTime {
    int year;   // e.g. 2026
    int month;  // 1..12
    int day;    // 1..31
    int hour;
    int minute;
    int second;
};

// Wall-clock time since 1970-01-01 UTC, full 64-bit seconds.
void WallClock(int64_t* sec, int32_t* usec);
// A monotonic millisecond counter, unaffected by wall-clock steps.
uint64_t MonotonicMs();
// The same clock in microseconds.
uint64_t MonotonicUs();
// The same clock at the scheduler's resolution (a few milliseconds), far
// cheaper to read: for telling how long work took, around every event.
uint64_t MonotonicCoarseUs();
// Reads the platform's timeval (its seconds sign-extended).
void FromTimeval(const ::timeval& aTv, int64_t* sec, int32_t* usec);
// Converts wall-clock seconds to the local calendar; false when the value
// cannot be represented.
bool LocalTime(int64_t sec, DateTime* out);

// ---- Files and directories ------------------------------------------------
// Creates one directory; 0 on success, -1 with errno set otherwise.
int MakeDir(const char* path);
bool PathExists(const char* path);
bool RemoveFile(const char* path);
bool RemoveDir(const char* path);

// A file written at explicit offsets (the log's): it has no position to
// seek, so each write is one system call wherever it lands.
using FileHandle = intptr_t;
constexpr FileHandle kNoFile = -1;
// Creates the file for writing, truncating one that exists; kNoFile on
// failure, with LastError telling why.
FileHandle FileCreate(const char* path);
// Writes aLen bytes at aOffset. Returns how many were written: fewer than
// aLen only on failure, with LastError telling why.
size_t FileWriteAt(FileHandle aFile, const void* aData, size_t aLen, int64_t aOffset);
// Cuts the file to aSize bytes.
bool FileTruncate(FileHandle aFile, int64_t aSize);
void FileClose(FileHandle aFile);

// Calls aVisit with the name (not the path) of every entry of aDir whose name
// matches the wildcard aPattern ('*' and '?'). Returns false when the
// directory cannot be read.
using DirVisitor = void (*)(const char* aName, void* aCtx);
bool ListDir(const char* aDir, const char* aPattern, DirVisitor aVisit, void* aCtx);

// ---- Text -----------------------------------------------------------------
// The system's message for an error number of this platform, always
// terminated; an unknown number gives a generic text.
void ErrorText(int aErr, char* buf, size_t size);
// The last error of the calling thread as the system reports it
// (GetLastError on Windows, errno elsewhere).
int LastError();

// Converts a wide string to the system's narrow encoding; returns the
// number of bytes written, always terminated, never more than size - 1.
size_t WideToNarrow(const wchar_t* in, char* out, size_t size);

}  // namespace rtos
