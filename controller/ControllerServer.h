// The controller's socket: accepts clients on the controller path and moves
// bytes between them and the protocol service, all on one sd-event loop.
#pragma once

#include <list>
#include <memory>
#include <string>

#include <sys/types.h>

#include "controller/ControllerService.h"
#include "controller/LinkSource.h"

typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;

namespace controller {

struct EventSourceDeleter {
    void operator()(sd_event_source* source) const;
};
using EventSourcePtr = std::unique_ptr<sd_event_source, EventSourceDeleter>;

class ControllerServer {
public:
    ControllerServer(sd_event* event, LinkSource& source);
    // Disconnects every client and removes the socket file if it is still ours.
    ~ControllerServer();
    ControllerServer(const ControllerServer&) = delete;
    ControllerServer& operator=(const ControllerServer&) = delete;

    // Listens on `path`, creating missing folders and replacing a stale socket
    // file. False, with `error` saying why, when another controller answers
    // there or the socket cannot be made.
    bool listen(const std::string& path, std::string& error);

    size_t clientCount() const { return service_.sessionCount(); }
    ControllerService& service() { return service_; }

private:
    struct Client;

    static int onListenReady(sd_event_source*, int fd, uint32_t revents, void* userdata);
    static int onClientReady(sd_event_source*, int fd, uint32_t revents, void* userdata);
    static int onTimer(sd_event_source*, uint64_t usec, void* userdata);
    static int onAcceptResume(sd_event_source*, uint64_t usec, void* userdata);

    void acceptClients();
    void serve(Client& client, uint32_t revents);
    void updateInterest(Client& client);
    void closeClient(Client& client);
    void rearmTimer();

    sd_event* event_;
    LinkSource& source_;
    ControllerService service_;
    std::string path_;
    int listenFd_ = -1;
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    size_t maxClients_ = 0;
    EventSourcePtr listenSource_;
    EventSourcePtr timerSource_;
    EventSourcePtr acceptPause_;
    std::list<std::unique_ptr<Client>> clients_;
};

} // namespace controller
