// dial-ledger without a window: the command line, and the report of one port
// written through the same model and exporter as the window's export.
#include "viewer/CommandLine.h"

#include "AppTestSupport.h"

#include "platform/SystemPaths.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <sys/wait.h>

using apptest::PrivateTree;
using CommandLine::Options;
using platform::Dictionary;
using platform::Value;

namespace {

Options parse(std::vector<const char*> args) {
    args.insert(args.begin(), "dial-ledger");
    return CommandLine::parse(static_cast<int>(args.size()), args.data());
}

TEST(CommandLineParse, ModesAndErrors) {
    struct Case {
        std::vector<const char*> args;
        Options::Mode mode;
    } cases[] = {
        {{}, Options::Mode::Window},
        {{"-platform", "offscreen"}, Options::Mode::Window},
        {{"--help"}, Options::Mode::Help},
        {{"--version"}, Options::Mode::Version},
        {{"--report", "html", "--location", "Automatic", "--port", "Modem"}, Options::Mode::Report},
        {{"--report=text", "--location=Office", "--port=ISDN", "--output=/tmp/x"},
         Options::Mode::Report},
        {{"--report", "pdf", "--location", "A", "--port", "B"}, Options::Mode::Error},
        {{"--report", "html", "--port", "B"}, Options::Mode::Error},
        {{"--report", "html", "--location", "A"}, Options::Mode::Error},
        {{"--location", "A", "--port", "B"}, Options::Mode::Error},
        {{"--report"}, Options::Mode::Error},
        {{"--frobnicate"}, Options::Mode::Error},
        {{"stray"}, Options::Mode::Error},
        {{"--report", "html", "--location", "A", "--port", "B", "-x"}, Options::Mode::Error},
    };
    for (const auto& c : cases) {
        Options o = parse(c.args);
        std::string joined;
        for (auto* a : c.args)
            joined += std::string(a) + " ";
        EXPECT_EQ(o.mode, c.mode) << joined;
        if (o.mode == Options::Mode::Error) {
            EXPECT_FALSE(o.error.empty()) << joined;
        }
    }
    Options o = parse({"--report=text", "--location=Office", "--port=ISDN", "--output=/tmp/x"});
    EXPECT_EQ(o.format, "text");
    EXPECT_EQ(o.location, "Office");
    EXPECT_EQ(o.port, "ISDN");
    EXPECT_EQ(o.output, std::optional<std::string>("/tmp/x"));
}

class HeadlessReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        // The demo's own network preferences: Automatic (Modem, Mobile,
        // Ethernet) is active, Office has ISDN.
        const std::string prefs = platform::systemPath(platform::kPreferencesPlistPath);
        apptest::fs::create_directories(apptest::fs::path(prefs).parent_path());
        apptest::fs::copy_file(std::string(DL_REPO_DIR) + "/data/demo/preferences.plist", prefs);
        apptest::fs::create_directories(tree.logFolder());
        platform::Array records{apptest::record(1700000000, 3725, 1536, 1024)};
        ASSERT_TRUE(platform::writeXmlFile(tree.logFolder() + "/" + kModem, Value(records)));
    }

    // Runs the real program; its standard output and exit status.
    std::pair<std::string, int> run(const std::string& args) {
        std::string command = std::string("'") + DL_BIN_DIR + "/dial-ledger' " + args + " 2>&1";
        FILE* p = popen(command.c_str(), "r");
        std::string out;
        std::array<char, 4096> buf;
        size_t n;
        while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
            out.append(buf.data(), n);
        int status = pclose(p);
        return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    }

    static constexpr const char* kModem = "3C1D5E7F-1111-4A2B-8C3D-0A1B2C3D4E5F";
    PrivateTree tree;
};

TEST_F(HeadlessReportTest, TextAndHtmlOfAPort) {
    auto [text, status] = run("--report text --location Automatic --port Modem");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(text, "2023-11-14   22:13:20\t01:02:05\t1.5 KB\t1 KB\n"
                    "\nTotal: 1 connections,01:02:05, 1.5 KB down, 1 KB up,\t");

    const std::string file = tree.base() + "/Modem.html";
    auto [out, htmlStatus] =
        run("--report html --location Automatic --port Modem --output '" + file + "'");
    EXPECT_EQ(htmlStatus, 0);
    EXPECT_TRUE(out.empty()) << out;
    const std::string html = apptest::readText(file);
    EXPECT_TRUE(html.starts_with("<html><head><title>Remote Connections</title>")) << html;
    EXPECT_NE(html.find("<tr><td>2023-11-14   22:13:20</td><td>01:02:05</td><td>1.5 KB</td>"
                        "<td>1 KB</td></tr>\n"),
              std::string::npos)
        << html;
}

TEST_F(HeadlessReportTest, UnknownNamesAreOneLineAndStatusTwo) {
    struct Case {
        std::string args;
        int status;
    } cases[] = {
        {"--report text --location Nowhere --port Modem", 2},
        {"--report text --location Office --port Modem", 2},
        {"--report text --location Automatic --port Ethernet", 2},
        {"--report csv --location Automatic --port Modem", 2},
        {"--location Automatic", 2},
    };
    for (const auto& c : cases) {
        auto [out, status] = run(c.args);
        EXPECT_EQ(status, c.status) << c.args;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.args << ": " << out;
        EXPECT_TRUE(out.starts_with("dial-ledger: ")) << out;
    }
}

TEST_F(HeadlessReportTest, AnUnwritableOutputFails) {
    auto [out, status] = run("--report html --location Automatic --port Modem --output '" +
                             tree.base() + "/no/such/folder/r.html'");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(out.starts_with("dial-ledger: cannot write ")) << out;
}

TEST_F(HeadlessReportTest, InProcessReportMatchesTheProgram) {
    Options o = parse({"--report", "text", "--location", "Office", "--port", "ISDN"});
    std::ostringstream out, err;
    EXPECT_EQ(CommandLine::runReport(o, out, err), 0);
    EXPECT_EQ(out.str(), "\nTotal: 0 connections,00:00:00, 0 KB down, 0 KB up,\t");
    EXPECT_TRUE(err.str().empty());
}

TEST(CommandLineHelp, HelpAndVersion) {
    std::ostringstream help, version;
    CommandLine::printHelp(help);
    CommandLine::printVersion(version);
    EXPECT_NE(help.str().find("--report html|text --location NAME --port NAME [--output FILE]"),
              std::string::npos);
    EXPECT_EQ(version.str(), "dial-ledger 0.2\n");
}

} // namespace
