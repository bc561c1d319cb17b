// Finds an uploaded file in a multipart/form-data body. Every step checks
// its position against the end of the text, so any input is safe.
#pragma once

#include "RtError.h"
#include "RtString.h"

// aContentType is the request's Content-Type, aBody the whole body. On
// success aFileName holds the file name without any directory (it may
// still be ".." or empty: sanitise it before using it as a path) and
// aFileContent the bytes of the part. aFileName is left unchanged when the
// part names no file. RT_ERROR_FAILURE when the body cannot be read; the
// reason is logged with aOwner as "this".
RtResult RtHttpGetUploadFileInfo(const CRtString& aContentType, const CRtString& aBody, const CRtString& aName,
                                 CRtString& aFileName, CRtString& aFileContent, const void* aOwner);
