// A link source over the machine's real pppd links. Each PPP service of the
// network preferences is one link, tied to the pppd started for it with
// "linkname <service ID>": pppd keeps /var/run/ppp-<service ID>.pid (its pid,
// then the interface name once the interface exists), and the interface's
// flags and counters live under /sys/class/net. Every path is read under the
// system root, so a test can play the whole machine from plain files.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "controller/LinkSource.h"

namespace platform {
class RunLoop;
}

namespace controller {

// A name that can go into a file name and onto pppd's command line as one
// plain word: not empty, not "." or "..", no "/", no leading "-", no control
// characters, and short enough for a file name.
bool isSafeLinkName(std::string_view name);
// A network interface name as the kernel allows it (at most 15 bytes, no
// "/", ":" or white space), so that it can name a folder under /sys/class/net.
bool isSafeInterfaceName(std::string_view name);

// What a pid file says: the pid on the first line, the interface on the
// second once pppd knows it. Nothing for a file without a plain positive pid.
struct PidFile {
    pid_t pid = 0;
    std::string interface; // empty while unknown or not a safe name
};
std::optional<PidFile> parsePidFile(std::string_view text);

// True while the process lives, is not a zombie and its command name is "pppd".
bool isLivePppd(pid_t pid);

class PppdLinks : public LinkSource {
public:
    using NowFunction = std::function<Clock::time_point()>;
    using LogFunction = std::function<void(const std::string& line)>;

    struct Options {
        // The program a connect request starts. A fixed path: nothing a
        // client sends or a file holds chooses it.
        std::string pppdProgram = "/usr/sbin/pppd";
        // One line per refused request or failure; standard error when empty.
        LogFunction log;
        NowFunction now;
    };

    // The phase of a link whose pppd lives without a running interface.
    static constexpr uint32_t kDialingPhase = 1;
    // How often the links are looked at when no event says anything changed:
    // a pppd that dies leaves no trace but its missing process.
    static constexpr auto kRefreshInterval = std::chrono::seconds(1);

    explicit PppdLinks(Options options);
    ~PppdLinks() override;
    PppdLinks(const PppdLinks&) = delete;
    PppdLinks& operator=(const PppdLinks&) = delete;

    size_t linkCount() const override { return links_.size(); }
    const LinkDescription& link(size_t index) const override { return links_[index].description; }
    ppp_status status(size_t index) override;
    uint32_t connect(size_t index) override;
    uint32_t disconnect(size_t index) override;
    std::optional<Clock::time_point> nextChange() const override;
    void advance() override { refresh(); }

    // Re-reads the preferences when the file changed, then looks at every
    // link and reports the phases that changed.
    void refresh();
    // Re-reads the list of services from the preferences at once.
    void reloadServices();
    // Follows the preferences folder, the run folder and the kernel's link
    // events on the loop. False when none of them can be watched.
    bool watch(platform::RunLoop& loop);

    // The files of one link, under the system root.
    static std::string pidFilePath(std::string_view serviceID);
    static std::string interfaceFolder(std::string_view interface);

private:
    struct Link {
        std::string serviceID;
        // PPP -> Peer: nothing when the service names none (the service ID
        // is the peer then); an empty string when it is not a string.
        std::optional<std::string> peer;
        bool present = false; // still a PPP service of the preferences
        LinkDescription description;
        uint32_t phase = PPP_IDLE;
        std::optional<Clock::time_point> runningSince;
        pid_t pppd = 0;    // the live pppd of the pid file, 0 for none
        pid_t starter = 0; // the process our last connect started, 0 for none
    };

    // Looks at one link's files; reports its phase when it changed.
    void evaluate(size_t index);
    void reapChildren();
    void updateWatches();
    void log(const std::string& line) const;
    Clock::time_point now() const { return options_.now ? options_.now() : Clock::now(); }

    Options options_;
    std::vector<Link> links_;
    std::set<std::string> warnedIDs_;
    std::vector<pid_t> children_;
    struct stat preferencesStat_ {};
    bool preferencesSeen_ = false;
    Clock::time_point lastRefresh_{};

    struct Watch;
    std::unique_ptr<Watch> watch_;
};

} // namespace controller
