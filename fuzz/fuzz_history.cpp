// A connection log, as any bytes, through the history model and both report
// exports. The log file is the input itself, so the seeds are real logs; the
// port and location names of the report are cut from the input's ends.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzSupport.h"
#include "platform/FileSystem.h"
#include "platform/Plist.h"
#include "viewer/DLConnections.h"
#include "viewer/DLExporter.h"

namespace {

constexpr std::string_view kServiceID = "5D1C3F7A-FUZZ-4000-8000-000000000001";

struct Setup {
    std::string logFile;
    std::string htmlFile;
    std::string textFile;
    Setup() {
        const auto& root = fuzzsupport::PrivateRoot::instance();
        const std::string folder = DLConnections::logFolder();
        FUZZ_CHECK(folder.rfind(root.home(), 0) == 0, "the log folder is outside the private home");
        std::filesystem::create_directories(folder);
        logFile = folder + "/" + std::string(kServiceID);
        htmlFile = root.path() + "/report.html";
        textFile = root.path() + "/report.txt";
        // A failed export sounds the beep; a report into our own folder must not fail.
        DLExporter::setBeep([] { FUZZ_CHECK(false, "an export into a writable folder failed"); });
    }
};

std::string fileText(const std::string& path) {
    std::string text;
    FUZZ_CHECK(platform::readFile(path, text), "cannot read an exported report");
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Setup setup;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzzsupport::writeBytes(setup.logFile, bytes);

    DLConnections& model = DLConnections::sharedInstance();
    model.setCurrentWithKey(std::string(kServiceID));

    // The model shows exactly the records of an array log, and nothing else.
    const auto log = platform::readArrayFile(setup.logFile);
    FUZZ_CHECK(model.total() == (log ? log->size() : 0), "the model lost or invented records");

    uint64_t in = 0, out = 0;
    for (const auto& record : model.connections()) {
        in += record.inBytes;
        out += record.outBytes;
    }
    FUZZ_CHECK(in == model.totalInBytes() && out == model.totalOutBytes(),
               "the totals are not the sums of the records");

    static const char* const kColumns[] = {"date", "time", "download", "upload", "other"};
    const int32_t total = static_cast<int32_t>(model.total());
    for (int32_t row : {-1, 0, total / 2, total - 1, total, INT32_MIN}) {
        for (const char* column : kColumns) {
            const auto cell = model.objectForKey(column, row);
            if (row < 0 || row >= total || std::string_view(column) == "other")
                FUZZ_CHECK(!cell, "a cell outside the table");
        }
    }
    (void)model.totalTime();
    (void)model.totalIn();
    (void)model.totalOut();

    const std::string_view portName = bytes.substr(size > 24 ? size - 24 : 0);
    const std::string_view confName =
        (size & 1) ? std::string_view("Automatic") : bytes.substr(0, std::min<size_t>(size, 24));

    const std::string html = DLExporter::htmlReport(model, portName, confName);
    for (unsigned char c : html)
        FUZZ_CHECK(c < 0x80, "the HTML report is not 7-bit");
    const std::string text = DLExporter::textReport(model);

    const std::string port(portName), conf(confName);
    FUZZ_CHECK(DLExporter::exportHTML(setup.htmlFile, port, conf), "the HTML export failed");
    FUZZ_CHECK(DLExporter::exportText(setup.textFile), "the text export failed");
    FUZZ_CHECK(fileText(setup.htmlFile) == html, "the HTML file is not the report");
    FUZZ_CHECK(fileText(setup.textFile) == text, "the text file is not the report");
    return 0;
}
