// The connection history model, its two formatters and the table data source.
#include "ViewerTestSupport.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Plist.h"
#include "viewer/DLConnections.h"
#include "viewer/DLConnectionsTableSrc.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using viewertest::HomeTest;

namespace {

TEST(BytesInHumanReadableForm, Table) {
    struct Case {
        uint64_t bytes;
        const char* text;
    } cases[] = {
        {0, "0 KB"},
        {51, "0 KB"},
        {52, "0.1 KB"},
        {512, "0.5 KB"},
        {1023, "1 KB"},
        {1024, "1 KB"},
        {1536, "1.5 KB"},
        {10240, "10 KB"}, // a zero tenths digit drops the decimal
        {10292, "10.1 KB"},
        {1048575, "1024 KB"}, // last count in KB
        {1048576, "1 MB"},
        {1572864, "1.5 MB"},
        {1073741823, "1024 MB"}, // last count in MB
        {1073741824, "1 GB"},
        {1610612736, "1.5 GB"},
        {4294967295ull, "4 GB"},
        // Counts past 32 bits: totals of long histories.
        {4294967296ull, "4 GB"},
        {6442450944ull, "6 GB"},
        {10737418240ull, "10 GB"},
        {1099511627776ull, "1024 GB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DLConnections::bytesInHumanReadableForm(c.bytes), c.text) << c.bytes;
}

TEST(TimeToHMS, Table) {
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "00:00:00"},
        {0.49, "00:00:00"},
        {0.5, "00:00:01"},
        {9, "00:00:09"},
        {10, "00:00:10"},
        {59, "00:00:59"},
        {59.5, "00:01:00"},
        {60, "00:01:00"},
        {3599, "00:59:59"},
        {3600, "01:00:00"},
        {3725, "01:02:05"},
        {86399, "23:59:59"},
        {86400, "24:00:00"},
        {360000, "100:00:00"},
        // Beyond what a 32-bit count of seconds holds: no wrap.
        {3000000000.0, "833333:20:00"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DLConnections::timeToHMS(c.seconds), c.text) << c.seconds;
}

TEST(FormatDate, LocalTime) {
    viewertest::setTimeZone("UTC");
    EXPECT_EQ(DLConnections::formatDate({1709280900}), "2024-03-01   08:15:00");
    viewertest::setTimeZone("CET-1");
    EXPECT_EQ(DLConnections::formatDate({1709280900}), "2024-03-01   09:15:00");
    viewertest::setTimeZone("UTC");
    EXPECT_EQ(DLConnections::formatDate({0}), "1970-01-01   00:00:00");
}

void expectEmpty(const DLConnections& model) {
    EXPECT_EQ(model.total(), 0u);
    EXPECT_EQ(model.totalTime(), "00:00:00");
    EXPECT_EQ(model.totalIn(), "0 KB");
    EXPECT_EQ(model.totalOut(), "0 KB");
    for (const char* key : {"date", "time", "download", "upload"})
        EXPECT_EQ(model.objectForKey(key, 0), std::nullopt) << key;
}

TEST_F(HomeTest, SharedModelStartsWithNoLog) {
    DLConnections& shared = DLConnections::sharedInstance();
    EXPECT_EQ(&shared, &DLConnections::sharedInstance());
    EXPECT_EQ(shared.path(), std::nullopt);
    expectEmpty(shared);
}

TEST_F(HomeTest, LogsThatReadAsAnEmptyHistory) {
    installLog("empty.plist", "S-EMPTY");
    installLog("dictionary-root.plist", "S-DICT");
    installLog("half-written.plist", "S-HALF");
    ASSERT_TRUE(platform::writeFileAtomically(folder_ + "/S-ZERO", ""));
    std::filesystem::create_directory(folder_ + "/S-FOLDER");

    for (std::optional<std::string> key :
         {std::optional<std::string>(), std::optional<std::string>("S-MISSING"),
          std::optional<std::string>("S-EMPTY"), std::optional<std::string>("S-DICT"),
          std::optional<std::string>("S-HALF"), std::optional<std::string>("S-ZERO"),
          std::optional<std::string>("S-FOLDER")}) {
        SCOPED_TRACE(key.value_or("(no key)"));
        platform::LogCapture log;
        DLConnections model;
        installLog("small.plist", "S-FULL");
        model.setCurrentWithKey("S-FULL");
        ASSERT_EQ(model.total(), 3u);
        // Nothing of the previous log carries over.
        model.setCurrentWithKey(key);
        expectEmpty(model);
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST_F(HomeTest, LogPathIsTheServiceIDInTheApplicationSupportFolder) {
    EXPECT_EQ(DLConnections::logFolder(), home_ + "/Library/Application Support/Dial Ledger");
    DLConnections model;
    model.setCurrentWithKey("S-1");
    EXPECT_EQ(model.path(), home_ + "/Library/Application Support/Dial Ledger/S-1");
    model.setCurrentWithKey(std::nullopt);
    EXPECT_EQ(model.path(), std::nullopt);
}

TEST_F(HomeTest, KeysThatWouldLeaveTheLogFolderSelectNoLog) {
    // A log-shaped file outside the folder must neither show nor be deleted.
    std::string outside = home_ + "/Library/Application Support/victim";
    std::filesystem::copy_file(viewertest::kFixtures + "/small.plist", outside);
    DLConnections model;
    for (const char* key : {"../victim", "", ".", "..", "a/b", "/etc/passwd"}) {
        SCOPED_TRACE(key);
        model.setCurrentWithKey(std::string(key));
        EXPECT_EQ(model.path(), std::nullopt);
        expectEmpty(model);
        model.deleteAll();
    }
    EXPECT_TRUE(platform::pathExists(outside));
    EXPECT_TRUE(platform::isDirectory(folder_));
}

TEST_F(HomeTest, OneRecord) {
    installLog("one.plist", "S-ONE");
    DLConnections model;
    model.setCurrentWithKey("S-ONE");
    ASSERT_EQ(model.total(), 1u);
    EXPECT_EQ(model.objectForKey("date", 0), "2023-12-31   23:59:59");
    EXPECT_EQ(model.objectForKey("time", 0), "100:00:00");
    EXPECT_EQ(model.objectForKey("download", 0), "0.5 KB");
    EXPECT_EQ(model.objectForKey("upload", 0), "1024 KB");
    EXPECT_EQ(model.totalTime(), "100:00:00");
    EXPECT_EQ(model.totalIn(), "0.5 KB");
    EXPECT_EQ(model.totalOut(), "1024 KB");
}

TEST_F(HomeTest, RowsInFileOrderWithTotals) {
    installLog("small.plist", "S-SMALL");
    DLConnections model;
    model.setCurrentWithKey("S-SMALL");
    ASSERT_EQ(model.total(), 3u);
    const char* expected[3][4] = {
        {"2024-03-01   08:15:00", "01:02:05", "1.5 KB", "10 KB"},
        {"2024-03-02   21:00:05", "00:00:59", "1.5 MB", "0.1 KB"},
        {"2024-03-03   00:00:00", "23:59:59", "1 GB", "0 KB"},
    };
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(model.objectForKey("date", row), expected[row][0]);
        EXPECT_EQ(model.objectForKey("time", row), expected[row][1]);
        EXPECT_EQ(model.objectForKey("download", row), expected[row][2]);
        EXPECT_EQ(model.objectForKey("upload", row), expected[row][3]);
    }
    EXPECT_EQ(model.totalTime(), "25:03:03");
    EXPECT_EQ(model.totalIn(), "1 GB");
    EXPECT_EQ(model.totalOut(), "10.1 KB");
    EXPECT_EQ(model.totalInBytes(), 1536u + 1572864u + 1073741824u);

    // Indices out of range, a negative one included, and unknown column keys.
    for (int32_t index : {3, 4, -1, INT32_MIN, INT32_MAX})
        for (const char* key : {"date", "time", "download", "upload"})
            EXPECT_EQ(model.objectForKey(key, index), std::nullopt) << key << " " << index;
    for (const char* key : {"index", "Date", "TIME", "", "dat"})
        EXPECT_EQ(model.objectForKey(key, 0), std::nullopt) << key;
}

TEST_F(HomeTest, TotalsAreSummedIn64Bits) {
    // Three connections of 2 GiB down and 3 GiB up: a 32-bit sum would read
    // 2 GB and 1 GB.
    installLog("large-counts.plist", "S-LARGE");
    DLConnections model;
    model.setCurrentWithKey("S-LARGE");
    ASSERT_EQ(model.total(), 3u);
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(model.objectForKey("download", row), "2 GB");
        EXPECT_EQ(model.objectForKey("upload", row), "3 GB");
        EXPECT_EQ(model.connections()[row].inBytes, 2147483648u);
    }
    EXPECT_EQ(model.totalInBytes(), 6442450944ull);
    EXPECT_EQ(model.totalOutBytes(), 9663676416ull);
    EXPECT_EQ(model.totalIn(), "6 GB");
    EXPECT_EQ(model.totalOut(), "9 GB");
    EXPECT_EQ(model.totalTime(), "06:00:00");
}

TEST_F(HomeTest, MissingOrMistypedFieldsReadAsZero) {
    installLog("odd-records.plist", "S-ODD");
    DLConnections model;
    model.setCurrentWithKey("S-ODD");
    ASSERT_EQ(model.total(), 6u);
    struct Row {
        std::optional<std::string> date;
        const char* time;
        const char* down;
        const char* up;
    } rows[] = {
        {std::nullopt, "00:00:10", "2 KB", "4 KB"},            // no date
        {std::nullopt, "00:00:00", "0 KB", "0 KB"},            // every value of another kind
        {"2024-03-01   08:15:00", "00:00:00", "0 KB", "0 KB"}, // negative counts, no outBytes
        {std::nullopt, "00:00:00", "0 KB", "0 KB"},            // not a dictionary
        {std::nullopt, "00:00:00", "0 KB", "0 KB"},            // empty dictionary
        {"2024-03-01   09:00:00", "00:00:30", "1 KB", "2 KB"}, // extra key ignored
    };
    for (int row = 0; row < 6; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(model.objectForKey("date", row), rows[row].date);
        EXPECT_EQ(model.objectForKey("time", row), rows[row].time);
        EXPECT_EQ(model.objectForKey("download", row), rows[row].down);
        EXPECT_EQ(model.objectForKey("upload", row), rows[row].up);
    }
    EXPECT_EQ(model.totalTime(), "00:00:40");
    EXPECT_EQ(model.totalIn(), "3 KB");
    EXPECT_EQ(model.totalOut(), "6 KB");
}

TEST_F(HomeTest, ManyRecordsAndReloadSeesAppendedOnes) {
    platform::Array log;
    for (int i = 0; i < 1000; ++i) {
        platform::Dictionary record;
        record.set("date", platform::Date{1700000000 + int64_t(i) * 3600});
        record.set("timeElapsed", uint32_t(i));
        record.set("inBytes", uint32_t(1024 * i));
        record.set("outBytes", uint32_t(512));
        log.push_back(std::move(record));
    }
    std::string path = folder_ + "/S-MANY";
    ASSERT_TRUE(platform::writeXmlFile(path, platform::Value(log)));

    DLConnections model;
    model.setCurrentWithKey("S-MANY");
    ASSERT_EQ(model.total(), 1000u);
    EXPECT_EQ(model.objectForKey("time", 999), "00:16:39");
    EXPECT_EQ(model.objectForKey("download", 999), "999 KB");
    EXPECT_EQ(model.objectForKey("date", 0), "2023-11-14   22:13:20");
    EXPECT_EQ(model.totalTime(), DLConnections::timeToHMS(999.0 * 1000 / 2));
    EXPECT_EQ(model.totalInBytes(), 1024ull * 999 * 1000 / 2);
    EXPECT_EQ(model.totalOut(), "500 KB");

    // The model shows the log as at the last reload, and a reload rereads it whole.
    platform::Dictionary newest;
    newest.set("date", platform::Date{1800000000});
    newest.set("timeElapsed", uint32_t(61));
    newest.set("inBytes", uint32_t(1048576));
    newest.set("outBytes", uint32_t(0));
    log.push_back(std::move(newest));
    ASSERT_TRUE(platform::writeXmlFile(path, platform::Value(log)));
    EXPECT_EQ(model.total(), 1000u);
    model.reload();
    ASSERT_EQ(model.total(), 1001u);
    EXPECT_EQ(model.objectForKey("time", 1000), "00:01:01");
    EXPECT_EQ(model.objectForKey("download", 1000), "1 MB");
}

TEST_F(HomeTest, DeleteAllRemovesTheLogAndEmptiesTheHistory) {
    std::string path = installLog("small.plist", "S-DEL");
    std::string other = installLog("one.plist", "S-KEEP");
    DLConnections model;
    model.setCurrentWithKey("S-DEL");
    ASSERT_EQ(model.total(), 3u);

    platform::LogCapture log;
    model.deleteAll();
    EXPECT_FALSE(platform::pathExists(path));
    EXPECT_TRUE(platform::pathExists(other));
    expectEmpty(model);

    // No file: nothing happens, nothing is logged.
    model.deleteAll();
    DLConnections none;
    none.deleteAll();
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(HomeTest, DeleteAllRefusesAFolderInTheLogsPlace) {
    std::string folder = folder_ + "/S-FOLDER";
    std::filesystem::create_directory(folder);
    ASSERT_TRUE(platform::writeFileAtomically(folder + "/keep", "x"));
    DLConnections model;
    model.setCurrentWithKey("S-FOLDER");

    platform::LogCapture log;
    model.deleteAll();
    EXPECT_EQ(log.lines(), std::vector<std::string>{"ERROR: Deleting file failed."});
    EXPECT_TRUE(platform::pathExists(folder + "/keep"));
    expectEmpty(model);
}

TEST_F(HomeTest, TableSourceRowsAndCells) {
    installLog("small.plist", "S-SMALL");
    DLConnections model;
    DLConnectionsTableSrc source(model);
    EXPECT_EQ(source.numberOfRowsInTableView(), 0u);
    EXPECT_EQ(source.tableView("index", 0), "");

    model.setCurrentWithKey("S-SMALL");
    EXPECT_EQ(source.numberOfRowsInTableView(), 3u);
    struct Case {
        const char* column;
        int32_t row;
        const char* text;
    } cases[] = {
        {"index", 0, "1"},       {"index", 2, "3"},       {"date", 0, "2024-03-01   08:15:00"},
        {"time", 1, "00:00:59"}, {"download", 2, "1 GB"}, {"upload", 0, "10 KB"},
        {"unknown", 0, ""},      {"Index", 0, ""},        {"index", 3, ""},
        {"date", 3, ""},         {"index", -1, ""},       {"time", INT32_MIN, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(source.tableView(c.column, c.row), c.text) << c.column << " " << c.row;

    // The default data source follows the shared model.
    DLConnectionsTableSrc shared;
    EXPECT_EQ(&shared.connections(), &DLConnections::sharedInstance());
}

TEST_F(HomeTest, TableSourceShowsAnEmptyCellForARecordWithoutDate) {
    installLog("odd-records.plist", "S-ODD");
    DLConnections model;
    model.setCurrentWithKey("S-ODD");
    DLConnectionsTableSrc source(model);
    EXPECT_EQ(source.tableView("date", 0), "");
    EXPECT_EQ(source.tableView("index", 0), "1");
    EXPECT_EQ(source.tableView("date", 2), "2024-03-01   08:15:00");
}

} // namespace
