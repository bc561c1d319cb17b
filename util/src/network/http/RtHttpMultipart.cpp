#include "RtHttpMultipart.h"

#include <cstring>

#include "RtDebug.h"
#include "RtHttpAtom.h"

namespace {

const char kFormData[] = "multipart/form-data";
const char kBoundary[] = "boundary";
const char kName[] = "name=\"";
const char kFileName[] = "filename=\"";

RtResult Fail(const char* aWhat, const void* aOwner) {
    RT_ERROR_TRACE("CRtChannelHttpServer::GetUploadFileInfo, " << aWhat << " this=" << aOwner);
    return RT_ERROR_FAILURE;
}

}  // namespace

RtResult RtHttpGetUploadFileInfo(const CRtString& aContentType, const CRtString& aBody, const CRtString& aName,
                                 CRtString& aFileName, CRtString& aFileContent, const void* aOwner) {
    const size_t formLen = sizeof kFormData - 1;
    if (aContentType.size() < formLen || !RtHttpEqualNoCase(aContentType.data(), formLen, kFormData, formLen)) {
        RT_ERROR_TRACE("CRtChannelHttpServer::GetUploadFileInfo, invalid Content-Type:" << aContentType
                                                                                        << " this=" << aOwner);
        return RT_ERROR_FAILURE;
    }

    // The boundary is what follows "boundary" and one more character (the
    // '='), kept as it is: quotes and later parameters included. Nothing
    // there is as good as no parameter.
    size_t at = aContentType.find(kBoundary);
    const size_t skip = sizeof kBoundary;  // the word and the '='
    if (at == CRtString::npos || aContentType.size() - at <= skip)
        return Fail("boundary param not found!", aOwner);
    const CRtString boundary = aContentType.substr(at + skip);

    // Find the part whose field name is aName, hopping from one boundary to
    // the next past parts of other fields.
    const size_t nameLen = sizeof kName - 1;
    size_t from = 0;
    size_t field = 0;
    for (;;) {
        size_t name = aBody.find(kName, from);
        if (name == CRtString::npos)
            return Fail("'name=\"' not found!", aOwner);
        field = name + nameLen;
        // The name and its closing quote must both be there.
        if (aBody.size() - field <= aName.size())
            return Fail("no enough data!", aOwner);
        if (RtHttpEqualNoCase(aBody.data() + field, aName.size(), aName.data(), aName.size()) &&
            aBody[field + aName.size()] == '"')
            break;
        size_t next = aBody.find(boundary, field);
        if (next == CRtString::npos)
            return Fail("beginning boundary string not found!", aOwner);
        from = next + boundary.size();
    }

    size_t headEnd = field;
    size_t file = aBody.find(kFileName, field);
    if (file != CRtString::npos) {
        size_t begin = file + sizeof kFileName - 1;
        size_t quote = aBody.find('"', begin);
        if (quote == CRtString::npos)
            return Fail("'\"' not found!", aOwner);
        CRtString path = aBody.substr(begin, quote - begin);
        size_t cut = path.rfind('\\');
        if (cut == CRtString::npos)
            cut = path.rfind('/');
        aFileName = cut == CRtString::npos ? path : path.substr(cut + 1);
        headEnd = quote + 1;
    } else {
        RT_ERROR_TRACE("CRtChannelHttpServer::GetUploadFileInfo, 'filename=\"' not found!"
                       << " this=" << aOwner);
    }

    size_t blank = aBody.find("\r\n\r\n", headEnd);
    if (blank == CRtString::npos)
        return Fail("double 'cr-ln' not found!", aOwner);
    const size_t content = blank + 4;

    // The part ends at the next delimiter line, CR LF "--" boundary: a
    // file that merely contains the boundary text is not cut there, and
    // the content can never end before it starts.
    const CRtString delimiter = "\r\n--" + boundary;
    size_t end = aBody.find(delimiter, content);
    if (end == CRtString::npos)
        return Fail("ending boundary string not found!", aOwner);
    aFileContent = aBody.substr(content, end - content);
    return RT_OK;
}
