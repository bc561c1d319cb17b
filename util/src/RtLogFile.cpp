#include "RtLogFile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "RtOs.h"

namespace {
constexpr size_t kLineBytes = 4096;
constexpr size_t kBatchExtra = 22;
constexpr size_t kEndLineChars = std::char_traits<char>::length(CRtLogFile::kEndLine);
constexpr size_t kEndOfFileChars = std::char_traits<char>::length(CRtLogFile::kEndOfFileLine);
// The end line as it lands on disk: the next batch starts this far back.
constexpr int64_t kEndLineDiskBytes = static_cast<int64_t>(kEndLineChars - 1 + rtos::kLineEndBytes);
static_assert(kEndLineChars == 23 && kEndOfFileChars == 74, "the file's lines are fixed");

// Buffer bytes for a batch of aCapacity characters: the lines are followed
// by the end line or the END OF FILE line, and where a line end takes two
// bytes every LF may become two.
size_t BufferBytes(size_t aCapacity) { return (aCapacity + kEndOfFileChars) * rtos::kLineEndBytes + 1; }
}  // namespace

CRtLogFile::CRtLogFile(const char* aName) : m_nCapacity(kLineBytes + kBatchExtra), m_dwMarker(kMarker) {
    size_t len = strlen(aName);
    m_pszName = static_cast<char*>(malloc(len + 1));
    if (m_pszName)
        memcpy(m_pszName, aName, len + 1);
    m_hFile = rtos::FileCreate(aName);
}

CRtLogFile::~CRtLogFile() {
    if (m_pBuffer && m_nLines > 0)
        Flush();
    free(m_pBuffer);
    m_pBuffer = nullptr;
    if (m_hFile != rtos::kNoFile)
        rtos::FileClose(m_hFile);
    m_hFile = rtos::kNoFile;
    m_dwMarker = 0;
    free(m_pszName);
    m_pszName = nullptr;
}

void CRtLogFile::Init(int64_t aSizeLimit, int aBatchLines, uint32_t aPid) {
    m_nSizeLimit = aSizeLimit;
    m_nBatchLines = aBatchLines;
    m_bInit = true;
    size_t capacity = static_cast<size_t>(aBatchLines) * kLineBytes + kBatchExtra;
    // A file initialised again keeps its buffer when the size still fits.
    if (!m_pBuffer || capacity != m_nCapacity) {
        free(m_pBuffer);
        m_pBuffer = static_cast<char*>(calloc(BufferBytes(capacity), 1));
    }
    m_nCapacity = capacity;
    m_nUsed = 0;
    m_nLines = 0;
    if (!m_pBuffer)
        return;
    int n = snprintf(m_pBuffer, m_nCapacity, "$PID: %d\n", static_cast<int>(aPid));
    if (n > 0) {
        m_nUsed = static_cast<size_t>(n);
        m_nLines = 1;
    }
}

void CRtLogFile::Reset(uint32_t aPid) {
    if (!m_bFull)
        return;
    m_bFull = false;
    m_nWritten = 0;
    Init(m_nSizeLimit, m_nBatchLines, aPid);
}

char* CRtLogFile::FreeSpace(size_t& aRoom) {
    if (!m_pBuffer || m_nUsed >= m_nCapacity) {
        aRoom = 0;
        return nullptr;
    }
    aRoom = m_nCapacity - m_nUsed;
    return m_pBuffer + m_nUsed;
}

void CRtLogFile::CommitLine(size_t aLen) {
    m_nUsed += aLen;
    ++m_nLines;
    if (m_nLines >= m_nBatchLines)
        Flush();
}

void CRtLogFile::Flush() {
    if (!m_pBuffer)
        return;
    if (m_hFile != rtos::kNoFile) {
        // The count takes each line end at its size on disk (a message's own
        // LFs at one byte) and leaves out the end line, which the next batch
        // writes over.
        int64_t count = m_nWritten + static_cast<int64_t>(m_nUsed + kEndLineChars) +
                        static_cast<int64_t>(m_nLines + 1) * (rtos::kLineEndBytes - 1) - kEndLineDiskBytes;
        bool full = m_nSizeLimit > 0 && count >= m_nSizeLimit;
        // The batch that fills the file ends with the END OF FILE line where
        // the end line would be: the bytes of writing the end line and then
        // the END OF FILE line over it, in one write.
        if (full)
            memcpy(m_pBuffer + m_nUsed, kEndOfFileLine, kEndOfFileChars);
        else
            memcpy(m_pBuffer + m_nUsed, kEndLine, kEndLineChars);
        size_t bytes = m_nUsed + (full ? kEndOfFileChars : kEndLineChars);
        if (rtos::kLineEndBytes == 2)
            bytes = WidenLineEnds(m_pBuffer, bytes);
        size_t written = rtos::FileWriteAt(m_hFile, m_pBuffer, bytes, m_nOffset);
        if (written == bytes) {
            m_nWritten = count;
            m_bFull = full;
            m_nOffset += static_cast<int64_t>(bytes) - kEndLineDiskBytes;
            m_nWriteError = 0;
        } else {
            int err = rtos::LastError();
            // Part of the batch landed over the previous end line: cut it,
            // so that the file ends with its last whole line and the next
            // batch starts there.
            if (written > 0)
                rtos::FileTruncate(m_hFile, m_nOffset);
            ReportWriteError(err);
        }
    }
    m_nUsed = 0;
    m_nLines = 0;
    m_pBuffer[0] = '\0';
}

size_t CRtLogFile::WidenLineEnds(char* aText, size_t aLen) {
    size_t lfs = 0;
    for (size_t i = 0; i < aLen; ++i)
        lfs += aText[i] == '\n' ? 1 : 0;
    size_t widened = aLen + lfs;
    // From the back, so that every byte moves once; bytes before the first
    // LF stay where they are.
    for (size_t from = aLen, to = widened; lfs > 0;) {
        char c = aText[--from];
        aText[--to] = c;
        if (c == '\n') {
            aText[--to] = '\r';
            --lfs;
        }
    }
    return widened;
}

void CRtLogFile::ReportWriteError(int aErr) {
    // The log cannot tell of its own failure in itself; standard error
    // reaches the console or the journal. Once per run of failures.
    if (m_nWriteError == 0) {
        char text[256];
        rtos::ErrorText(aErr, text, sizeof text);
        fprintf(stderr, "log: cannot write %s: %s\n", m_pszName ? m_pszName : "", text);
    }
    m_nWriteError = aErr != 0 ? aErr : -1;
}

namespace {
// Set when the list has been destroyed: at process exit its destructor runs
// while late static destructors may still log.
bool s_bListDestroyed = false;
}  // namespace

CRtLogFileList* CRtLogFileList::Instance() {
    static CRtLogFileList s_list;
    return s_bListDestroyed ? nullptr : &s_list;
}

CRtLogFileList::~CRtLogFileList() {
    s_bListDestroyed = true;
    // Give threads that are still writing a moment before the files close.
    if (m_pHead)
        rtos::SleepMs(200);
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    while (m_pHead) {
        CRtLogFile* next = m_pHead->m_pNext;
        delete m_pHead;
        m_pHead = next;
        --m_nCount;
    }
}

CRtLogFile* CRtLogFileList::GetLogFile(const char* aName, bool aReuse, uint32_t aPid) {
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    for (CRtLogFile* file = m_pHead; file; file = file->m_pNext) {
        if (strcmp(file->GetName(), aName) == 0) {
            if (!aReuse)
                file->Reset(aPid);
            return file;
        }
    }
    CRtLogFile* file = new CRtLogFile(aName);
    file->m_pNext = m_pHead;
    m_pHead = file;
    ++m_nCount;
    return file;
}

void CRtLogFileList::RemoveLogFile(CRtLogFile* aFile) {
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    for (CRtLogFile** link = &m_pHead; *link; link = &(*link)->m_pNext) {
        if (*link == aFile) {
            *link = aFile->m_pNext;
            --m_nCount;
            delete aFile;
            return;
        }
    }
}

void CRtLogFileList::InitAll(int64_t aSizeLimit, int aBatchLines, uint32_t aPid) {
    CRtMutexGuardT<CRtMutexThreadRecursive> guard(m_Mutex);
    for (CRtLogFile* file = m_pHead; file; file = file->m_pNext) {
        if (!file->IsInitialized())
            file->Init(aSizeLimit, aBatchLines, aPid);
    }
}
