// The system log. Each program opens it once with its own ident; tests swap in
// a sink to capture the lines.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Idents: "dialledger" for the agent, "Dial Ledger" for the viewer.
void openLog(const char* ident);
// Writes one line (a trailing newline is not repeated) to syslog, or to the
// sink installed by a test.
void logLine(std::string_view message);
// printf-style convenience for the system's "%@"/"%d" messages.
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text that came from outside (a service ID, a peer name) as it may appear in
// a log line: control bytes, a NUL among them, are shown as \xNN so the line
// stays one line.
std::string printable(std::string_view text);

using LogSink = std::function<void(std::string_view)>;
// Installs a sink that receives every line instead of syslog; returns the
// previous one. An empty sink restores syslog.
LogSink setLogSink(LogSink sink);

// Captures log lines for the lifetime of the object (tests).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    const std::vector<std::string>& lines() const { return lines_; }
    bool contains(std::string_view line) const;
    void clear() { lines_.clear(); }

private:
    std::vector<std::string> lines_;
    LogSink previous_;
};

} // namespace platform
