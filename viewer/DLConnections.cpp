#include "viewer/DLConnections.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

uint64_t unsignedAt(const platform::Dictionary& record, std::string_view key) {
    const platform::Value* value = record.find(key);
    if (!value)
        return 0;
    return value->asUnsigned().value_or(0);
}

DLConnections::Record readRecord(const platform::Value& value) {
    DLConnections::Record record;
    const platform::Dictionary* dict = value.asDictionary();
    if (!dict)
        return record;
    if (const platform::Value* date = dict->find("date"))
        record.date = date->asDate();
    record.timeElapsed = static_cast<double>(unsignedAt(*dict, "timeElapsed"));
    record.inBytes = unsignedAt(*dict, "inBytes");
    record.outBytes = unsignedAt(*dict, "outBytes");
    return record;
}

// A service ID names a file inside the log folder; anything that would lead
// out of it (or to the folder itself) is not a log.
bool isLogFileName(std::string_view key) {
    return !key.empty() && key != "." && key != ".." &&
           key.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

std::string twoDigits(int64_t part) {
    return part <= 9 ? "0" + std::to_string(part) : std::to_string(part);
}

} // namespace

DLConnections& DLConnections::sharedInstance() {
    static DLConnections shared;
    return shared;
}

std::string DLConnections::logFolder() {
    return platform::expandTilde("~/Library/Application Support/Dial Ledger");
}

void DLConnections::setCurrentWithKey(const std::optional<std::string>& key) {
    if (key && isLogFileName(*key))
        path_ = logFolder() + "/" + *key;
    else
        path_.reset();
    reload();
}

void DLConnections::reload() {
    theConnections_.clear();
    std::optional<platform::Array> log;
    if (path_)
        log = platform::readArrayFile(*path_);

    times_.clear();
    inBytes_.clear();
    outBytes_.clear();
    totalTime_ = 0.0;
    totalOut_ = 0;
    totalIn_ = 0;
    if (!log)
        return;

    theConnections_.reserve(log->size());
    times_.reserve(log->size());
    inBytes_.reserve(log->size());
    outBytes_.reserve(log->size());
    for (const platform::Value& value : *log) {
        Record record = readRecord(value);
        times_.push_back(timeToHMS(record.timeElapsed));
        totalTime_ += record.timeElapsed;
        inBytes_.push_back(bytesInHumanReadableForm(record.inBytes));
        totalIn_ += record.inBytes;
        outBytes_.push_back(bytesInHumanReadableForm(record.outBytes));
        totalOut_ += record.outBytes;
        theConnections_.push_back(record);
    }
}

void DLConnections::deleteAll() {
    if (!path_ || !platform::pathExists(*path_))
        return;
    // A folder in the log's place is not a log: removing it would take
    // whatever it holds with it.
    if (platform::isDirectory(*path_) || !platform::removePath(*path_)) {
        platform::logLine("ERROR: Deleting file failed.");
        return;
    }
    reload();
}

std::optional<std::string> DLConnections::objectForKey(std::string_view key, int32_t index) const {
    // Compared unsigned, so a negative index lands beyond the end.
    uint32_t row = static_cast<uint32_t>(index);
    if (row >= total())
        return std::nullopt;
    if (key == "date") {
        const auto& date = theConnections_[row].date;
        if (!date)
            return std::nullopt;
        return formatDate(*date);
    }
    if (key == "time")
        return row < times_.size() ? std::optional<std::string>(times_[row]) : std::nullopt;
    if (key == "upload")
        return outBytes_[row];
    if (key == "download")
        return inBytes_[row];
    return std::nullopt;
}

std::string DLConnections::bytesInHumanReadableForm(uint64_t bytes) {
    double divisor;
    const char* unit;
    if (bytes <= 0xFFFFF) {
        divisor = 1024.0;
        unit = "KB";
    } else if (bytes <= 0x3FFFFFFF) {
        divisor = 1048576.0;
        unit = "MB";
    } else {
        divisor = 1073741824.0;
        unit = "GB";
    }
    // The quotient goes through single precision before printing: a figure
    // close to a rounding boundary depends on it, and it must read the same as
    // in every window and report Dial Ledger has shown.
    float value = static_cast<float>(static_cast<double>(bytes) / divisor);
    char text[64];
    int length = std::snprintf(text, sizeof text, "%.1f %s", static_cast<double>(value), unit);
    // The tenths digit sits four places from the end ("1.5 KB"); a zero there
    // drops the decimal.
    if (length >= 4 && text[length - 4] == '0')
        std::snprintf(text, sizeof text, "%.0f %s", static_cast<double>(value), unit);
    return text;
}

std::string DLConnections::timeToHMS(double seconds) {
    // Whole seconds, halves away from zero, in 64 bits: a total of many long
    // connections can pass the 68 years a 32-bit count holds.
    double rounded = std::round(seconds);
    int64_t s;
    if (std::isnan(rounded))
        s = 0;
    else if (rounded >= 9.2e18)
        s = INT64_MAX;
    else if (rounded <= -9.2e18)
        s = INT64_MIN;
    else
        s = static_cast<int64_t>(rounded);

    int64_t hours = 0;
    int64_t minutes = 0;
    if (s > 3599) {
        hours = s / 3600;
        s -= hours * 3600;
    }
    if (s > 59) {
        minutes = s / 60;
        s -= minutes * 60;
    }
    return twoDigits(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(s);
}

std::string DLConnections::formatDate(platform::Date date) {
    time_t seconds = static_cast<time_t>(date.seconds);
    struct tm local {};
    if (!localtime_r(&seconds, &local))
        return {};
    char text[64];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d   %H:%M:%S", &local);
    return std::string(text, length);
}
