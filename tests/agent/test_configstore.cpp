#include "TempRoot.h"

#include "platform/ConfigStore.h"
#include "platform/RunLoop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <unistd.h>

using platform::Array;
using platform::ConfigStore;
using platform::Dictionary;
using platform::Value;
using namespace std::chrono_literals;

namespace {

const std::string kIPv4(platform::kGlobalIPv4Key);
const std::string kInterfaces(platform::kInterfaceStateKey);

std::vector<std::string> serviceOrder(const ConfigStore& store) {
    std::vector<std::string> ids;
    auto v = store.copyValue(kIPv4);
    if (!v || !v->asDictionary())
        return ids;
    const Value* order = v->asDictionary()->find("ServiceOrder");
    for (const Value& id : *order->asArray())
        ids.push_back(*id.asString());
    return ids;
}

struct Recorder {
    std::vector<std::vector<std::string>> calls;
    ConfigStore::Callback callback() {
        return [this](ConfigStore&, const std::vector<std::string>& keys, void*) {
            calls.push_back(keys);
        };
    }
};

class ConfigStoreTest : public ::testing::Test {
protected:
    TempRoot root;
};

} // namespace

TEST_F(ConfigStoreTest, DerivesTheSetupKeysOfTheActiveSet) {
    root.installPreferences();
    auto store = ConfigStore::create("test", nullptr);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->preferencesPath(), root.preferencesFile());

    EXPECT_EQ(serviceOrder(*store),
              (std::vector<std::string>{"SVC-MODEM", "SVC-ETH", "SVC-PPPOE"}));

    auto modem = store->copyValue(platform::servicePPPKey("SVC-MODEM"));
    ASSERT_TRUE(modem && modem->asDictionary());
    const Value* remote = modem->asDictionary()->find("CommRemoteAddress");
    ASSERT_TRUE(remote);
    EXPECT_EQ(*remote->asString(), "5551234");

    // A PPP service without a PPP dictionary still has the key, empty.
    auto pppoe = store->copyValue(platform::servicePPPKey("SVC-PPPOE"));
    ASSERT_TRUE(pppoe && pppoe->asDictionary());
    EXPECT_TRUE(pppoe->asDictionary()->empty());

    // Not PPP, in another set, unknown, or not a key the store knows.
    EXPECT_FALSE(store->copyValue(platform::servicePPPKey("SVC-ETH")));
    EXPECT_FALSE(store->copyValue(platform::servicePPPKey("SVC-OFFICE")));
    EXPECT_FALSE(store->copyValue(platform::servicePPPKey("NOPE")));
    EXPECT_FALSE(store->copyValue("Setup:/Network/Service//PPP"));
    EXPECT_FALSE(store->copyValue("State:/Network/Global/IPv4"));
}

TEST_F(ConfigStoreTest, ServiceOrderFallsBackToTheSetsServicesInFileOrder) {
    root.installPreferences("OFFICE-SET");
    auto store = ConfigStore::create("test", nullptr);
    EXPECT_EQ(serviceOrder(*store), (std::vector<std::string>{"SVC-OFFICE", "SVC-ETH"}));
    EXPECT_TRUE(store->copyValue(platform::servicePPPKey("SVC-OFFICE")));
    EXPECT_FALSE(store->copyValue(platform::servicePPPKey("SVC-MODEM")));
}

TEST_F(ConfigStoreTest, NoActiveSetMeansNoGlobalSetup) {
    auto store = ConfigStore::create("test", nullptr);
    // No file at all.
    EXPECT_FALSE(store->copyValue(kIPv4));

    struct Case {
        const char* what;
        std::function<void(Dictionary&)> edit;
    } cases[] = {
        {"no CurrentSet", [](Dictionary& d) { d.erase("CurrentSet"); }},
        {"CurrentSet names no set",
         [](Dictionary& d) { d.set("CurrentSet", Value("/Sets/GONE")); }},
        {"CurrentSet is not a string", [](Dictionary& d) { d.set("CurrentSet", Value(7)); }},
        {"Sets missing", [](Dictionary& d) { d.erase("Sets"); }},
    };
    TempRoot::makePath(root.preferencesFolder());
    for (const Case& c : cases) {
        Dictionary prefs = TempRoot::fixturePreferences();
        c.edit(prefs);
        ASSERT_TRUE(platform::writeXmlFile(root.preferencesFile(), Value(prefs)));
        EXPECT_FALSE(store->copyValue(kIPv4)) << c.what;
        EXPECT_FALSE(store->copyValue(platform::servicePPPKey("SVC-MODEM"))) << c.what;
    }
    // Not a property list.
    ASSERT_TRUE(platform::writeFileAtomically(root.preferencesFile(), "<plist><dict>"));
    EXPECT_FALSE(store->copyValue(kIPv4));
}

TEST_F(ConfigStoreTest, InterfacesComeFromTheKernelOrTheInjectedList) {
    auto store = ConfigStore::create("test", nullptr);
    auto kernel = ConfigStore::kernelInterfaces();
    auto v = store->copyValue(kInterfaces);
    ASSERT_TRUE(v && v->asDictionary());
    const Value* list = v->asDictionary()->find("Interfaces");
    ASSERT_TRUE(list && list->asArray());
    EXPECT_EQ(list->asArray()->size(), kernel.size());

    store->setInterfaceProvider([] { return std::vector<std::string>{"lo", "ppp0"}; });
    v = store->copyValue(kInterfaces);
    EXPECT_EQ(*v->asDictionary()->find("Interfaces"), Value(Array{Value("lo"), Value("ppp0")}));
}

TEST_F(ConfigStoreTest, SessionNeedsANameAndNonEmptyKeys) {
    EXPECT_FALSE(ConfigStore::create("", nullptr));
    auto store = ConfigStore::create("dialledger", nullptr);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->name(), "dialledger");
    EXPECT_FALSE(store->setNotificationKeys({kIPv4, ""}));
    EXPECT_TRUE(store->setNotificationKeys({kInterfaces, kIPv4}));
    EXPECT_EQ(store->notificationKeys(), (std::vector<std::string>{kInterfaces, kIPv4}));
}

TEST_F(ConfigStoreTest, RecomputeReportsOnlyChangedKeysInOneCall) {
    root.installPreferences();
    std::vector<std::string> interfaces{"lo"};
    Recorder rec;
    int marker = 0;
    void* seenInfo = nullptr;
    auto store = ConfigStore::create(
        "test",
        [&](ConfigStore&, const std::vector<std::string>& keys, void* info) {
            rec.calls.push_back(keys);
            seenInfo = info;
        },
        &marker);
    store->setInterfaceProvider([&] { return interfaces; });
    ASSERT_TRUE(store->setNotificationKeys({kInterfaces, kIPv4}));

    store->recompute();
    EXPECT_TRUE(rec.calls.empty()) << "nothing changed";

    interfaces.push_back("ppp0");
    store->recompute();
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0], std::vector<std::string>{kInterfaces});
    EXPECT_EQ(seenInfo, &marker);

    // Both at once: one call with both keys, in the watched order.
    interfaces.pop_back();
    root.installPreferences("OFFICE-SET");
    store->recompute();
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[1], (std::vector<std::string>{kInterfaces, kIPv4}));

    // The file disappearing is a change too (the setup has no value any more).
    ASSERT_TRUE(platform::removePath(root.preferencesFile()));
    store->recompute();
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[2], std::vector<std::string>{kIPv4});

    // A key that is not watched never shows up.
    store->setNotificationKeys({kInterfaces});
    root.installPreferences();
    store->recompute();
    EXPECT_EQ(rec.calls.size(), 3u);
}

namespace {

// Runs the main loop until the recorder has `n` calls or the deadline passes,
// then a little longer to catch any call that should not come.
void runUntilCalls(Recorder& rec, size_t n, std::chrono::milliseconds deadline = 5000ms) {
    auto& loop = platform::RunLoop::main();
    auto end = std::chrono::steady_clock::now() + deadline;
    while (rec.calls.size() < n && std::chrono::steady_clock::now() < end)
        loop.runFor(20ms);
    loop.runFor(300ms);
}

} // namespace

TEST_F(ConfigStoreTest, ReplacingThePreferencesFileGivesOneCallback) {
    root.installPreferences();
    Recorder rec;
    auto store = ConfigStore::create("test", rec.callback());
    store->setInterfaceProvider([] { return std::vector<std::string>{"lo"}; });
    ASSERT_TRUE(store->setNotificationKeys({kInterfaces, kIPv4}));
    ASSERT_TRUE(store->addToRunLoop(platform::RunLoop::main()));
    EXPECT_TRUE(store->scheduled());

    // Replaced by rename, the way every careful writer saves it.
    root.installPreferences("OFFICE-SET");
    runUntilCalls(rec, 1);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0], std::vector<std::string>{kIPv4});

    // Rewritten in place with the same content: events, but no change.
    std::string bytes;
    ASSERT_TRUE(platform::readFile(root.preferencesFile(), bytes));
    {
        FILE* f = std::fopen(root.preferencesFile().c_str(), "w");
        ASSERT_TRUE(f);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    runUntilCalls(rec, 2, 500ms);
    EXPECT_EQ(rec.calls.size(), 1u);

    // Back to the first set: one more call.
    root.installPreferences();
    runUntilCalls(rec, 2);
    EXPECT_EQ(rec.calls.size(), 2u);

    store->removeFromRunLoop();
    EXPECT_FALSE(store->scheduled());
    root.installPreferences("OFFICE-SET");
    runUntilCalls(rec, 3, 300ms);
    EXPECT_EQ(rec.calls.size(), 2u) << "no callback once off the run loop";
}

TEST_F(ConfigStoreTest, WatchesAPreferencesFolderThatAppearsLater) {
    // Only the root exists: the watch starts on it and follows the folders down.
    Recorder rec;
    auto store = ConfigStore::create("test", rec.callback());
    ASSERT_TRUE(store->setNotificationKeys({kIPv4}));
    ASSERT_TRUE(store->addToRunLoop(platform::RunLoop::main()));

    TempRoot::makePath(root.sysroot + "/Library");
    runUntilCalls(rec, 1, 200ms);
    TempRoot::makePath(root.preferencesFolder());
    runUntilCalls(rec, 1, 200ms);
    EXPECT_TRUE(rec.calls.empty());
    root.installPreferences();
    runUntilCalls(rec, 1);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0], std::vector<std::string>{kIPv4});

    // The folder removed and made again: the watch follows.
    ASSERT_TRUE(platform::removePath(root.sysroot + "/Library"));
    runUntilCalls(rec, 2);
    ASSERT_EQ(rec.calls.size(), 2u) << "the setup went away";
    root.installPreferences();
    runUntilCalls(rec, 3);
    EXPECT_EQ(rec.calls.size(), 3u);
}
