// The network preferences reader against small preferences files in a private
// system root.
#include "netconfig/DLConfiguration.h"

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Plist.h"
#include "platform/SystemPaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using platform::Dictionary;

namespace {

const std::string kFixtures = std::string(DL_FIXTURES_DIR) + "/netconfig";

std::vector<std::string> keysOf(const Dictionary& dict) {
    return dict.keys();
}

class ConfigurationTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "dl-netconfig-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        unsetenv("DIALLEDGER_SYSROOT");
        std::error_code ec;
        fs::remove_all(root_, ec);
    }

    // Points the reader at a system root and rereads.
    void useRoot(const std::string& root) {
        setenv("DIALLEDGER_SYSROOT", root.c_str(), 1);
        DLConfiguration::reload();
    }

    // The standard fixture, for tests that change one thing of it.
    static Dictionary fixture() {
        auto prefs = platform::readDictionaryFile(kFixtures + "/locations" +
                                                  std::string(platform::kPreferencesPlistPath));
        EXPECT_TRUE(prefs.has_value());
        return prefs.value_or(Dictionary{});
    }

    // Writes preferences into the private root as the ".plist" file and rereads.
    void usePreferences(const Dictionary& prefs) {
        fs::path file = root_ + std::string(platform::kPreferencesPlistPath);
        fs::create_directories(file.parent_path());
        ASSERT_TRUE(platform::writeXmlFile(file.string(), platform::Value(prefs)));
        useRoot(root_);
    }

    void writeRaw(std::string_view bytes) {
        fs::path file = root_ + std::string(platform::kPreferencesPlistPath);
        fs::create_directories(file.parent_path());
        ASSERT_TRUE(platform::writeFileAtomically(file.string(), bytes));
    }

    std::string root_;
};

TEST(PreferencesPath, ChosenByTheMinorDigitOfTheSystemVersion) {
    const std::string xml(platform::kPreferencesXmlPath);
    const std::string plist(platform::kPreferencesPlistPath);
    struct Case {
        std::optional<uint32_t> version;
        std::string path;
    } cases[] = {
        {0x1028, xml},         {0x1020, xml},   {0x1010, xml}, {0x1002, xml}, {0x1030, plist},
        {0x1039, plist},       {0x1045, plist}, {0x2028, xml}, // major not looked at
        {std::nullopt, plist},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DLConfiguration::preferencesPathForSystemVersion(c.version), c.path)
            << std::hex << c.version.value_or(0);
    // No version query on this platform: the ".plist" file is the one read.
    EXPECT_FALSE(DLConfiguration::systemVersion().has_value());
}

TEST_F(ConfigurationTest, ReadsThePlistFileUnderTheSystemRoot) {
    useRoot(kFixtures + "/locations");
    ASSERT_NE(DLConfiguration::networkPreferences(), nullptr);
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), "Office");
    EXPECT_EQ(&DLConfiguration::instance(), &DLConfiguration::instance());
}

TEST_F(ConfigurationTest, NothingLoadedAnswersEmptyWithoutAMessage) {
    struct Case {
        const char* what;
        std::string root;
        std::optional<std::string> bytes;
    } cases[] = {
        {"missing file", root_, std::nullopt},
        // Only the ".xml" file exists: a system of unknown version reads ".plist".
        {"xml only", kFixtures + "/xml-only", std::nullopt},
        {"array root", root_,
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>"},
        {"not a property list", root_, "CurrentSet = /Sets/0"},
        {"cut short", root_, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Sets</key>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.bytes)
            writeRaw(*c.bytes);
        platform::LogCapture log;
        useRoot(c.root);
        EXPECT_EQ(DLConfiguration::networkPreferences(), nullptr);
        EXPECT_EQ(DLConfiguration::configurations(), nullptr);
        EXPECT_EQ(DLConfiguration::activeConfiguration(), nullptr);
        EXPECT_EQ(DLConfiguration::activeConfigurationName(), std::nullopt);
        EXPECT_EQ(DLConfiguration::configurationNamed("Automatic"), nullptr);
        EXPECT_TRUE(DLConfiguration::ports().empty());
        EXPECT_TRUE(DLConfiguration::portsForConfigurationName("Automatic").empty());
        EXPECT_TRUE(DLConfiguration::portsNamesForConfigurationName("Automatic").empty());
        EXPECT_EQ(DLConfiguration::keyForPortName("Modem", "Automatic"), std::nullopt);
        EXPECT_TRUE(log.lines().empty());
    }
}

TEST_F(ConfigurationTest, ActiveLocationFromCurrentSet) {
    struct Case {
        std::optional<std::string> currentSet;
        std::optional<std::string> expected;
    } cases[] = {
        {std::nullopt, "Automatic"},            // no reference: the set "0"
        {"/Sets/0", "Automatic"},               //
        {"/Sets/1", "Automatic"},               // 7 characters: "0" whatever it names
        {"", "Automatic"},                      //
        {"/Sets/1111-2222", "Home"},            // substring of the reference
        {"/Sets/4444-5555-6666", "Home"},       // the second location named Home
        {"/Sets/1111-2222-3333", "Office"},     // "1111-2222" occurs too; the full ID wins
        {"/Sets/7777-8888-9999", "No network"}, //
        {"Setup:/Sets/1111-2222/x", "Home"},    // anywhere inside the reference
        {"/Sets/9999-0000-9999", std::nullopt}, // holds "0", yet "0" is never searched
        {"/Sets/é-unknown", std::nullopt},      //
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.currentSet.value_or("(none)"));
        Dictionary prefs = fixture();
        if (c.currentSet)
            prefs.set("CurrentSet", *c.currentSet);
        else
            prefs.erase("CurrentSet");
        usePreferences(prefs);

        platform::LogCapture log;
        EXPECT_EQ(DLConfiguration::activeConfigurationName(), c.expected);
        if (c.expected) {
            EXPECT_TRUE(log.lines().empty());
        } else {
            EXPECT_EQ(DLConfiguration::activeConfiguration(), nullptr);
            ASSERT_FALSE(log.lines().empty());
            EXPECT_EQ(log.lines().front(), "Error: Active configuration not found");
        }
    }
}

TEST_F(ConfigurationTest, ShortReferenceWithoutSetZeroHasNoActiveLocation) {
    Dictionary prefs = fixture();
    prefs.find("Sets")->asDictionary()->erase("0");
    prefs.set("CurrentSet", "/Sets/0");
    usePreferences(prefs);
    platform::LogCapture log;
    EXPECT_EQ(DLConfiguration::activeConfiguration(), nullptr);
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), std::nullopt);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ConfigurationTest, LocationsByName) {
    useRoot(kFixtures + "/locations");
    const Dictionary* sets = DLConfiguration::configurations();
    ASSERT_NE(sets, nullptr);
    EXPECT_EQ(keysOf(*sets), (std::vector<std::string>{"0", "1111-2222", "1111-2222-3333",
                                                       "4444-5555-6666", "7777-8888-9999"}));

    // Two locations named Home: the first in the file's order.
    EXPECT_EQ(DLConfiguration::configurationNamed("Home"), sets->find("1111-2222")->asDictionary());
    EXPECT_EQ(DLConfiguration::configurationNamed("Office"),
              sets->find("1111-2222-3333")->asDictionary());
    EXPECT_EQ(DLConfiguration::configurationNamed("office"), nullptr);
    EXPECT_EQ(DLConfiguration::configurationNamed("Nowhere"), nullptr);
}

TEST_F(ConfigurationTest, PortsAreServicesOfInterfaceTypeExactlyPPP) {
    useRoot(kFixtures + "/locations");
    // Not Ethernet, not "ppp", not a service without interface type or interface.
    EXPECT_EQ(keysOf(DLConfiguration::ports()),
              (std::vector<std::string>{"S-MODEM", "S-MOBILE", "S-ORPHAN", "S-ISDN-1", "S-ISDN-2",
                                        "S-NONAME"}));
    Dictionary ports = DLConfiguration::ports();
    const Dictionary* modem = ports.find("S-MODEM")->asDictionary();
    ASSERT_NE(modem, nullptr);
    EXPECT_EQ(*modem->find("UserDefinedName")->asString(), "Modem");
}

TEST_F(ConfigurationTest, PortsOfALocation) {
    useRoot(kFixtures + "/locations");
    struct Case {
        const char* location;
        std::vector<std::string> ids;
        std::vector<std::string> names;
    } cases[] = {
        // Ethernet and the non-PPP services of the location are not ports.
        {"Automatic", {"S-MODEM", "S-MOBILE"}, {"Modem", "Mobile"}},
        // A member not among the services is not a port; a port without a
        // name is a port but has no name to list; a name may occur twice.
        {"Office", {"S-MODEM", "S-ISDN-1", "S-ISDN-2", "S-NONAME"}, {"Modem", "ISDN", "ISDN"}},
        {"Home", {"S-MOBILE"}, {"Mobile"}},
        {"No network", {}, {}},
        {"automatic", {}, {}},
        {"Nowhere", {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.location);
        EXPECT_EQ(keysOf(DLConfiguration::portsForConfigurationName(c.location)), c.ids);
        EXPECT_EQ(DLConfiguration::portsNamesForConfigurationName(c.location), c.names);
    }
    // The orphan PPP service is a port of the machine but of no location.
    for (const char* location : {"Automatic", "Home", "Office", "No network"})
        EXPECT_FALSE(DLConfiguration::portsForConfigurationName(location).contains("S-ORPHAN"));
}

TEST_F(ConfigurationTest, ServiceIDOfAPort) {
    useRoot(kFixtures + "/locations");
    struct Case {
        const char* port;
        const char* location;
        std::optional<std::string> id;
    } cases[] = {
        {"Modem", "Automatic", "S-MODEM"},     {"Mobile", "Automatic", "S-MOBILE"},
        {"Modem", "Office", "S-MODEM"},        {"ISDN", "Office", "S-ISDN-1"},  // first of two
        {"Mobile", "Home", "S-MOBILE"},        {"Modem", "Home", std::nullopt}, // first Home only
        {"modem", "Automatic", std::nullopt},  {"Ethernet", "Automatic", std::nullopt},
        {"Orphan", "Automatic", std::nullopt}, {"Modem", "Nowhere", std::nullopt},
        {"", "Office", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DLConfiguration::keyForPortName(c.port, c.location), c.id)
            << c.port << " in " << c.location;
}

TEST_F(ConfigurationTest, AnswersComeFromTheLoadedCopyUntilReload) {
    Dictionary prefs = fixture();
    usePreferences(prefs);
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), "Office");

    prefs.set("CurrentSet", "/Sets/0");
    fs::path file = root_ + std::string(platform::kPreferencesPlistPath);
    ASSERT_TRUE(platform::writeXmlFile(file.string(), platform::Value(prefs)));
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), "Office");

    DLConfiguration::reload();
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), "Automatic");

    fs::remove(file);
    DLConfiguration::reload();
    EXPECT_EQ(DLConfiguration::networkPreferences(), nullptr);
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), std::nullopt);
}

TEST_F(ConfigurationTest, DiagnosticsLogTheActiveLocation) {
    useRoot(kFixtures + "/locations");
    platform::LogCapture log;
    Dictionary services = DLConfiguration::currentServices();
    EXPECT_EQ(keysOf(services),
              (std::vector<std::string>{"S-MODEM", "S-ISDN-1", "S-ISDN-2", "S-NONAME"}));
    for (const auto& [id, value] : services)
        EXPECT_EQ(value, platform::Value(Dictionary{}));
    DLConfiguration::debug();
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"key :S-MODEM", "key :S-ISDN-1",
                                                     "key :S-ISDN-2", "key :S-NONAME", "count: 4",
                                                     "Active configuration is: Office"}));
}

TEST_F(ConfigurationTest, DiagnosticsWithoutAnActiveLocation) {
    Dictionary prefs = fixture();
    prefs.set("CurrentSet", "/Sets/does-not-exist");
    usePreferences(prefs);
    platform::LogCapture log;
    EXPECT_TRUE(DLConfiguration::currentServices().empty());
    DLConfiguration::debug();
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"Error: Active configuration not found", "count: 0",
                                        "Error: Active configuration not found",
                                        "Active configuration is: (null)"}));
}

} // namespace
