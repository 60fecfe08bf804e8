// The pppd link source in a private root: phases and counters driven by pid
// files and /sys/class/net files, services following the preferences, the
// pppd it starts and stops, and who may ask it to.
#include <cerrno>
#include <csignal>

#include <gtest/gtest.h>

#include "controller/ControllerService.h"
#include "controller/PeerAuthorization.h"
#include "controller/PppdLinks.h"
#include "platform/RunLoop.h"
#include "tests/controller/PppdMachine.h"
#include "tests/pppctl/ControllerTestSupport.h"

using controller::Clock;
using controller::PppdLinks;
using pppdtest::PppdMachine;
using pppdtest::Service;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kDialing = PppdLinks::kDialingPhase;

class PppdLinksTest : public ::testing::Test {
protected:
    std::unique_ptr<PppdLinks> make(std::string program = "") {
        PppdLinks::Options options;
        options.pppdProgram = program.empty() ? machine.fakePppd() : program;
        options.log = [this](const std::string& line) { logLines.push_back(line); };
        options.now = [this] { return clock; };
        auto links = std::make_unique<PppdLinks>(std::move(options));
        links->setPhaseHandler(
            [this](size_t index, uint32_t phase) { phases.emplace_back(index, phase); });
        return links;
    }

    static std::optional<size_t> indexOf(const PppdLinks& links, const std::string& id) {
        for (size_t i = 0; i < links.linkCount(); ++i)
            if (links.link(i).serviceID == id)
                return i;
        return std::nullopt;
    }

    // Refreshes until the link shows the phase, or gives up after a while.
    bool phaseBecomes(PppdLinks& links, size_t index, uint32_t phase) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline) {
            links.refresh();
            if (links.status(index).phase == phase)
                return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    testsupport::TempRoot root;
    PppdMachine machine{root.path(), root.path() + "/scratch"};
    std::vector<std::pair<size_t, uint32_t>> phases;
    std::vector<std::string> logLines;
    Clock::time_point clock = Clock::now();
};

TEST(PppdNames, OnlyPlainWordsNameLinksAndPeers) {
    const std::pair<std::string, bool> cases[] = {
        {"provider", true},
        {"SVC-MODEM", true},
        {"0A1B2C3D-0000-4000-8000-000000000001", true},
        {"my isp", true},
        {"a.b", true},
        {"", false},
        {".", false},
        {"..", false},
        {"-", false},
        {"-detach", false},
        {"a/b", false},
        {"../etc/passwd", false},
        {std::string("a\0b", 3), false},
        {"a\nb", false},
        {"tab\there", false},
        {"del\x7f", false},
        {std::string(201, 'x'), false},
    };
    for (const auto& [name, safe] : cases)
        EXPECT_EQ(controller::isSafeLinkName(name), safe) << '"' << name << '"';

    EXPECT_TRUE(controller::isSafeInterfaceName("ppp0"));
    EXPECT_TRUE(controller::isSafeInterfaceName(std::string(15, 'p')));
    for (std::string bad : {"", ".", "..", "ppp/0", "../x", "ppp:0", "ppp 0", "0123456789abcdef"})
        EXPECT_FALSE(controller::isSafeInterfaceName(bad)) << '"' << bad << '"';
}

TEST(PppdNames, PidFilesNameAPidAndMaybeAnInterface) {
    struct Case {
        std::string text;
        pid_t pid; // 0: not a pid file
        std::string interface;
    };
    const Case cases[] = {
        {"1234\n", 1234, ""},
        {"1234", 1234, ""},
        {"1234\nppp0\n", 1234, "ppp0"},
        {"  1234 \r\nppp0 \n", 1234, "ppp0"},
        {"1234\n../../etc\n", 1234, ""}, // an interface that names no folder safely
        {"1234\n\n", 1234, ""},
        {"", 0, ""},
        {"\n", 0, ""},
        {"0\n", 0, ""},
        {"-1\n", 0, ""},
        {"+12\n", 0, ""},
        {"0x10\n", 0, ""},
        {"12abc\n", 0, ""},
        {"99999999999999999999\n", 0, ""},
        {"ppp0\n1234\n", 0, ""},
    };
    for (const Case& c : cases) {
        auto parsed = controller::parsePidFile(c.text);
        if (c.pid == 0) {
            EXPECT_FALSE(parsed) << '"' << c.text << '"';
            continue;
        }
        ASSERT_TRUE(parsed) << '"' << c.text << '"';
        EXPECT_EQ(parsed->pid, c.pid) << '"' << c.text << '"';
        EXPECT_EQ(parsed->interface, c.interface) << '"' << c.text << '"';
    }
}

TEST(PeerAuthorization, RootAndTheDialOutGroupMayControlLinks) {
    struct Case {
        uid_t uid;
        gid_t gid;
        std::vector<gid_t> memberOf;
        std::optional<gid_t> dip;
        bool allowed;
    };
    const Case cases[] = {
        {0, 0, {}, 30, true},
        {0, 0, {}, std::nullopt, true},     // root needs no group
        {1000, 30, {}, 30, true},           // dip as the primary group
        {1000, 1000, {1000, 30}, 30, true}, // dip among the user's groups
        {1000, 1000, {1000, 20}, 30, false},
        {1000, 1000, {}, 30, false},
        {1000, 1000, {30}, std::nullopt, false}, // no dip group on the system
        {65534, 65534, {65534}, 30, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(controller::mayControlLinks(c.uid, c.gid, c.memberOf, c.dip), c.allowed)
            << "uid " << c.uid << " gid " << c.gid;
}

TEST(PeerAuthorization, GroupsComeFromTheAccountDatabase) {
    auto root = controller::groupsOfUser(0, 0);
    EXPECT_NE(std::find(root.begin(), root.end(), 0u), root.end());
    // An account that does not exist has its primary group only.
    EXPECT_EQ(controller::groupsOfUser(4000000000u, 4321), std::vector<gid_t>{4321});
    EXPECT_FALSE(controller::groupID("no-such-group-dl"));
    EXPECT_EQ(controller::groupID("root"), std::optional<gid_t>(0));
}

TEST_F(PppdLinksTest, PhaseFollowsThePidFileAndTheInterface) {
    machine.setServices({{"DSL"}});
    auto links = make();
    ASSERT_EQ(links->linkCount(), 1u);
    EXPECT_EQ(links->link(0).serviceID, "DSL");
    EXPECT_EQ(links->status(0).phase, PPP_IDLE); // no pid file

    // Pid files that name no live pppd.
    pid_t gone = machine.startPppd();
    machine.stop(gone);
    for (std::string text : {std::to_string(gone) + "\nppp0\n", // a pppd that ended
                             std::to_string(::getpid()) + "\n", // a live process, not pppd
                             std::string("garbage\n"), std::string(""), std::string("0\n")}) {
        machine.writePidFile("DSL", text);
        EXPECT_EQ(links->status(0).phase, PPP_IDLE) << '"' << text << '"';
    }
    EXPECT_TRUE(phases.empty());

    const pid_t pppd = machine.startPppd();
    const std::string pid = std::to_string(pppd) + "\n";
    machine.writePidFile("DSL", pid);
    EXPECT_EQ(links->status(0).phase, kDialing); // no interface yet

    machine.writePidFile("DSL", pid + "ppp0\n");
    EXPECT_EQ(links->status(0).phase, kDialing); // the interface does not exist
    EXPECT_EQ(links->link(0).interface, "ppp0");

    // Running is IFF_UP (0x1) with IFF_RUNNING (0x40), which the kernel
    // shows in the operational state rather than in the flags file.
    struct FlagCase {
        std::string flags;
        std::optional<std::string> operstate; // nothing: no such file
        uint32_t phase;
    };
    const FlagCase flagCases[] = {
        {"0x1091", std::nullopt, kDialing},  {"0x1050", std::nullopt, kDialing},
        {"junk", "unknown", kDialing},       {"0x1091", "down", kDialing},
        {"0x1091", "dormant", kDialing},     {"0x1091", "lowerlayerdown", kDialing},
        {"0x1090", "unknown", kDialing},     {"0x1090", "up", kDialing},
        {"0x1091", "unknown", PPP_RUNNING},  {"0x1003", "up", PPP_RUNNING},
        {"0x41", std::nullopt, PPP_RUNNING}, {"0x10d1", "down", PPP_RUNNING},
    };
    for (const FlagCase& c : flagCases) {
        machine.setFlags("ppp0", c.flags);
        std::filesystem::remove(machine.interfaceFolder("ppp0") + "/operstate");
        if (c.operstate)
            machine.setOperstate("ppp0", *c.operstate);
        EXPECT_EQ(links->status(0).phase, c.phase) << c.flags << " " << c.operstate.value_or("-");
    }

    // Counters: the low 32 bits of the kernel's; time from the first look
    // that saw the link running.
    machine.setCounters("ppp0", "4294967306", "77");
    clock += 5s;
    ppp_status status = links->status(0);
    EXPECT_EQ(status.phase, PPP_RUNNING);
    EXPECT_EQ(status.s.connected.timeElapsed, 5u);
    EXPECT_EQ(status.s.connected.inBytes, 10u);
    EXPECT_EQ(status.s.connected.outBytes, 77u);
    machine.setCounters("ppp0", "123456", "654321");
    clock += 2s;
    status = links->status(0);
    EXPECT_EQ(status.s.connected.timeElapsed, 7u);
    EXPECT_EQ(status.s.connected.inBytes, 123456u);
    EXPECT_EQ(status.s.connected.outBytes, 654321u);

    // The interface drops and comes back: a new connection, counted afresh.
    machine.setFlags("ppp0", "0x1091");
    EXPECT_EQ(links->status(0).phase, kDialing);
    machine.setFlags("ppp0", "0x10d1");
    clock += 3s;
    EXPECT_EQ(links->status(0).s.connected.timeElapsed, 0u);

    // A pid file whose interface line is not a plain name is read without it.
    machine.writePidFile("DSL", pid + "../../../etc\n");
    EXPECT_EQ(links->status(0).phase, kDialing);
    EXPECT_EQ(links->link(0).interface, "");
    machine.writePidFile("DSL", pid + "ppp0\n");
    EXPECT_EQ(links->status(0).phase, PPP_RUNNING);

    // pppd died without removing its pid file and nobody reaped it yet.
    machine.killWithoutReaping(pppd);
    EXPECT_EQ(links->status(0).phase, PPP_IDLE);
    links->refresh();

    const std::vector<std::pair<size_t, uint32_t>> expected{
        {0, kDialing}, {0, PPP_RUNNING}, {0, kDialing}, {0, PPP_RUNNING},
        {0, kDialing}, {0, PPP_RUNNING}, {0, PPP_IDLE}};
    EXPECT_EQ(phases, expected);
}

TEST_F(PppdLinksTest, ServicesFollowThePreferences) {
    machine.setServices({{"A"},
                         {"ETH", std::nullopt, "Ethernet"},
                         {"ppp", std::nullopt, "ppp"}, // the type is exactly "PPP"
                         {"-opt"},
                         {"a/b"},
                         {".."},
                         {"bad\tid"},
                         {"C"}});
    auto links = make();
    ASSERT_EQ(links->linkCount(), 2u);
    EXPECT_EQ(links->link(0).serviceID, "A");
    EXPECT_EQ(links->link(1).serviceID, "C");
    EXPECT_EQ(logLines.size(), 4u); // one line for each ID that cannot be used
    EXPECT_NE(logLines.back().find("bad\\x09id"), std::string::npos) << logLines.back();
    machine.setServices({{"A"}, {"-opt"}, {"C"}, {"D"}});
    links->refresh();
    EXPECT_EQ(logLines.size(), 4u); // not repeated

    // C is up when it leaves the preferences.
    const pid_t pppd = machine.startPppd();
    machine.writePidFile("C", std::to_string(pppd) + "\nppp3\n");
    machine.setFlags("ppp3", "0x10d1");
    links->refresh();
    ASSERT_EQ(links->status(1).phase, PPP_RUNNING);
    phases.clear();

    machine.setServices({{"A"}, {"D"}});
    links->refresh();
    // Links keep their references: C leaves a hole that answers to nothing.
    ASSERT_EQ(links->linkCount(), 3u);
    EXPECT_EQ(links->link(1).serviceID, "");
    EXPECT_EQ(links->link(1).interface, "");
    EXPECT_EQ(links->status(1).phase, PPP_IDLE);
    EXPECT_EQ(links->connect(1), uint32_t(ENODEV));
    EXPECT_EQ(links->link(2).serviceID, "D");
    EXPECT_EQ(phases, (std::vector<std::pair<size_t, uint32_t>>{{1, PPP_IDLE}}));

    // Back again, in its old place, and still up.
    machine.setServices({{"C"}, {"A"}, {"D"}});
    links->refresh();
    EXPECT_EQ(links->linkCount(), 3u);
    EXPECT_EQ(indexOf(*links, "C"), std::optional<size_t>(1));
    EXPECT_EQ(links->status(1).phase, PPP_RUNNING);

    // No preferences at all: no links answer.
    std::filesystem::remove(machine.preferencesPath());
    links->refresh();
    for (size_t i = 0; i < links->linkCount(); ++i)
        EXPECT_EQ(links->link(i).serviceID, "");
}

TEST_F(PppdLinksTest, ConnectStartsPppdForThePeerAndDisconnectEndsIt) {
    machine.setServices({{"DSL", "provider"}, {"MODEM"}});
    auto links = make();

    EXPECT_EQ(links->connect(0), 0u);
    EXPECT_EQ(links->status(0).phase, kDialing); // before pppd writes its pid file
    ASSERT_TRUE(phaseBecomes(*links, 0, kDialing));
    // Wait for the pid file; the link is the pppd it names from then on.
    for (int i = 0; i < 500 && !std::filesystem::exists(machine.pidFile("DSL")); ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(std::filesystem::exists(machine.pidFile("DSL")));
    EXPECT_EQ(machine.fakeArgs(),
              (std::vector<std::string>{"call", "provider", "linkname", "DSL"}));

    // A link that is dialing is not dialed twice.
    std::filesystem::remove(machine.argsFile());
    EXPECT_EQ(links->connect(0), 0u);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(std::filesystem::exists(machine.argsFile()));

    EXPECT_EQ(links->disconnect(0), 0u);
    ASSERT_TRUE(phaseBecomes(*links, 0, PPP_IDLE));
    EXPECT_TRUE(std::filesystem::exists(machine.pidFile("DSL"))); // stale, and harmless

    // Without a Peer the service ID is the peer.
    EXPECT_EQ(links->connect(1), 0u);
    for (int i = 0; i < 500 && !std::filesystem::exists(machine.pidFile("MODEM")); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(machine.fakeArgs(), (std::vector<std::string>{"call", "MODEM", "linkname", "MODEM"}));
    EXPECT_EQ(links->disconnect(1), 0u);
    ASSERT_TRUE(phaseBecomes(*links, 1, PPP_IDLE));
    EXPECT_TRUE(logLines.empty());
}

TEST_F(PppdLinksTest, UnsafePeerNamesNeverReachPppd) {
    const std::string peers[] = {"-detach", "-", "../../tmp/x", "a/b", "", ".", "..", "a\nb"};
    std::vector<Service> services;
    for (size_t i = 0; i < std::size(peers); ++i)
        services.push_back({"S" + std::to_string(i), peers[i]});
    machine.setServices(services);
    auto links = make();
    ASSERT_EQ(links->linkCount(), std::size(peers));
    for (size_t i = 0; i < std::size(peers); ++i) {
        logLines.clear();
        EXPECT_NE(links->connect(i), 0u) << peers[i];
        EXPECT_EQ(logLines.size(), 1u) << peers[i];
        EXPECT_EQ(links->status(i).phase, PPP_IDLE);
    }
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(std::filesystem::exists(machine.argsFile()));
}

TEST_F(PppdLinksTest, APppdThatCannotStartIsReported) {
    machine.setServices({{"DSL"}});
    auto links = make(root.path() + "/no-such-pppd");
    EXPECT_EQ(links->connect(0), uint32_t(ENOENT));
    EXPECT_EQ(logLines.size(), 1u);
    EXPECT_EQ(links->status(0).phase, PPP_IDLE);
}

TEST_F(PppdLinksTest, DisconnectSignalsOnlyALivePppd) {
    machine.setServices({{"DSL"}});
    auto links = make();
    // A pid file naming this test (not a pppd): nothing is sent to it.
    machine.writePidFile("DSL", std::to_string(::getpid()) + "\n");
    EXPECT_EQ(links->disconnect(0), 0u);

    const pid_t pppd = machine.startPppd();
    machine.writePidFile("DSL", std::to_string(pppd) + "\n");
    EXPECT_EQ(links->disconnect(0), 0u);
    int status = 0;
    ASSERT_EQ(::waitpid(pppd, &status, 0), pppd);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    machine.stop(pppd);
}

// Without any timer, the inotify and netlink watches alone keep the links current.
TEST_F(PppdLinksTest, FollowsThePreferencesAndTheRunFolderOnTheLoop) {
    machine.setServices({{"A"}});
    auto links = make();
    platform::RunLoop& loop = platform::RunLoop::main();
    ASSERT_TRUE(links->watch(loop));
    auto until = [&](const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            loop.runFor(20ms);
        return condition();
    };

    machine.setServices({{"A"}, {"B"}});
    EXPECT_TRUE(until([&] { return links->linkCount() == 2; }));

    const pid_t pppd = machine.startPppd();
    machine.writePidFile("B", std::to_string(pppd) + "\n");
    EXPECT_TRUE(until([&] { return !phases.empty(); }));
    EXPECT_EQ(phases, (std::vector<std::pair<size_t, uint32_t>>{{1, kDialing}}));

    machine.removePidFile("B");
    EXPECT_TRUE(until([&] { return phases.size() == 2; }));
    EXPECT_EQ(phases.back(), (std::pair<size_t, uint32_t>{1, PPP_IDLE}));
}

// The controller refuses connect and disconnect that its authorizer refuses,
// with the authorizer's result code, and answers status to everyone.
TEST(ControllerAuthorizer, RefusedRequestsGetTheResultCode) {
    testsupport::TempRoot root;
    PppdMachine machine(root.path(), root.path() + "/scratch");
    machine.setServices({{"DSL"}});
    PppdLinks::Options options;
    options.pppdProgram = machine.fakePppd();
    PppdLinks links(options);
    controller::ControllerService service(links);
    service.setAuthorizer(
        [](const controller::ControllerService::Session& session, uint16_t, size_t) -> uint32_t {
            return session.peer() && session.peer()->uid == 0 ? 0 : EPERM;
        });

    auto exchange = [&](controller::ControllerService::Session& session, uint16_t type) {
        auto bytes = testsupport::header(type, 0, 1, 0);
        session.output().clear();
        service.receive(session, bytes.data(), bytes.size());
        ppp_msg_hdr reply{};
        EXPECT_GE(session.output().size(), sizeof reply);
        std::memcpy(&reply, session.output().data(), sizeof reply);
        return reply.result;
    };

    auto& stranger = service.openSession();
    stranger.setPeer({1, 1000, 1000});
    auto& unknown = service.openSession(); // no credentials at all
    auto& root0 = service.openSession();
    root0.setPeer({1, 0, 0});

    EXPECT_EQ(exchange(stranger, PPP_CONNECT), uint32_t(EPERM));
    EXPECT_EQ(exchange(unknown, PPP_CONNECT), uint32_t(EPERM));
    EXPECT_EQ(exchange(stranger, PPP_DISCONNECT), uint32_t(EPERM));
    EXPECT_EQ(exchange(stranger, PPP_STATUS), 0u);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(std::filesystem::exists(machine.argsFile()));

    EXPECT_EQ(exchange(root0, PPP_CONNECT), 0u);
    EXPECT_EQ(links.status(0).phase, kDialing);
    EXPECT_EQ(exchange(root0, PPP_DISCONNECT), 0u);
}

} // namespace

// The kernel's link events, from a real tun interface: the part below runs in
// a network and mount namespace of its own, started by the test after it.
#include <linux/if_tun.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/mount.h>

#include "tests/controller/PppconfdProcess.h"

namespace {

bool setInterfaceUp(const char* name, bool up) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct ifreq request {};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags =
            static_cast<short>(up ? request.ifr_flags | IFF_UP : request.ifr_flags & ~IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return ok;
}

TEST(PppdTun, DISABLED_InsideANamespace) {
    if (!std::getenv("DL_TUN_CHILD"))
        GTEST_SKIP() << "runs only inside the namespace its parent test makes";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "cannot make the mounts private: " << std::strerror(errno);
    int tun = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (tun < 0)
        GTEST_SKIP() << "no tun device: " << std::strerror(errno);
    struct ifreq request {};
    std::strncpy(request.ifr_name, "dltun0", IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    if (::ioctl(tun, TUNSETIFF, &request) != 0)
        GTEST_SKIP() << "cannot make a tun interface: " << std::strerror(errno);

    testsupport::TempRoot root;
    PppdMachine machine(root.path(), root.path() + "/scratch");
    // This namespace's /sys, where the links read it.
    const std::string sys = root.path() + "/sys";
    std::filesystem::create_directories(sys);
    if (::mount("sysfs", sys.c_str(), "sysfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount sysfs: " << std::strerror(errno);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{sys};
    ASSERT_TRUE(std::filesystem::exists(sys + "/class/net/dltun0/flags"));

    machine.setServices({{"TUN"}});
    const pid_t pppd = machine.startPppd();
    machine.writePidFile("TUN", std::to_string(pppd) + "\ndltun0\n");

    std::vector<uint32_t> phases;
    PppdLinks::Options options;
    options.pppdProgram = machine.fakePppd();
    PppdLinks links(options);
    links.setPhaseHandler([&](size_t, uint32_t phase) { phases.push_back(phase); });
    EXPECT_EQ(links.status(0).phase, kDialing); // the interface is down

    platform::RunLoop& loop = platform::RunLoop::main();
    ASSERT_TRUE(links.watch(loop));
    auto until = [&](const std::function<bool()>& condition) {
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition() && std::chrono::steady_clock::now() < deadline)
            loop.runFor(20ms);
        return condition();
    };

    // Nothing but the kernel's event makes the links look again here.
    ASSERT_TRUE(setInterfaceUp("dltun0", true));
    ASSERT_TRUE(until([&] { return !phases.empty(); }));
    EXPECT_EQ(phases, std::vector<uint32_t>{PPP_RUNNING});

    // A packet written to the tun device is one the interface received.
    unsigned char packet[28] = {0x45, 0, 0,  28, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0,
                                0,    1, 10, 0,  0, 2, 0, 9, 0,  9,  0, 8, 0,  0};
    ASSERT_EQ(::write(tun, packet, sizeof packet), ssize_t(sizeof packet));
    std::string rx;
    ASSERT_TRUE(platform::readFile(sys + "/class/net/dltun0/statistics/rx_bytes", rx));
    ppp_status status = links.status(0);
    EXPECT_EQ(status.phase, PPP_RUNNING);
    EXPECT_EQ(status.s.connected.inBytes, std::stoul(rx));
    EXPECT_GE(status.s.connected.inBytes, sizeof packet);

    // Closing the device takes the interface away.
    ::close(tun);
    ASSERT_TRUE(until([&] { return phases.size() == 2; }));
    EXPECT_EQ(phases.back(), kDialing);
}

TEST(PppdTun, LinkEventsOfATunInterfaceReachTheLinks) {
    if (::geteuid() != 0 || ::access("/dev/net/tun", R_OK | W_OK) != 0)
        GTEST_SKIP() << "needs root and /dev/net/tun";
    if (std::system("unshare -n -m true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "this machine allows no private network namespace";
    testsupport::TempRoot root;
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    ::setenv("DL_TUN_CHILD", "1", 1);
    auto run = testsupport::runProgram(root, {"/usr/bin/unshare", "-n", "-m", "--",
                                              std::string(self, size_t(n)),
                                              "--gtest_also_run_disabled_tests",
                                              "--gtest_filter=PppdTun.DISABLED_InsideANamespace"});
    ::unsetenv("DL_TUN_CHILD");
    if (run.status == 0 && run.out.find("[  SKIPPED ]") != std::string::npos)
        GTEST_SKIP() << run.out;
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("[  PASSED  ] 1 test"), std::string::npos) << run.out;
}

} // namespace
