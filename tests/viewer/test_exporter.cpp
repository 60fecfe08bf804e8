// The HTML and text reports, byte for byte, and how an export is written.
#include "ViewerTestSupport.h"

#include "platform/FileSystem.h"
#include "viewer/DLConnections.h"
#include "viewer/DLExporter.h"

#include <gtest/gtest.h>

#include <string>

using viewertest::fixtureText;
using viewertest::HomeTest;

namespace {

class ExporterTest : public HomeTest {
protected:
    void SetUp() override {
        HomeTest::SetUp();
        previous_ = DLExporter::setBeep([this] { ++beeps_; });
    }
    void TearDown() override {
        DLExporter::setBeep(std::move(previous_));
        DLConnections::sharedInstance().setCurrentWithKey(std::nullopt);
        HomeTest::TearDown();
    }

    // The shared model, showing a fixture log.
    DLConnections& show(const std::string& fixture) {
        installLog(fixture, "S-REPORT");
        DLConnections& model = DLConnections::sharedInstance();
        model.setCurrentWithKey("S-REPORT");
        return model;
    }

    std::string readBack(const std::string& path) {
        std::string bytes;
        EXPECT_TRUE(platform::readFile(path, bytes)) << path;
        return bytes;
    }

    int beeps_ = 0;
    DLExporter::Beep previous_;
};

bool isSevenBit(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

TEST_F(ExporterTest, ReportsOfAnEmptyHistory) {
    DLConnections& model = DLConnections::sharedInstance();
    model.setCurrentWithKey(std::string("S-NONE"));
    EXPECT_EQ(DLExporter::htmlReport(model, "Modem", "Automatic"),
              fixtureText("empty-report.html"));
    EXPECT_EQ(DLExporter::textReport(model), fixtureText("empty-report.txt"));
}

TEST_F(ExporterTest, ReportsOfASmallHistory) {
    DLConnections& model = show("small.plist");
    EXPECT_EQ(DLExporter::htmlReport(model, "Modem", "Office"), fixtureText("small-report.html"));
    EXPECT_EQ(DLExporter::textReport(model), fixtureText("small-report.txt"));
}

TEST_F(ExporterTest, ExportWritesTheFilesAndReplacesAnOldOne) {
    show("small.plist");
    std::string html = home_ + "/Connections.html";
    std::string text = home_ + "/Connections.txt";
    ASSERT_TRUE(platform::writeFileAtomically(html, std::string(5000, 'x')));

    EXPECT_TRUE(DLExporter::exportHTML(html, "Modem", "Office"));
    EXPECT_TRUE(DLExporter::exportText(text));
    EXPECT_EQ(readBack(html), fixtureText("small-report.html"));
    EXPECT_EQ(readBack(text), fixtureText("small-report.txt"));
    EXPECT_EQ(beeps_, 0);
}

TEST_F(ExporterTest, AFileThatCannotBeWrittenBeeps) {
    DLConnections& model = show("small.plist");
    std::string nowhere = home_ + "/no such folder/Connections.html";
    EXPECT_FALSE(DLExporter::exportHTML(nowhere, "Modem", "Office"));
    EXPECT_EQ(beeps_, 1);
    EXPECT_FALSE(DLExporter::exportText(home_ + "/no such folder/Connections.txt"));
    EXPECT_EQ(beeps_, 2);
    // A folder in the way of the file.
    EXPECT_FALSE(DLExporter::exportHTML(home_, "Modem", "Office"));
    EXPECT_EQ(beeps_, 3);
    EXPECT_FALSE(platform::pathExists(home_ + "/no such folder"));
    EXPECT_TRUE(platform::isDirectory(home_));
    // The history is untouched.
    EXPECT_EQ(model.total(), 3u);
}

TEST_F(ExporterTest, LocationHeading) {
    DLConnections& model = DLConnections::sharedInstance();
    struct Case {
        const char* location;
        const char* heading;
    } cases[] = {
        {"Automatic", "<font size=\"4\">on \"Modem\"</b>"},
        {"automatic", "<font size=\"4\">Configuration: \"automatic\" Port: \"Modem\"</b>"},
        {"Automatic ", "<font size=\"4\">Configuration: \"Automatic \" Port: \"Modem\"</b>"},
        {"Office", "<font size=\"4\">Configuration: \"Office\" Port: \"Modem\"</b>"},
        {"", "<font size=\"4\">Configuration: \"\" Port: \"Modem\"</b>"},
    };
    for (const auto& c : cases) {
        std::string html = DLExporter::htmlReport(model, "Modem", c.location);
        EXPECT_NE(html.find(c.heading), std::string::npos) << c.location << "\n" << html;
    }
}

TEST_F(ExporterTest, NamesCannotInjectMarkup) {
    DLConnections& model = show("small.plist");
    std::string html = DLExporter::htmlReport(model, "<b>x", "A&B \"quoted\" <script>");
    EXPECT_NE(html.find("Configuration: \"A&amp;B &quot;quoted&quot; &lt;script&gt;\" Port: "
                        "\"&lt;b&gt;x\"</b>"),
              std::string::npos)
        << html;
    EXPECT_EQ(html.find("<b>x"), std::string::npos);
    EXPECT_EQ(html.find("<script>"), std::string::npos);

    html = DLExporter::htmlReport(model, "a&amp;b", "Automatic");
    EXPECT_NE(html.find("on \"a&amp;amp;b\"</b>"), std::string::npos);
}

TEST(EscapeHTML, Table) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"Modem", "Modem"},
        {"", ""},
        {"<b>x", "&lt;b&gt;x"},
        {"R&D \"2\"", "R&amp;D &quot;2&quot;"},
        {"it's", "it's"},
        {"Caf\xC3\xA9", "Caf&#233;"},                     // é, two bytes
        {"\xE2\x82\xAC 5", "&#8364; 5"},                  // €, three bytes
        {"\xF0\x9F\x93\x9E", "&#128222;"},                // a telephone receiver, four bytes
        {"\xE6\x97\xA5\xE6\x9C\xAC", "&#26085;&#26412;"}, // two characters
        {"a\xE9z", "a&#65533;z"},                         // Latin-1 byte, not UTF-8
        {"\xC3", "&#65533;"},                             // cut short
        {"\xC0\xAF", "&#65533;&#65533;"},                 // overlong "/"
        {"\xED\xA0\x80", "&#65533;&#65533;&#65533;"},     // a surrogate
        {"\xF4\x90\x80\x80", "&#65533;&#65533;&#65533;&#65533;"}, // beyond U+10FFFF
        {"\x80x", "&#65533;x"},                                   // stray continuation byte
    };
    for (const auto& c : cases)
        EXPECT_EQ(DLExporter::escapeHTML(c.in), c.out) << c.in;
}

TEST_F(ExporterTest, NamesOutsideASCIIKeepTheHTMLSevenBit) {
    show("small.plist");
    std::string path = home_ + "/report.html";
    std::string location = "B\xC3\xBCro M\xC3\xBCnchen";
    std::string port = "Mod\xC3\xA9m \xF0\x9F\x93\x9E \xFF";
    ASSERT_TRUE(DLExporter::exportHTML(path, port, location));
    std::string html = readBack(path);
    EXPECT_TRUE(isSevenBit(html));
    EXPECT_NE(html.find("Configuration: \"B&#252;ro M&#252;nchen\" Port: "
                        "\"Mod&#233;m &#128222; &#65533;\"</b>"),
              std::string::npos)
        << html;
    EXPECT_EQ(beeps_, 0);
}

TEST_F(ExporterTest, ARecordWithoutDateGivesAnEmptyDateCell) {
    DLConnections& model = show("odd-records.plist");
    std::string html = DLExporter::htmlReport(model, "Modem", "Automatic");
    EXPECT_NE(html.find("<tr><td></td><td>00:00:10</td><td>2 KB</td><td>4 KB</td></tr>\n"),
              std::string::npos);
    std::string text = DLExporter::textReport(model);
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "\t00:00:10\t2 KB\t4 KB\n");
    EXPECT_NE(text.find("\nTotal: 6 connections,00:00:40, 3 KB down, 6 KB up,\t"),
              std::string::npos);
}

TEST_F(ExporterTest, LargeTotalsInTheReports) {
    DLConnections& model = show("large-counts.plist");
    std::string html = DLExporter::htmlReport(model, "Modem", "Office");
    EXPECT_NE(html.find("<tr><td><b>Total: 3 connections</b></td><td><b>06:00:00</b><td><b>"
                        "6 GB</b></td><td><b>9 GB</b></td></table>"),
              std::string::npos);
    EXPECT_NE(DLExporter::textReport(model).find("Total: 3 connections,06:00:00, 6 GB down, "
                                                 "9 GB up,\t"),
              std::string::npos);
}

TEST_F(ExporterTest, DatesFollowTheLocalTimeZone) {
    viewertest::setTimeZone("CET-1");
    DLConnections& model = show("small.plist");
    std::string text = DLExporter::textReport(model);
    EXPECT_EQ(text.substr(0, text.find('\n')), "2024-03-01   09:15:00\t01:02:05\t1.5 KB\t10 KB");
}

} // namespace
