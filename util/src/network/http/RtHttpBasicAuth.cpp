#include <cstring>

#include "RtBase.h"
#include "RtDebug.h"
#include "RtHttpAuthenticator.h"

CRtString CRtHttpBasicAuth::do_GenerateCredentials(IRtChannelHttpClient* aChannel, const char* aChallenge,
                                                   const char* aUsername, const char* aPassword) {
    RT_ASSERTE_RETURN(aChannel && aChallenge, CRtString());
    RT_INFO_TRACE_THIS("CRtHttpBasicAuth::do_GenerateCredentials, Username=" << (aUsername ? aUsername : ""));
    if (!aUsername || !*aUsername || !StartsWithScheme(aChallenge, "Basic"))
        return CRtString();
    CRtString plain(aUsername);
    plain += ':';
    if (aPassword)
        plain += aPassword;
    CRtString value("Basic ");
    RtBase64Encode(reinterpret_cast<const unsigned char*>(plain.data()), plain.size(), value);
    return value;
}
