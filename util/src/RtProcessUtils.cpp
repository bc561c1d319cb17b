#include "RtProcessUtils.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "RtDebug.h"
#include "RtOs.h"

namespace {

// Filled once; later calls only read.
struct ExecutablePaths {
    char szPath[rtos::kMaxPath];
    char szDir[rtos::kMaxPath];

    ExecutablePaths() {
        szDir[0] = '\0';
        if (!rtos::ExecutablePath(szPath, sizeof szPath))
            return;
        const char* cut = LastSeparator(szPath);
        if (cut) {
            size_t len = static_cast<size_t>(cut - szPath);
            memcpy(szDir, szPath, len);
            szDir[len] = '\0';
        }
    }

    static const char* LastSeparator(const char* aPath) {
        const char* cut = nullptr;
        for (const char* p = aPath; *p; ++p) {
            if (*p == '/' || *p == '\\')
                cut = p;
        }
        return cut;
    }
};

ExecutablePaths& Paths() {
    static ExecutablePaths s_paths;
    return s_paths;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

const char* get_exec_name() { return Paths().szPath; }

char* get_home_dir() { return Paths().szDir; }

const char* get_process_name() {
    const char* path = get_exec_name();
    if (!*path)
        return "defproc";
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

const char* RtGetProcessName() {
    const char* path = get_exec_name();
    if (!*path)
        return "rt_log";
    const char* cut = ExecutablePaths::LastSeparator(path);
    return cut ? cut + 1 : path;
}

const char* GetWriteableDirectory() {
    static std::mutex s_mutex;
    static char s_szDir[rtos::kMaxPath];
    std::lock_guard<std::mutex> guard(s_mutex);
    // Only a successful answer is kept; a failure is asked again next time.
    if (s_szDir[0] || rtos::AppDataDir(s_szDir, sizeof s_szDir))
        return s_szDir;
    return rtos::FallbackDataDir();
}

int RtCreateDirectory(const char* aDir) {
    RT_INFO_TRACE("CreateDirectoryEx pDir = " << aDir);
    RT_ASSERTE_RETURN(NULL != aDir, RT_ERROR_NULL_POINTER);

    CRtString path(aDir);
    for (size_t i = 0; i < path.size(); ++i) {
        // The prefix before a leading separator is the file-system root.
        if (!IsSeparator(path[i]) || i == 0)
            continue;
        char saved = path[i];
        path[i] = '\0';
        if (!rtos::PathExists(path.c_str()) && rtos::MakeDir(path.c_str()) != 0)
            return RT_ERROR_FAILURE;
        path[i] = saved;
    }
    if (rtos::MakeDir(path.c_str()) == 0)
        return 0;
    char text[256];
    rtos::ErrorText(errno, text, sizeof text);
    RT_INFO_TRACE("CreateDirectoryEx ERROR INFO: " << text);
    return -1;
}

namespace {
struct DeleteContext {
    const CRtString* pDir;
};

void DeleteEntry(const char* aName, void* aCtx) {
    if (!strchr(aName, '.') || strlen(aName) < 3)
        return;
    const CRtString& dir = *static_cast<DeleteContext*>(aCtx)->pDir;
    CRtString path = dir;
    path += rtos::kPathSep;
    path += aName;
    rtos::RemoveFile(path.c_str());
}
}  // namespace

void DeleteDirectory(const CRtString& aDir) {
    if (aDir.empty())
        return;
    DeleteContext ctx{&aDir};
    rtos::ListDir(aDir.c_str(), "*.*", DeleteEntry, &ctx);
    rtos::RemoveDir(aDir.c_str());
}

void RtDeleteDirectory(const char* aDir) { DeleteDirectory(CRtString(aDir)); }

CRtString GetFileLine(const CRtString& aPath) {
    FILE* file = fopen(aPath.c_str(), "rb");
    if (!file)
        return CRtString();
    char buf[513];
    size_t n = fread(buf, 1, 512, file);
    fclose(file);
    buf[n] = '\0';
    return CRtString(buf);
}

RtResult SaveFileLine(const CRtString& aPath, const CRtString& aText) {
    FILE* file = fopen(aPath.c_str(), "wb");
    if (!file)
        return RT_ERROR_FAILURE;
    size_t written = fwrite(aText.data(), 1, aText.size(), file);
    // Buffered bytes reach the disk only at fclose, so its result counts too.
    bool closed = fclose(file) == 0;
    return (written == aText.size() && closed) ? RT_OK : RT_ERROR_FAILURE;
}
