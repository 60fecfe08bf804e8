// Request streams through the controller's request handling, as the daemon's
// server feeds it: bytes arrive in pieces of any size, from several clients
// at once, while the simulated links move on in time and clients come and go.
//
// The input's front is the request stream; its tail steers (libFuzzer's data
// provider takes whole values from the back): each control byte says which
// client the next piece comes from and how long it is, and now and then lets
// time pass, sends a client's pending output or drops a client. A stream of
// requests from the tests is therefore a good seed as it is.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "controller/ControllerService.h"
#include "controller/SimulatedLinks.h"
#include "fuzz/FuzzSupport.h"

namespace {

using controller::Clock;
using controller::ControllerService;

constexpr size_t kMaxSessions = 3;

std::vector<controller::SimulatedLinkConfig> linkConfigs() {
    std::vector<controller::SimulatedLinkConfig> links(4);
    links[0].description = {"0A1B2C3D-0000-4000-8000-000000000001", "ppp0"};
    links[0].dialSeconds = 2;
    links[0].inRate = 5000;
    links[0].outRate = 1000;
    links[1].description = {"0A1B2C3D-0000-4000-8000-000000000002", "ppp1"};
    links[1].startConnected = true;
    links[1].inRate = 0xFFFFFFFF;
    links[1].outRate = 7;
    links[1].autoEvery = 5;
    links[1].autoHold = 3;
    // An ID outside 7-bit ASCII, one that Mac OS Roman can carry and one it cannot.
    links[2].description = {"caf\xC3\xA9", "ppp2"};
    links[2].dialSeconds = 0;
    links[3].description = {"\xE2\x82\xAC\xF0\x9F\x93\x9E", "ppp3"};
    links[3].dialSeconds = 3600;
    links[3].autoEvery = 1;
    links[3].autoHold = 1;
    return links;
}

// Everything a client is sent is whole messages: a header, then exactly the
// body it announces.
void checkFraming(const std::vector<uint8_t>& output) {
    size_t offset = 0;
    while (offset < output.size()) {
        FUZZ_CHECK(output.size() - offset >= sizeof(ppp_msg_hdr), "a cut-off header sent");
        ppp_msg_hdr header;
        std::memcpy(&header, output.data() + offset, sizeof header);
        offset += sizeof header;
        FUZZ_CHECK(header.length <= output.size() - offset, "a body shorter than announced");
        FUZZ_CHECK(header.type != PPP_EVENT || header.length == 0, "an event with a body");
        offset += header.length;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::PrivateRoot::instance();
    FuzzedDataProvider input(data, size);

    Clock::time_point now = Clock::time_point(std::chrono::hours(1000));
    controller::SimulatedLinks links(linkConfigs(), [&now] { return now; });
    ControllerService service(links);
    size_t phaseChanges = 0;
    service.setPhaseObserver([&](size_t index, uint32_t) {
        FUZZ_CHECK(index < links.linkCount(), "a phase change of a link that does not exist");
        ++phaseChanges;
    });
    service.setOutputHandler([](ControllerService::Session& session) {
        if (!session.overflowed())
            checkFraming(session.output());
    });

    std::vector<ControllerService::Session*> sessions;
    sessions.push_back(&service.openSession());

    while (input.remaining_bytes() > 0) {
        const uint8_t control = input.ConsumeIntegral<uint8_t>();
        ControllerService::Session& session = *sessions[(control >> 6) % sessions.size()];
        switch (control & 0x7) {
        case 0: // time passes, links move on and send their events
            now += std::chrono::milliseconds(250) * (1 + ((control >> 3) & 0x7)) * 7;
            links.advance();
            break;
        case 1: // the server sends what is pending
            checkFraming(session.output());
            session.output().clear();
            break;
        case 2: // a client leaves, or another arrives
            if (sessions.size() > 1 && (control & 0x8)) {
                ControllerService::Session* leaving = &session;
                std::erase(sessions, leaving);
                service.closeSession(*leaving);
            } else if (sessions.size() < kMaxSessions) {
                sessions.push_back(&service.openSession());
            }
            break;
        default: { // the next piece of the stream arrives
            const size_t length = 1 + ((control >> 3) & 0x7) * ((control & 0x7) - 2) * 4;
            const std::vector<uint8_t> piece = input.ConsumeBytes<uint8_t>(length);
            const bool wasClosing = session.closing();
            const bool open = service.receive(session, piece.data(), piece.size());
            FUZZ_CHECK(!wasClosing || !open, "a closing client was served again");
            FUZZ_CHECK(open == !session.closing(), "the result and the session disagree");
            if (!session.overflowed())
                checkFraming(session.output());
            break;
        }
        }
    }
    FUZZ_CHECK(service.sessionCount() == sessions.size(), "sessions lost or left behind");
    (void)phaseChanges;
    return 0;
}
