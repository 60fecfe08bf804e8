// Posts the notifications named on its command line and exits: stands in for
// the agent (its started notification) and for its updates in viewer tests.
#include "platform/Notifications.h"

#include <cstdio>

int main(int argc, char** argv) {
    auto& center = platform::NotificationCenter::shared();
    if (!center.connected()) {
        std::fprintf(stderr, "dl_test_post: no session bus\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i)
        center.post(argv[i]);
    // The centre writes out what is queued when it closes at exit.
    return 0;
}
