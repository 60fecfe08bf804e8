// The agent's link manager: one process-wide connection to the PPP controller
// and the queries built on it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Plist.h"
#include "pppctl/PPPMessages.h"

class PPPStreamHandle;

class PPPManager {
public:
    // The shared instance, made on first use. Nothing when the controller
    // cannot be reached; the next call then tries again from scratch.
    static PPPManager* sharedInstance();

    // Fills *status with the link status of the service and returns true, or
    // returns false and leaves *status untouched.
    static bool getStatus(ppp_status* status, const std::string& serviceID);
    // Status dictionaries: {"status"} and, while running, "inBytes",
    // "outBytes", "timeElapsed", "timeRemaining".
    static std::optional<platform::Dictionary> statusForService(const std::string& serviceID);
    static std::optional<platform::Dictionary> statusForInterface(const std::string& interface);
    static void forceReconnect();

    // A manager with an open controller connection, or nothing.
    static std::unique_ptr<PPPManager> create();
    ~PPPManager();
    PPPManager(const PPPManager&) = delete;
    PPPManager& operator=(const PPPManager&) = delete;

    bool connect();
    bool reconnect();
    // True while the manager holds a controller connection.
    bool isConnected() const { return pppconfdSocket >= 0; }

    bool getLinkStatus(ppp_status* status, const std::string& serviceID);
    std::optional<platform::Dictionary> pppStatusForService(const std::string& serviceID);
    std::optional<platform::Dictionary> pppStatusForInterface(const std::string& interface);
    void pppConnectService(const std::string& serviceID);
    void pppDisconnectService(const std::string& serviceID);

    // Tests only: drops the shared instance so the next call starts afresh.
    static void resetForTesting();

private:
    friend class PPPManagerTestPeer;
    PPPManager();

    uint32_t _pppconfdNumberOfLinks();
    // One request-reply exchange. The reply body, or nothing when the
    // exchange failed, the controller reported a failure or sent no body.
    std::optional<std::vector<uint8_t>> _pppconfdExecMessage(const std::vector<uint8_t>& request);

    std::optional<uint32_t> lookupLink(uint16_t type, std::string_view name);
    std::optional<ppp_status> linkStatus(uint32_t link);
    // Lookup (by service ID or interface name), then status, as a dictionary.
    std::optional<platform::Dictionary> statusDictionary(uint16_t lookupType,
                                                         std::string_view name);
    void disconnectTransport();

    int32_t pppconfdSocket = -1;
    std::unique_ptr<PPPStreamHandle> pppconfdHandle;
};

// The dictionary form of a status record.
platform::Dictionary pppStatusDictionary(const ppp_status& status);
