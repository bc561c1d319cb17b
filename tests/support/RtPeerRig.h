// The real-peer rig (origins, HTTP and SOCKS proxies on loopback) as the
// peer suites see it: its ports from the build's configuration, and a
// check that skips a test where the rig is not running, or fails it where
// the rig is required (CI, or RT_PEERS_REQUIRED).
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include "RtRawHttpClient.h"

namespace rttest {

inline std::map<std::string, std::string> PeerSettings() {
    std::map<std::string, std::string> settings;
    std::string text = RT_PEER_PORTS;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(',', at);
        std::string item = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t eq = item.find('=');
        if (eq != std::string::npos)
            settings[item.substr(0, eq)] = item.substr(eq + 1);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return settings;
}

inline uint16_t Port(const char* aName) {
    static const std::map<std::string, std::string> settings = PeerSettings();
    auto it = settings.find(aName);
    return it == settings.end() ? 0 : static_cast<uint16_t>(std::atoi(it->second.c_str()));
}

inline std::string Setting(const char* aName) {
    static const std::map<std::string, std::string> settings = PeerSettings();
    auto it = settings.find(aName);
    return it == settings.end() ? "" : it->second;
}

inline bool PeersRequired() { return RT_PEERS_REQUIRED || std::getenv("CI"); }

// Why the peer at aPort cannot be used, or "" when it answers.
inline std::string PeerProblem(uint16_t aPort) {
    if (aPort == 0)
        return "the rig's ports.env was not found when the build was configured (set RT_PEERS_DIR)";
    RawHttpClient probe(aPort);
    if (!probe.Connected())
        return "nothing listens on 127.0.0.1:" + std::to_string(aPort) + " (is the peer rig running?)";
    return "";
}

}  // namespace rttest

#define NEED_PEER(port)                                             \
    do {                                                            \
        std::string problem_ = rttest::PeerProblem(port);           \
        if (!problem_.empty()) {                                    \
            if (rttest::PeersRequired())                            \
                FAIL() << "peer rig required here: " << problem_;   \
            GTEST_SKIP() << "peer rig not available: " << problem_; \
        }                                                           \
    } while (0)
