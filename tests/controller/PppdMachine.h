// A pretend machine for the pppd link source, all under one system root: the
// network preferences, the run folder's pid files, /sys/class/net, and
// processes whose command name is "pppd" (a copy of sleep under that name).
#pragma once

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/FileSystem.h"
#include "platform/Plist.h"
#include "platform/SystemPaths.h"
#include "tests/support/Process.h"

namespace pppdtest {

struct Service {
    Service(std::string id, std::optional<std::string> peer = std::nullopt,
            std::string type = "PPP")
        : id(std::move(id)), peer(std::move(peer)), type(std::move(type)) {}
    std::string id;
    std::optional<std::string> peer; // PPP -> Peer
    std::string type;
};

class PppdMachine {
public:
    // `sysroot` is the folder DIALLEDGER_SYSROOT names; `scratch` holds the
    // programs and the fake pppd's notes.
    PppdMachine(std::string sysroot, std::string scratch)
        : root_(std::move(sysroot)), scratch_(std::move(scratch)) {
        std::filesystem::create_directories(root_ + "/var/run");
        std::filesystem::create_directories(scratch_ + "/bin");
        std::filesystem::create_directories(scratch_ + "/fake");
        std::filesystem::copy_file("/bin/sleep", sleeper(),
                                   std::filesystem::copy_options::overwrite_existing);
        ::chmod(sleeper().c_str(), 0755);
        // The stand-in for pppd: notes its arguments, writes the pid file
        // pppd would write for "linkname", then lives on as a "pppd".
        std::ofstream script(fakePppd());
        script << "#!/bin/sh\n"
               << "printf '%s\\n' \"$@\" > '" << argsFile() << "'\n"
               << "echo $$ > '" << root_ << "/var/run/ppp-'\"$4\"'.pid'\n"
               << "exec '" << sleeper() << "' 3600\n";
        script.close();
        ::chmod(fakePppd().c_str(), 0755);
    }
    ~PppdMachine() {
        while (!started_.empty())
            stop(started_.back());
        // Stand-ins that a controller started and a failed test left running.
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(root_ + "/var/run", ignored)) {
            std::string text;
            if (!platform::readFile(entry.path().string(), text, 4096))
                continue;
            pid_t pid = static_cast<pid_t>(std::atol(text.c_str()));
            char target[4096];
            ssize_t n = pid > 0 ? ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(),
                                             target, sizeof target - 1)
                                : -1;
            if (n > 0 && std::string(target, size_t(n)) == sleeper())
                ::kill(pid, SIGKILL);
        }
    }
    PppdMachine(const PppdMachine&) = delete;
    PppdMachine& operator=(const PppdMachine&) = delete;

    std::string sleeper() const { return scratch_ + "/bin/pppd"; }
    std::string fakePppd() const { return scratch_ + "/fake/pppd"; }
    std::string argsFile() const { return scratch_ + "/pppd-args"; }
    // The arguments the fake pppd was last started with, one per line.
    std::vector<std::string> fakeArgs() const {
        std::vector<std::string> args;
        std::ifstream in(argsFile());
        for (std::string line; std::getline(in, line);)
            args.push_back(line);
        return args;
    }

    std::string preferencesPath() const {
        return root_ + std::string(platform::kPreferencesPlistPath);
    }
    // Network preferences holding these services, all in the active set.
    void setServices(const std::vector<Service>& services) const {
        platform::Dictionary all, members;
        platform::Array order;
        for (const Service& s : services) {
            platform::Dictionary interface, service;
            interface.set("Type", platform::Value(s.type));
            service.set("Interface", platform::Value(std::move(interface)));
            service.set("UserDefinedName", platform::Value(s.id));
            if (s.peer) {
                platform::Dictionary ppp;
                ppp.set("Peer", platform::Value(*s.peer));
                service.set("PPP", platform::Value(std::move(ppp)));
            }
            all.set(s.id, platform::Value(std::move(service)));
            members.set(s.id, platform::Value(platform::Dictionary{}));
            order.emplace_back(s.id);
        }
        platform::Dictionary ipv4, global, network, set, sets, prefs;
        ipv4.set("ServiceOrder", platform::Value(std::move(order)));
        global.set("IPv4", platform::Value(std::move(ipv4)));
        network.set("Global", platform::Value(std::move(global)));
        network.set("Service", platform::Value(std::move(members)));
        set.set("Network", platform::Value(std::move(network)));
        set.set("UserDefinedName", platform::Value("Home"));
        sets.set("HOME", platform::Value(std::move(set)));
        prefs.set("CurrentSet", platform::Value("/Sets/HOME"));
        prefs.set("NetworkServices", platform::Value(std::move(all)));
        prefs.set("Sets", platform::Value(std::move(sets)));
        std::filesystem::create_directories(std::filesystem::path(preferencesPath()).parent_path());
        if (!platform::writeXmlFile(preferencesPath(), platform::Value(std::move(prefs))))
            throw std::runtime_error("cannot write the preferences");
    }

    std::string pidFile(const std::string& serviceID) const {
        return root_ + "/var/run/ppp-" + serviceID + ".pid";
    }
    void writePidFile(const std::string& serviceID, const std::string& text) const {
        write(pidFile(serviceID), text);
    }
    // The pid line of the pid file a pppd writes, once it is complete ("" when
    // none comes in time).
    std::string waitForPidLine(const std::string& serviceID) const {
        std::string text;
        bool complete = testsupport::eventually(
            [&] {
                return platform::readFile(pidFile(serviceID), text, 4096) && !text.empty() &&
                       text.back() == '\n';
            },
            std::chrono::seconds(10), std::chrono::milliseconds(5));
        return complete ? text.substr(0, text.find('\n') + 1) : "";
    }
    void removePidFile(const std::string& serviceID) const {
        std::filesystem::remove(pidFile(serviceID));
    }

    std::string interfaceFolder(const std::string& name) const {
        return root_ + "/sys/class/net/" + name;
    }
    void setFlags(const std::string& name, const std::string& flags) const {
        write(interfaceFolder(name) + "/flags", flags + "\n");
    }
    void setOperstate(const std::string& name, const std::string& state) const {
        write(interfaceFolder(name) + "/operstate", state + "\n");
    }
    void setCounters(const std::string& name, const std::string& rx, const std::string& tx) const {
        write(interfaceFolder(name) + "/statistics/rx_bytes", rx + "\n");
        write(interfaceFolder(name) + "/statistics/tx_bytes", tx + "\n");
    }

    // A live process whose command name is "pppd"; stopped with the machine.
    pid_t startPppd() {
        const std::string program = sleeper();
        testsupport::SpawnOptions options;
        options.nullInput = false;
        pid_t pid = testsupport::spawn({program, "3600"}, options);
        if (pid < 0)
            throw std::runtime_error("cannot start the stand-in pppd");
        started_.push_back(pid);
        // Until it has run sleep, the child still bears the test's name.
        testsupport::eventually(
            [&] {
                char target[4096];
                ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), target,
                                       sizeof target - 1);
                return n > 0 && std::string(target, size_t(n)) == program;
            },
            std::chrono::seconds(5), std::chrono::milliseconds(2));
        return pid;
    }
    // Ends one of our processes and reaps it.
    void stop(pid_t pid) {
        auto it = std::find(started_.begin(), started_.end(), pid);
        if (it == started_.end())
            return;
        started_.erase(it);
        testsupport::stop(pid, SIGKILL);
    }
    // Ends it but leaves it unreaped: a zombie that still bears the name.
    void killWithoutReaping(pid_t pid) {
        ::kill(pid, SIGKILL);
        siginfo_t info{};
        ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    }

    const std::string& root() const { return root_; }

private:
    static void write(const std::string& path, const std::string& text) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        if (!platform::writeFileAtomically(path, text))
            throw std::runtime_error("cannot write " + path);
    }

    std::string root_;
    std::string scratch_;
    std::vector<pid_t> started_;
};

} // namespace pppdtest
