// One private world for an end-to-end run: a root and home of its own, the
// network preferences fixture, the real pppconfd in simulation and the real
// dialledger, on the session bus of this test alone. Every process started
// here is killed and reaped when the world goes away.
#pragma once

#include "../agent/TempRoot.h"

#include "platform/Notifications.h"
#include "platform/Plist.h"
#include "platform/SystemPaths.h"
#include "pppctl/PPPManager.h"
#include "tests/support/Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Record {
    int64_t date = 0;
    uint64_t timeElapsed = 0, inBytes = 0, outBytes = 0;
};

struct Notice {
    std::string name;
    // How many records each watched log held when the notice arrived.
    size_t modemRecords = 0;
};

inline int64_t wallNow() {
    return static_cast<int64_t>(::time(nullptr));
}

class AgentWorld {
public:
    AgentWorld() {
        root.installPreferences();
        simulation = root.path + "/links.plist";
        setLinks(fixtureLinks());
        auto& centre = platform::NotificationCenter::shared();
        for (std::string_view name :
             {platform::kDaemonStarted, platform::kUpdateUI, platform::kNetworkConfigChange})
            centre.observe(this, std::string(name), [this, name] {
                notices.push_back(Notice{std::string(name), records("SVC-MODEM").size()});
            });
    }

    ~AgentWorld() {
        platform::NotificationCenter::shared().removeObserver(this);
        testsupport::stop(agent, SIGKILL, 5s);
        testsupport::stop(controller, SIGKILL, 5s);
    }

    AgentWorld(const AgentWorld&) = delete;
    AgentWorld& operator=(const AgentWorld&) = delete;

    static platform::Array fixtureLinks() {
        auto links = platform::readArrayFile(std::string(DL_FIXTURES_DIR) + "/agent/links.plist");
        if (!links)
            throw std::runtime_error("links fixture unreadable");
        return *links;
    }
    void setLinks(const platform::Array& links) {
        if (!platform::writeXmlFile(simulation, platform::Value(links)))
            throw std::runtime_error("cannot write the simulation");
    }

    // The controller, in simulation; returns once it answers on its socket.
    void startController() {
        ASSERT_LT(controller, 0);
        controller = spawn({std::string(DL_BIN_DIR) + "/pppconfd", "--simulate", simulation},
                           root.path + "/pppconfd.log", false);
        ASSERT_GT(controller, 0);
        const std::string socket = platform::systemPath(platform::kControllerSocketPath);
        ASSERT_TRUE(waitFor([&] { return testsupport::canConnect(socket); }, 10s))
            << "pppconfd did not come up";
    }
    void killController(int signo = SIGKILL) { testsupport::stop(controller, signo, 5s); }

    void startAgent(std::vector<std::string> args = {}) {
        ASSERT_LT(agent, 0);
        std::vector<std::string> argv{std::string(DL_BIN_DIR) + "/dialledger"};
        argv.insert(argv.end(), args.begin(), args.end());
        agent = spawn(argv, agentOutputPath(), true);
        ASSERT_GT(agent, 0);
    }
    // Sends the signal and waits for the agent's end; its exit status, or -1.
    int endAgent(int signo) { return testsupport::stop(agent, signo, 10s); }

    std::string agentOutputPath() const { return root.path + "/agent.out"; }
    std::string agentOutput() const {
        std::string out;
        platform::readFile(agentOutputPath(), out);
        return out;
    }
    size_t occurrences(const std::string& text) const {
        std::string out = agentOutput();
        size_t n = 0;
        for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++n;
        return n;
    }
    bool waitForOutput(const std::string& text, size_t count = 1,
                       std::chrono::milliseconds deadline = 15s) {
        return waitFor([&] { return occurrences(text) >= count; }, deadline);
    }

    void connect(const std::string& serviceID) { command(serviceID, true); }
    void disconnect(const std::string& serviceID) { command(serviceID, false); }

    std::vector<Record> records(const std::string& serviceID) const {
        std::vector<Record> out;
        auto array = platform::readArrayFile(root.logPath(serviceID));
        if (!array)
            return out;
        for (const platform::Value& v : *array) {
            const platform::Dictionary* d = v.asDictionary();
            if (!d || d->size() != 4)
                throw std::runtime_error("a record without exactly four keys");
            Record r;
            r.date = d->find("date")->asDate()->seconds;
            r.timeElapsed = *d->find("timeElapsed")->asUnsigned();
            r.inBytes = *d->find("inBytes")->asUnsigned();
            r.outBytes = *d->find("outBytes")->asUnsigned();
            out.push_back(r);
        }
        return out;
    }

    size_t noticesNamed(std::string_view name) const {
        size_t n = 0;
        for (const Notice& notice : notices)
            n += notice.name == name;
        return n;
    }

    // Pumps the bus until the condition holds or the deadline passes.
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
        auto end = Clock::now() + deadline;
        for (;;) {
            platform::NotificationCenter::shared().processPending();
            if (condition())
                return true;
            if (Clock::now() >= end)
                return false;
            std::this_thread::sleep_for(20ms);
        }
    }
    // Lets time pass while notifications keep arriving.
    void idle(std::chrono::milliseconds d) {
        waitFor([] { return false; }, d);
    }

    TempRoot root;
    std::string simulation;
    std::vector<Notice> notices;
    pid_t controller = -1;
    pid_t agent = -1;

private:
    // Asks the controller and waits until the link says so; a request lost
    // on a connection to a controller that has since restarted is sent again.
    void command(const std::string& serviceID, bool up) {
        bool done = waitFor(
            [&] {
                if (PPPManager* manager = PPPManager::sharedInstance()) {
                    if (up)
                        manager->pppConnectService(serviceID);
                    else
                        manager->pppDisconnectService(serviceID);
                }
                for (int i = 0; i < 10; ++i) {
                    auto status = PPPManager::statusForService(serviceID);
                    const platform::Value* phase = status ? status->find("status") : nullptr;
                    if (phase && (*phase->asUnsigned() == 8) == up)
                        return true;
                    std::this_thread::sleep_for(50ms);
                }
                return false;
            },
            10s);
        ASSERT_TRUE(done) << (up ? "connect " : "disconnect ") << serviceID;
    }

    // Output and errors appended to `output`; the agent kept in the
    // foreground so that it stays our child.
    static pid_t spawn(const std::vector<std::string>& args, const std::string& output,
                       bool foreground) {
        testsupport::SpawnOptions options;
        options.out = options.err = output;
        options.append = true;
        if (foreground)
            options.env = {"DIALLEDGER_FOREGROUND=1"};
        else
            options.unset = {"DIALLEDGER_FOREGROUND"};
        return testsupport::spawn(args, options);
    }
};

} // namespace e2e
