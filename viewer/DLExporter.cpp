#include "viewer/DLExporter.h"

#include "platform/FileSystem.h"

#include <cstdio>

namespace {

DLExporter::Beep& beepFunction() {
    static DLExporter::Beep beep;
    return beep;
}

// Decodes one UTF-8 sequence at text[i]; advances i. Anything malformed
// (stray continuation byte, cut-short or overlong sequence, surrogate, beyond
// U+10FFFF) takes one byte and reads as U+FFFD.
char32_t decodeUTF8(std::string_view text, size_t& i) {
    constexpr char32_t kReplacement = 0xFFFD;
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t length;
    char32_t codePoint;
    char32_t minimum;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + length > text.size()) {
        ++i;
        return kReplacement;
    }
    for (size_t k = 1; k < length; ++k) {
        unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return kReplacement;
        }
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
        ++i;
        return kReplacement;
    }
    i += length;
    return codePoint;
}

// One report row: the model's four cells in report order (date, time, bytes
// received, bytes sent), each as the window shows it, between `open`,
// `separator` and `close`.
void appendRow(std::string& out, const DLConnections& connections, uint32_t row,
               std::string_view open, std::string_view separator, std::string_view close) {
    const int32_t index = static_cast<int32_t>(row);
    out += open;
    bool first = true;
    for (const char* column : {"date", "time", "download", "upload"}) {
        if (!first)
            out += separator;
        first = false;
        out += connections.objectForKey(column, index).value_or(std::string());
    }
    out += close;
}

} // namespace

std::string DLExporter::escapeHTML(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        switch (c) {
        case '&':
            out += "&amp;";
            ++i;
            continue;
        case '<':
            out += "&lt;";
            ++i;
            continue;
        case '>':
            out += "&gt;";
            ++i;
            continue;
        case '"':
            out += "&quot;";
            ++i;
            continue;
        default:
            break;
        }
        if (static_cast<unsigned char>(c) < 0x80) {
            out += c;
            ++i;
            continue;
        }
        // The document declares iso-8859-1; a reference by code point reads
        // right under any character set and keeps the file 7-bit.
        char32_t codePoint = decodeUTF8(text, i);
        out += "&#" + std::to_string(static_cast<uint32_t>(codePoint)) + ";";
    }
    return out;
}

std::string DLExporter::htmlReport(const DLConnections& connections, std::string_view portName,
                                   std::string_view confName) {
    uint32_t total = connections.total();
    std::string html;
    html.reserve(1024 + size_t(total) * 120);

    html += "<html><head><title>Remote Connections</title><meta http-equiv=\"content-type\" "
            "content=\"text/html;charset=iso-8859-1\"></head><center><br><br>";
    html += "<b><font size=\"5\">Remote connections report<br><font size=\"4\">";
    if (confName == "Automatic") {
        html += "on \"";
    } else {
        html += "Configuration: \"";
        html += escapeHTML(confName);
        html += "\" Port: \"";
    }
    html += escapeHTML(portName);
    html += "\"</b><br><br>";
    html += "<table cellpadding=\"2\" cellspacing=\"0\" border=\"1\" width=\"539\">\n"
            "<tr bgcolor=\"black\"><td><font color=\"white\"><b>Date</b></font></td>"
            "<td><font color=\"white\"><b>Time</b></font></td>"
            "<td><font color=\"white\"><b>Down</b></font></td>"
            "<td><font color=\"white\"><b>Up</b></font></td>";

    for (uint32_t i = 0; i < total; ++i)
        appendRow(html, connections, i, "<tr><td>", "</td><td>", "</td></tr>\n");

    html += "<tr><td><b>Total: ";
    html += std::to_string(total);
    html += " connections</b></td><td><b>";
    html += connections.totalTime();
    html += "</b><td><b>";
    html += connections.totalIn();
    html += "</b></td><td><b>";
    html += connections.totalOut();
    html += "</b></td>";

    html += "</table><br><br><font size=\"1\">Created by Dial Ledger v0.2<br></center></html>";
    return html;
}

std::string DLExporter::textReport(const DLConnections& connections) {
    uint32_t total = connections.total();
    std::string text;
    text.reserve(256 + size_t(total) * 48);
    for (uint32_t i = 0; i < total; ++i)
        appendRow(text, connections, i, "", "\t", "\n");
    text += "\nTotal: ";
    text += std::to_string(total);
    text += " connections,";
    text += connections.totalTime();
    text += ", ";
    text += connections.totalIn();
    text += " down, ";
    text += connections.totalOut();
    text += " up,\t";
    return text;
}

bool DLExporter::writeReport(const std::string& path, std::string_view document) {
    if (platform::writeFileAtomically(path, document))
        return true;
    beep();
    return false;
}

bool DLExporter::exportHTML(const std::string& path, const std::string& portName,
                            const std::string& confName) {
    return writeReport(path, htmlReport(DLConnections::sharedInstance(), portName, confName));
}

bool DLExporter::exportText(const std::string& path) {
    return writeReport(path, textReport(DLConnections::sharedInstance()));
}

DLExporter::Beep DLExporter::setBeep(Beep beep) {
    Beep previous = std::move(beepFunction());
    beepFunction() = std::move(beep);
    return previous;
}

void DLExporter::beep() {
    if (const Beep& installed = beepFunction()) {
        installed();
        return;
    }
    std::fputs("\a", stderr);
    std::fflush(stderr);
}
