// The PPP controller's wire format: the 20-byte message header, the message
// types this system sends, the link-status record and the option codes.
// Client and controller share one machine, so every field is in host byte
// order and nothing is converted.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens every request, every reply and every event.
struct ppp_msg_hdr {
    uint16_t flags;  // reserved, 0 in requests, not read in replies
    uint16_t type;   // message type (PPP_STATUS, ...)
    uint32_t result; // 0 = success, anything else is the controller's failure code
    uint32_t cookie; // reserved, 0 in requests; in an event header: the link's new phase
    uint32_t link;   // link reference, or PPP_LINK_NONE for requests that name no link
    uint32_t length; // number of body bytes that follow the header
};
static_assert(sizeof(ppp_msg_hdr) == 20, "the controller header is 20 bytes");
static_assert(offsetof(ppp_msg_hdr, type) == 2);
static_assert(offsetof(ppp_msg_hdr, result) == 4);
static_assert(offsetof(ppp_msg_hdr, cookie) == 8);
static_assert(offsetof(ppp_msg_hdr, link) == 12);
static_assert(offsetof(ppp_msg_hdr, length) == 16);

inline constexpr size_t PPP_MSG_HDR_SIZE = sizeof(ppp_msg_hdr);

// Message types.
inline constexpr uint16_t PPP_EVENT = 1; // unsolicited: a link changed phase
inline constexpr uint16_t PPP_STATUS = 2;
inline constexpr uint16_t PPP_CONNECT = 3;
inline constexpr uint16_t PPP_DISCONNECT = 5;
inline constexpr uint16_t PPP_GETOPTION = 6;
inline constexpr uint16_t PPP_SETOPTION = 7;
inline constexpr uint16_t PPP_ENABLE_EVENT = 8;
inline constexpr uint16_t PPP_DISABLE_EVENT = 9;
inline constexpr uint16_t PPP_GETNBLINKS = 11;
inline constexpr uint16_t PPP_GETLINKBYINDEX = 12;
inline constexpr uint16_t PPP_LINKFORSERVICE = 13;
inline constexpr uint16_t PPP_LINKFORIFNAME = 14;

// The link field of requests that name no link.
inline constexpr uint32_t PPP_LINK_NONE = 0xFFFFFFFFu;

// Option codes.
inline constexpr uint32_t PPP_OPT_SERVICEID = 29;

// Phases. Only PPP_RUNNING is interpreted by the clients; the controller
// passes through the others while it dials.
inline constexpr uint32_t PPP_IDLE = 0;
inline constexpr uint32_t PPP_RUNNING = 8;

// The reply body of PPP_STATUS: a phase word and a 32-byte union.
struct ppp_status {
    uint32_t phase;
    union {
        // Valid in phase PPP_RUNNING.
        struct {
            uint32_t timeElapsed;   // seconds since the link came up
            uint32_t timeRemaining; // seconds before a time limit hangs up, 0 for none
            uint32_t inBytes;
            uint32_t inPackets;
            uint32_t inErrors;
            uint32_t outBytes;
            uint32_t outPackets;
            uint32_t outErrors;
        } connected;
        struct {
            uint32_t lastCause;
        } disconnected;
        struct {
            uint32_t timeRemaining;
        } waitonbusy;
        uint8_t raw[32];
    } s;
};
static_assert(sizeof(ppp_status) == 36, "the status record is 36 bytes");
static_assert(offsetof(ppp_status, s.connected.timeElapsed) == 4);
static_assert(offsetof(ppp_status, s.connected.timeRemaining) == 8);
static_assert(offsetof(ppp_status, s.connected.inBytes) == 12);
static_assert(offsetof(ppp_status, s.connected.outBytes) == 24);
static_assert(offsetof(ppp_status, s.connected.outErrors) == 32);

// Largest reply body a client accepts; a larger announcement means the stream
// is corrupt or the peer is not a controller.
inline constexpr uint32_t PPP_MAX_REPLY_BODY = 1u << 20;
// Largest request body the controller accepts.
inline constexpr uint32_t PPP_MAX_REQUEST_BODY = 4096;
