// Report export: the history the model currently holds, as an HTML document or
// as tab-separated text. The exporter formats nothing itself apart from the
// number of connections: every date, duration and byte count is the model's
// text, so reports and window always agree.
#pragma once

#include "viewer/DLConnections.h"

#include <functional>
#include <string>
#include <string_view>

class DLExporter {
public:
    // Writes the HTML report of the shared model to the path, replacing any file
    // there. A file that cannot be written sounds the beep; false then.
    static bool exportHTML(const std::string& path, const std::string& portName,
                           const std::string& confName);
    // The same for the text report.
    static bool exportText(const std::string& path);

    // The documents themselves, for the headless report and for writing. The
    // HTML document is 7-bit: names are escaped and every character outside
    // ASCII becomes a numeric character reference.
    static std::string htmlReport(const DLConnections& connections, std::string_view portName,
                                  std::string_view confName);
    static std::string textReport(const DLConnections& connections);

    // Text put into the HTML document: "&", "<", ">" and '"' become character
    // references, and so does every character outside 7-bit ASCII (by its code
    // point; a byte that is not valid UTF-8 becomes U+FFFD).
    static std::string escapeHTML(std::string_view text);

    // Writes a document; a failure sounds the beep.
    static bool writeReport(const std::string& path, std::string_view document);

    // The beep a failed export sounds. The window installs the toolkit's beep;
    // tests install their own to observe it. Returns the previous one; an empty
    // function restores the default (a bell on standard error).
    using Beep = std::function<void()>;
    static Beep setBeep(Beep beep);
    static void beep();
};
