#include "platform/FileSystem.h"
#include "platform/Preferences.h"

#include "TempDir.h"

#include <cstdlib>
#include <gtest/gtest.h>

using namespace platform;

namespace {

class PreferencesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* h = getenv("HOME"))
            oldHome_ = h;
        setenv("HOME", home_.path().c_str(), 1);
    }
    void TearDown() override {
        if (oldHome_)
            setenv("HOME", oldHome_->c_str(), 1);
        else
            unsetenv("HOME");
    }
    testutil::TempDir home_;
    std::optional<std::string> oldHome_;
};

} // namespace

TEST_F(PreferencesTest, SynchronizeWritesTheDomainFileAndAFreshReadSeesIt) {
    Preferences prefs("com.example.dialledger");
    EXPECT_EQ(prefs.filePath(), home_ / "Library/Preferences/com.example.dialledger.plist");
    EXPECT_EQ(prefs.value("Auto start"), nullptr);
    prefs.setValue("Auto start", Value(true));
    prefs.setValue("Daemon version", Value("0.2"));
    ASSERT_TRUE(prefs.synchronize()) << "creates ~/Library and ~/Library/Preferences";

    Preferences again("com.example.dialledger");
    ASSERT_NE(again.value("Auto start"), nullptr);
    EXPECT_EQ(again.value("Auto start")->asBoolean(), true);
    EXPECT_EQ(*again.value("Daemon version")->asString(), "0.2");

    again.removeValue("Auto start");
    ASSERT_TRUE(again.synchronize());
    EXPECT_EQ(Preferences("com.example.dialledger").value("Auto start"), nullptr);
    // Domains are separate files.
    EXPECT_EQ(Preferences("loginwindow").value("Daemon version"), nullptr);
}

TEST_F(PreferencesTest, AnUnreadableFileReadsAsEmptyAndIsReplacedWhole) {
    ASSERT_TRUE(createDirectory(home_ / "Library"));
    ASSERT_TRUE(createDirectory(home_ / "Library/Preferences"));
    ASSERT_TRUE(writeFileAtomically(home_ / "Library/Preferences/loginwindow.plist", "<plist><di"));
    Preferences prefs("loginwindow");
    EXPECT_EQ(prefs.value("AutoLaunchedApplicationDictionary"), nullptr);
    prefs.setValue("AutoLaunchedApplicationDictionary", Value(Array{}));
    ASSERT_TRUE(prefs.synchronize());
    auto stored = readDictionaryFile(prefs.filePath());
    ASSERT_TRUE(stored);
    EXPECT_NE(stored->find("AutoLaunchedApplicationDictionary"), nullptr);
}

TEST_F(PreferencesTest, ADomainNamesOnlyAFileInTheFolder) {
    Preferences prefs("../escape");
    prefs.setValue("k", Value(1));
    EXPECT_FALSE(prefs.synchronize());
    EXPECT_FALSE(pathExists(home_ / "Library/escape.plist"));
}
