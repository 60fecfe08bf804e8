#include "platform/Log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>
#include <vector>

namespace platform {

namespace {

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

} // namespace

std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void openLog(const char* ident) {
    // openlog keeps the pointer, so the ident must outlive every later call.
    static std::string keptIdent;
    std::lock_guard<std::mutex> lock(sinkMutex());
    keptIdent = ident ? ident : "";
    openlog(keptIdent.c_str(), LOG_PID, LOG_USER);
}

void logLine(std::string_view message) {
    while (!message.empty() && message.back() == '\n')
        message.remove_suffix(1);
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(message);
        return;
    }
    syslog(LOG_NOTICE, "%.*s", static_cast<int>(message.size()), message.data());
}

void logf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(copy);
        logLine(std::string_view(small, static_cast<size_t>(n)));
        return;
    }
    std::vector<char> big(static_cast<size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), format, copy);
    va_end(copy);
    logLine(std::string_view(big.data(), static_cast<size_t>(n)));
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    LogSink previous = std::move(currentSink());
    currentSink() = std::move(sink);
    return previous;
}

LogCapture::LogCapture() {
    previous_ = setLogSink([this](std::string_view line) { lines_.emplace_back(line); });
}

LogCapture::~LogCapture() {
    setLogSink(std::move(previous_));
}

bool LogCapture::contains(std::string_view line) const {
    for (const auto& l : lines_)
        if (l == line)
            return true;
    return false;
}

} // namespace platform
