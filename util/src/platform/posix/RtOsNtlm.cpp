// NTLM through GSSAPI: MIT krb5's mechanism glue loads the gss-ntlmssp
// mechanism (configured in /etc/gss/mech.d), which makes the NTLMSSP
// tokens.
#include "RtOsNtlm.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace rtos {

struct NtlmContext {
    std::string mechBytes;
    gss_OID_desc mech{};
    gss_cred_id_t cred = GSS_C_NO_CREDENTIAL;
    gss_ctx_id_t ctx = GSS_C_NO_CONTEXT;
    gss_name_t target = GSS_C_NO_NAME;
};

namespace {

const char kNtlmsspOid[] = "1.3.6.1.4.1.311.2.2.10";
std::atomic<const char*> g_providerForTest{nullptr};

// The DER body of a dotted object identifier; empty when it is not one.
std::string EncodeOid(const char* aDotted) {
    std::string out;
    unsigned long arcs[32];
    size_t n = 0;
    const char* p = aDotted;
    while (*p && n < 32) {
        char* end = nullptr;
        arcs[n++] = std::strtoul(p, &end, 10);
        if (end == p || (*end != '.' && *end != '\0'))
            return std::string();
        p = *end ? end + 1 : end;
    }
    if (n < 2 || *p || arcs[0] > 2 || arcs[0] * 40 + arcs[1] > 0x7F)
        return std::string();
    out.push_back(static_cast<char>(arcs[0] * 40 + arcs[1]));
    for (size_t i = 2; i < n; ++i) {
        unsigned char bytes[10];
        size_t k = 0;
        unsigned long v = arcs[i];
        do {
            bytes[k++] = static_cast<unsigned char>(v & 0x7F);
            v >>= 7;
        } while (v && k < sizeof bytes);
        while (k > 1)
            out.push_back(static_cast<char>(bytes[--k] | 0x80));
        out.push_back(static_cast<char>(bytes[0]));
    }
    return out;
}

std::string StatusText(OM_uint32 aStatus, int aType, gss_OID aMech) {
    std::string text;
    OM_uint32 more = 0;
    do {
        OM_uint32 minor = 0;
        gss_buffer_desc part = GSS_C_EMPTY_BUFFER;
        if (GSS_ERROR(gss_display_status(&minor, aStatus, aType, aMech, &more, &part)))
            break;
        if (!text.empty())
            text += "; ";
        text.append(static_cast<const char*>(part.value), part.length);
        gss_release_buffer(&minor, &part);
    } while (more);
    return text;
}

void Fail(NtlmStatus& aStatus, NtlmStage aStage, OM_uint32 aMajor, OM_uint32 aMinor, gss_OID aMech) {
    aStatus.stage = aStage;
    aStatus.code = aMinor ? static_cast<long>(aMinor) : static_cast<long>(aMajor);
    aStatus.what = aMinor ? StatusText(aMinor, GSS_C_MECH_CODE, aMech) : StatusText(aMajor, GSS_C_GSS_CODE, aMech);
}

bool MechanismPresent(gss_OID aMech) {
    OM_uint32 minor = 0;
    gss_OID_set mechs = GSS_C_NO_OID_SET;
    if (GSS_ERROR(gss_indicate_mechs(&minor, &mechs)))
        return false;
    int present = 0;
    gss_test_oid_set_member(&minor, aMech, mechs, &present);
    gss_release_oid_set(&minor, &mechs);
    return present != 0;
}

// One step of the context: aInput null for the first.
bool Step(NtlmContext* aContext, gss_buffer_t aInput, std::string& aToken, NtlmStatus& aStatus) {
    OM_uint32 minor = 0;
    gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
    OM_uint32 major = gss_init_sec_context(&minor, aContext->cred, &aContext->ctx, aContext->target, &aContext->mech, 0,
                                           GSS_C_INDEFINITE, GSS_C_NO_CHANNEL_BINDINGS,
                                           aInput ? aInput : GSS_C_NO_BUFFER, nullptr, &out, nullptr, nullptr);
    if (GSS_ERROR(major) || out.length == 0) {
        gss_release_buffer(&minor, &out);
        Fail(aStatus, NtlmStage::kInitialize, major, minor, &aContext->mech);
        return false;
    }
    aToken.assign(static_cast<const char*>(out.value), out.length);
    gss_release_buffer(&minor, &out);
    return true;
}

}  // namespace

NtlmContext* NtlmStart(const std::string& aUser, const std::string& aDomain, const std::string& aPassword,
                       std::string& aToken, NtlmStatus& aStatus) {
    const char* provider = g_providerForTest.load();
    if (!provider)
        provider = kNtlmsspOid;
    NtlmContext* context = new NtlmContext;
    context->mechBytes = EncodeOid(provider);
    context->mech.length = static_cast<OM_uint32>(context->mechBytes.size());
    context->mech.elements = const_cast<char*>(context->mechBytes.data());
    if (context->mechBytes.empty() || !MechanismPresent(&context->mech)) {
        aStatus.stage = NtlmStage::kLoad;
        aStatus.code = 0;
        aStatus.what = std::string("gssntlmssp mechanism ") + provider;
        NtlmRelease(context);
        return nullptr;
    }

    // gss-ntlmssp reads "DOMAIN\user" as user and domain.
    std::string qualified = aDomain.empty() ? aUser : aDomain + "\\" + aUser;
    OM_uint32 minor = 0;
    gss_buffer_desc nameText{qualified.size(), const_cast<char*>(qualified.data())};
    gss_name_t user = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &nameText, GSS_C_NT_USER_NAME, &user);
    if (GSS_ERROR(major)) {
        Fail(aStatus, NtlmStage::kAcquire, major, minor, &context->mech);
        NtlmRelease(context);
        return nullptr;
    }
    gss_OID_set_desc mechs{1, &context->mech};
    gss_buffer_desc password{aPassword.size(), const_cast<char*>(aPassword.data())};
    major = gss_acquire_cred_with_password(&minor, user, &password, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE,
                                           &context->cred, nullptr, nullptr);
    OM_uint32 ignored = 0;
    gss_release_name(&ignored, &user);
    if (GSS_ERROR(major)) {
        Fail(aStatus, NtlmStage::kAcquire, major, minor, &context->mech);
        NtlmRelease(context);
        return nullptr;
    }
    // The mechanism glue wants a target; NTLM itself does not use it.
    static const char kTarget[] = "InetSvcs";
    gss_buffer_desc targetText{sizeof kTarget - 1, const_cast<char*>(kTarget)};
    major = gss_import_name(&minor, &targetText, GSS_C_NT_HOSTBASED_SERVICE, &context->target);
    if (GSS_ERROR(major)) {
        Fail(aStatus, NtlmStage::kInitialize, major, minor, &context->mech);
        NtlmRelease(context);
        return nullptr;
    }
    if (!Step(context, nullptr, aToken, aStatus)) {
        NtlmRelease(context);
        return nullptr;
    }
    return context;
}

bool NtlmAnswer(NtlmContext* aContext, const std::string& aServerToken, std::string& aToken, NtlmStatus& aStatus) {
    if (!aContext || aServerToken.empty()) {
        aStatus.stage = NtlmStage::kInitialize;
        aStatus.what = "no context or no server token";
        return false;
    }
    gss_buffer_desc input{aServerToken.size(), const_cast<char*>(aServerToken.data())};
    return Step(aContext, &input, aToken, aStatus);
}

void NtlmRelease(NtlmContext* aContext) {
    if (!aContext)
        return;
    OM_uint32 minor = 0;
    if (aContext->ctx != GSS_C_NO_CONTEXT)
        gss_delete_sec_context(&minor, &aContext->ctx, GSS_C_NO_BUFFER);
    if (aContext->cred != GSS_C_NO_CREDENTIAL)
        gss_release_cred(&minor, &aContext->cred);
    if (aContext->target != GSS_C_NO_NAME)
        gss_release_name(&minor, &aContext->target);
    delete aContext;
}

std::string NtlmComputerName() {
    char name[256];
    if (gethostname(name, sizeof name) != 0)
        return std::string();
    name[sizeof name - 1] = '\0';
    // The NetBIOS-like short name, as Windows' computer name is.
    std::string text(name);
    return text.substr(0, text.find('.'));
}

void NtlmSetProviderForTest(const char* aProvider) { g_providerForTest.store(aProvider); }

}  // namespace rtos
