#include "RtLogFile.h"

#include <cstdlib>
#include <cstring>

#include "RtOs.h"

namespace {
constexpr size_t kLineBytes = 4096;
constexpr size_t kBatchExtra = 22;
// Length of the end line in characters and as it lands on disk.
constexpr size_t kEndLineChars = 23;
constexpr long kEndLineDiskBytes = static_cast<long>(kEndLineChars - 1 + rtos::kLineEndBytes);
// The end line is appended after the last line of a batch; reserving its
// room keeps a nearly full buffer from being overrun by it.
constexpr size_t kEndLineReserve = 24;
}  // namespace

CRtLogFile::CRtLogFile(const char* aName)
    : m_nCapacity(kLineBytes + kBatchExtra), m_dwMarker(kMarker) {
    size_t len = strlen(aName);
    m_pszName = static_cast<char*>(malloc(len + 1));
    if (m_pszName)
        memcpy(m_pszName, aName, len + 1);
    m_pFile = fopen(aName, rtos::kTextWriteMode);
}

CRtLogFile::~CRtLogFile() {
    if (m_pBuffer && m_nLines > 0)
        Flush();
    free(m_pBuffer);
    m_pBuffer = nullptr;
    if (m_pFile)
        fclose(m_pFile);
    m_pFile = nullptr;
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
        m_pBuffer = static_cast<char*>(calloc(capacity + 1 + kEndLineReserve, 1));
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
    memcpy(m_pBuffer + m_nUsed, kEndLine, kEndLineChars + 1);
    size_t chars = m_nUsed + kEndLineChars;
    if (m_pFile) {
        // Write over the end line the previous batch left; on a fresh file
        // the seek fails and writing starts at the beginning.
        fseek(m_pFile, -kEndLineDiskBytes, SEEK_CUR);
        size_t written = fwrite(m_pBuffer, 1, chars, m_pFile);
        fflush(m_pFile);
        // On disk every line end may take more than one byte; the end line
        // is not counted, the next batch writes over it.
        m_nWritten += static_cast<int64_t>(written) +
                      static_cast<int64_t>(m_nLines + 1) * (rtos::kLineEndBytes - 1) - kEndLineDiskBytes;
        if (m_nSizeLimit > 0 && m_nWritten >= m_nSizeLimit) {
            m_bFull = true;
            fseek(m_pFile, -kEndLineDiskBytes, SEEK_CUR);
            fputs(kEndOfFileLine, m_pFile);
            fflush(m_pFile);
        }
    }
    m_nUsed = 0;
    m_nLines = 0;
    m_pBuffer[0] = '\0';
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
