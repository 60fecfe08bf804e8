// The connection history model: the connection log of one service, the display
// text of every connection and the totals. The window, its table and the report
// exporter all read the one shared model, so they always agree.
#pragma once

#include "platform/Plist.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class DLConnections {
public:
    // One connection as read from the log. A field the record lacks, or holds
    // as another kind of value, reads as 0 (no date: no date).
    struct Record {
        std::optional<platform::Date> date;
        double timeElapsed = 0.0;
        uint64_t inBytes = 0;
        uint64_t outBytes = 0;
    };

    // The process's one model, with no log selected until a key is set.
    static DLConnections& sharedInstance();

    // A model of its own (tests, headless reports); the window uses the shared one.
    DLConnections() = default;
    DLConnections(const DLConnections&) = delete;
    DLConnections& operator=(const DLConnections&) = delete;

    // The folder that holds the connection logs:
    // "~/Library/Application Support/Dial Ledger" with "~" expanded.
    static std::string logFolder();

    // Shows the log of that service ID and reloads; nothing selects no log (an
    // empty history). A key that cannot be a file name in the log folder
    // ("", ".", "..", anything with "/") selects no log either.
    void setCurrentWithKey(const std::optional<std::string>& key);
    // Rereads the selected log. A missing, unreadable or half-written log, or one
    // whose root is not an array, reads as an empty history.
    void reload();
    // Removes the selected log and reloads. Nothing happens when there is no
    // such file; a failed removal is logged and leaves the model as it was.
    void deleteAll();

    uint32_t total() const { return static_cast<uint32_t>(theConnections_.size()); }
    std::string totalTime() const { return timeToHMS(totalTime_); }
    std::string totalIn() const { return bytesInHumanReadableForm(totalIn_); }
    std::string totalOut() const { return bytesInHumanReadableForm(totalOut_); }

    // The raw sums behind the total texts. Byte sums are kept in 64 bits so a
    // long history never wraps.
    double totalSeconds() const { return totalTime_; }
    uint64_t totalInBytes() const { return totalIn_; }
    uint64_t totalOutBytes() const { return totalOut_; }

    // The text of one cell: column "date", "time", "download" (bytes received)
    // or "upload" (bytes sent). Nothing for an unknown column, an index out of
    // range (a negative one included) or a record without a date.
    std::optional<std::string> objectForKey(std::string_view key, int32_t index) const;

    // Byte counts as "0.5 KB", "10 KB", "1.5 MB", "4 GB".
    static std::string bytesInHumanReadableForm(uint64_t bytes);
    // Durations as "01:02:05"; hours do not wrap at 24.
    static std::string timeToHMS(double seconds);
    // A date as "%Y-%m-%d   %H:%M:%S" in the local time zone.
    static std::string formatDate(platform::Date date);

    const std::optional<std::string>& path() const { return path_; }
    const std::vector<Record>& connections() const { return theConnections_; }

private:
    std::vector<Record> theConnections_;
    std::optional<std::string> path_;
    std::vector<std::string> times_;
    std::vector<std::string> inBytes_;
    std::vector<std::string> outBytes_;
    double totalTime_ = 0.0;
    uint64_t totalOut_ = 0;
    uint64_t totalIn_ = 0;
};
