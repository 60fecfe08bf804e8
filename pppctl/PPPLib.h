// The controller protocol as plain functions. Every function returns a signed
// status: 0 for success, a positive error number from a failed system call,
// the controller's result code unchanged, or -1/-2 for the library's own
// failures. Failures are reported by one line on standard error.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "pppctl/PPPMessages.h"

// Opens a controller connection; on success *ref holds its descriptor.
int32_t PPPInit(int32_t* ref);
int32_t PPPDispose(int32_t ref);

// Transfer exactly n bytes, resuming after interrupted calls. readn returns
// fewer only at end of stream; both return -1 on any other error.
int32_t readn(int fd, void* buffer, int32_t n);
int32_t writen(int fd, const void* buffer, int32_t n);

// One exchange. When both reply and replyLength are given, the reply body
// (allocated with malloc, nullptr for an empty body) and its length are handed
// to the caller, who frees it.
int32_t PPPExec(int32_t ref, uint32_t link, uint32_t type, const void* request,
                uint32_t requestLength, void** reply, uint32_t* replyLength);

int32_t PPPConnect(int32_t ref, uint32_t link);
int32_t PPPDisconnect(int32_t ref, uint32_t link);
int32_t PPPGetNumberOfLinks(int32_t ref, uint32_t* count);
int32_t PPPGetLinkByIndex(int32_t ref, uint32_t index, uint32_t* link);
// serviceID is UTF-8 text; nullptr means no service ID.
int32_t PPPGetLinkByServiceID(int32_t ref, const char* serviceID, uint32_t* link);
// On success with a value, *data is a malloc'd buffer the caller frees.
int32_t PPPGetOption(int32_t ref, uint32_t link, uint32_t option, void** data,
                     uint32_t* dataLength);
int32_t PPPSetOption(int32_t ref, uint32_t link, uint32_t option, const void* data,
                     uint32_t dataLength);
// On success the record is copied to *status when status is not nullptr.
int32_t PPPStatus(int32_t ref, uint32_t link, ppp_status* status);
int32_t PPPEnableEvents(int32_t ref, uint32_t link, bool enable);
int32_t PPPEnableEvent(int32_t ref);
int32_t PPPDisableEvent(int32_t ref);
// Blocks until an event header arrives.
int32_t PPPWaitForEvent(int32_t ref, ppp_msg_hdr* header);

// Mac OS Roman bytes of UTF-8 text; false when the text is not valid UTF-8 or
// holds a character that encoding lacks.
bool pppToMacRoman(std::string_view utf8, std::string& out);
// UTF-8 text of Mac OS Roman bytes (every byte has a character).
std::string pppFromMacRoman(std::string_view bytes);
