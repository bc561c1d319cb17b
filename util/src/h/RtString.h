// The framework's narrow byte string.
#pragma once

#include <string>
#include <utility>

// A standard narrow string that also accepts a null character pointer (as
// the empty string). Text is bytes; no code-page conversion happens here.
class CRtString : public std::string {
public:
    using std::string::string;

    CRtString() = default;
    CRtString(const char* aText) : std::string(aText ? aText : "") {}
    CRtString(const std::string& aOther) : std::string(aOther) {}
    CRtString(std::string&& aOther) : std::string(std::move(aOther)) {}

    CRtString& operator=(const char* aText) {
        std::string::operator=(aText ? aText : "");
        return *this;
    }
    CRtString& operator=(const std::string& aOther) {
        std::string::operator=(aOther);
        return *this;
    }
    CRtString& operator=(std::string&& aOther) {
        std::string::operator=(std::move(aOther));
        return *this;
    }
};
