// The files the log writes: each keeps a preallocated batch buffer and is
// owned by the process-wide file list.
#pragma once

#include <cstddef>
#include <cstdint>

#include "RtMutex.h"

// One open log file. Used under its log's mutex only.
class CRtLogFile {
public:
    static constexpr const char* kEndLine = ">>>>> End of Log <<<<<\n";
    static constexpr const char* kEndOfFileLine =
        "-----------------------------  END OF FILE  -----------------------------\n";
    static constexpr uint32_t kMarker = 20080808;

    explicit CRtLogFile(const char* aName);
    ~CRtLogFile();

    CRtLogFile(const CRtLogFile&) = delete;
    CRtLogFile& operator=(const CRtLogFile&) = delete;

    // Sizes the batch buffer and queues the "$PID:" line.
    void Init(int64_t aSizeLimit, int aBatchLines, uint32_t aPid);
    // A full file starts over: count 0, buffer re-initialised.
    void Reset(uint32_t aPid);

    // Where the next line goes and how much room it has.
    char* FreeSpace(size_t& aRoom);
    // Accounts for aLen bytes written at FreeSpace; flushes a full batch.
    void CommitLine(size_t aLen);
    // Writes the buffered lines and the end line (the END OF FILE line when
    // they reach the size limit) in one write over the previous end line.
    void Flush();

    const char* GetName() const { return m_pszName; }
    bool IsFull() const { return m_bFull; }
    bool IsInitialized() const { return m_bInit; }
    bool IsOpen() const { return m_hFile != rtos::kNoFile; }
    int64_t GetWrittenBytes() const { return m_nWritten; }
    // The system's error of the last write when it failed, else 0.
    int GetWriteError() const { return m_nWriteError; }

    // Turns every LF of aText[0, aLen) into CR LF in place; the buffer must
    // have room for one more byte per LF. Returns the new length.
    static size_t WidenLineEnds(char* aText, size_t aLen);

    CRtLogFile* m_pNext = nullptr;

private:
    void ReportWriteError(int aErr);

    bool m_bFull = false;
    bool m_bInit = false;
    rtos::FileHandle m_hFile = rtos::kNoFile;
    char* m_pszName = nullptr;
    int64_t m_nWritten = 0;
    int64_t m_nSizeLimit = 0;
    int m_nBatchLines = 1;
    size_t m_nCapacity;
    char* m_pBuffer = nullptr;
    size_t m_nUsed = 0;
    int m_nLines = 0;
    uint32_t m_dwMarker;
    // Where the next batch goes: the start of the end line the last one left.
    int64_t m_nOffset = 0;
    int m_nWriteError = 0;
};

// All log files of the process, looked up by name.
class CRtLogFileList {
public:
    // Null once the list has been destroyed at process exit.
    static CRtLogFileList* Instance();

    // The file of this name, opened (truncating) when not yet listed. A
    // listed file that is full is reset unless aReuse is set.
    CRtLogFile* GetLogFile(const char* aName, bool aReuse, uint32_t aPid);
    // Flushes, closes and forgets the file.
    void RemoveLogFile(CRtLogFile* aFile);
    // Initialises every listed file that is not yet initialised.
    void InitAll(int64_t aSizeLimit, int aBatchLines, uint32_t aPid);

    ~CRtLogFileList();

private:
    CRtLogFileList() = default;

    CRtLogFile* m_pHead = nullptr;
    int m_nCount = 0;
    CRtMutexThreadRecursive m_Mutex;
};
