// pppconfd --import-peers: one PPP service per peer file, in the location
// "Automatic", without losing anything the preferences already hold.
#include <gtest/gtest.h>

#include "controller/ImportPeers.h"
#include "netconfig/DLConfiguration.h"
#include "platform/ConfigStore.h"
#include "tests/controller/PppconfdProcess.h"

using controller::addPeers;
using controller::PeerImport;
using platform::Array;
using platform::Dictionary;
using platform::Value;
using namespace testsupport;

namespace {

const std::string kPppconfd = DL_BIN_DIR "/pppconfd";

const Dictionary* dict(const Dictionary* d, std::string_view key) {
    const Value* v = d ? d->find(key) : nullptr;
    return v ? v->asDictionary() : nullptr;
}

std::vector<std::string> strings(const Dictionary* d, std::string_view key) {
    std::vector<std::string> out;
    const Value* v = d ? d->find(key) : nullptr;
    if (v && v->asArray())
        for (const Value& item : *v->asArray())
            out.push_back(item.asString() ? *item.asString() : "?");
    return out;
}

// The set ID and dictionary of the location named "Automatic".
std::pair<std::string, const Dictionary*> automatic(const Dictionary& prefs) {
    for (const auto& [id, set] : *dict(&prefs, "Sets")) {
        const Value* name =
            set.asDictionary() ? set.asDictionary()->find("UserDefinedName") : nullptr;
        if (name && name->asString() && *name->asString() == "Automatic")
            return {id, set.asDictionary()};
    }
    return {"", nullptr};
}

std::vector<std::string> order(const Dictionary* set) {
    return strings(dict(dict(dict(set, "Network"), "Global"), "IPv4"), "ServiceOrder");
}

std::vector<std::string> members(const Dictionary* set) {
    const Dictionary* service = dict(dict(set, "Network"), "Service");
    return service ? service->keys() : std::vector<std::string>{};
}

Dictionary fixture(const std::string& name) {
    auto prefs = platform::readDictionaryFile(std::string(DL_FIXTURES_DIR) + "/" + name);
    if (!prefs)
        throw std::runtime_error("fixture unreadable: " + name);
    return *prefs;
}

std::function<std::string()> ids(std::vector<std::string> list) {
    auto shared = std::make_shared<std::vector<std::string>>(std::move(list));
    return [shared] {
        std::string id = shared->front();
        shared->erase(shared->begin());
        return id;
    };
}

TEST(ImportPeers, EmptyPreferencesGetServicesAnActiveAutomaticLocation) {
    Dictionary prefs;
    PeerImport result;
    std::string error;
    ASSERT_TRUE(addPeers(prefs, {"dsl", "provider"}, ids({"NEW-SET"}), result, error)) << error;
    EXPECT_EQ(result.added, (std::vector<std::string>{"dsl", "provider"}));
    EXPECT_TRUE(result.createdLocation && result.activatedLocation && result.changed);

    const Dictionary* service = dict(dict(&prefs, "NetworkServices"), "provider");
    ASSERT_TRUE(service);
    EXPECT_EQ(*service->find("UserDefinedName")->asString(), "provider");
    EXPECT_EQ(*dict(service, "Interface")->find("Type")->asString(), "PPP");
    EXPECT_EQ(*dict(service, "PPP")->find("Peer")->asString(), "provider");

    auto [setID, set] = automatic(prefs);
    EXPECT_EQ(setID, "NEW-SET");
    EXPECT_EQ(order(set), (std::vector<std::string>{"dsl", "provider"}));
    EXPECT_EQ(members(set), (std::vector<std::string>{"dsl", "provider"}));
    EXPECT_EQ(*prefs.find("CurrentSet")->asString(), "/Sets/NEW-SET");

    // Twice is once.
    Dictionary again = prefs;
    ASSERT_TRUE(addPeers(again, {"dsl", "provider"}, ids({"OTHER"}), result, error));
    EXPECT_FALSE(result.changed);
    EXPECT_EQ(again, prefs);
    EXPECT_EQ(platform::toXml(Value(again)), platform::toXml(Value(prefs)));
}

TEST(ImportPeers, ExistingServicesAndLocationsAreKept) {
    const Dictionary before = fixture("agent/preferences.plist");
    Dictionary prefs = before;
    PeerImport result;
    std::string error;
    // SVC-MODEM is a PPP service already, SVC-ETH an Ethernet one; the first
    // fresh ID is taken by a set that exists.
    ASSERT_TRUE(addPeers(prefs, {"SVC-ETH", "SVC-MODEM", "provider"}, ids({"HOME-SET", "AUTO-SET"}),
                         result, error))
        << error;
    EXPECT_EQ(result.added, std::vector<std::string>{"provider"});
    EXPECT_EQ(result.joined, std::vector<std::string>{"SVC-MODEM"});
    EXPECT_EQ(result.conflicts, std::vector<std::string>{"SVC-ETH"});
    EXPECT_FALSE(result.activatedLocation);

    // Everything that was there is there still, unchanged.
    for (const std::string& id : dict(&before, "NetworkServices")->keys())
        EXPECT_EQ(*dict(dict(&prefs, "NetworkServices"), id),
                  *dict(dict(&before, "NetworkServices"), id))
            << id;
    for (const std::string& id : dict(&before, "Sets")->keys())
        EXPECT_EQ(*dict(dict(&prefs, "Sets"), id), *dict(dict(&before, "Sets"), id)) << id;
    EXPECT_EQ(*prefs.find("CurrentSet"), *before.find("CurrentSet"));

    auto [setID, set] = automatic(prefs);
    EXPECT_EQ(setID, "AUTO-SET");
    EXPECT_EQ(order(set), (std::vector<std::string>{"SVC-MODEM", "provider"}));
}

TEST(ImportPeers, AnAutomaticLocationWithoutAnOrderKeepsItsServicesInIt) {
    Dictionary prefs = fixture("agent/preferences.plist");
    // Make the active set "Automatic", and drop its order: its services are
    // then all of its members.
    const std::string current = *prefs.find("CurrentSet")->asString();
    const std::string id = current.substr(current.find_last_of('/') + 1);
    Dictionary* set = prefs.find("Sets")->asDictionary()->find(id)->asDictionary();
    set->set("UserDefinedName", Value("Automatic"));
    set->find("Network")->asDictionary()->erase("Global");
    const std::vector<std::string> before = members(set);
    ASSERT_FALSE(before.empty());

    PeerImport result;
    std::string error;
    ASSERT_TRUE(addPeers(prefs, {"provider"}, ids({}), result, error)) << error;
    EXPECT_FALSE(result.createdLocation);
    std::vector<std::string> expected = before;
    expected.push_back("provider");
    EXPECT_EQ(order(automatic(prefs).second), expected);
}

TEST(ImportPeers, AReferenceToNoLocationIsReplaced) {
    Dictionary prefs = fixture("agent/preferences.plist");
    for (Value current : {Value("/Sets/GONE"), Value(""), Value(int64_t(3))}) {
        prefs.set("CurrentSet", current);
        PeerImport result;
        std::string error;
        ASSERT_TRUE(addPeers(prefs, {"provider"}, ids({"AUTO", "AUTO2"}), result, error));
        EXPECT_TRUE(result.activatedLocation);
        EXPECT_EQ(*prefs.find("CurrentSet")->asString(), "/Sets/" + automatic(prefs).first);
    }
}

TEST(ImportPeers, MalformedPreferencesAreLeftAlone) {
    auto withSets = [](Value sets) {
        Dictionary d;
        d.set("Sets", std::move(sets));
        return d;
    };
    Dictionary badService;
    badService.set("NetworkServices", Value("not a dictionary"));
    Dictionary automaticSet;
    automaticSet.set("UserDefinedName", Value("Automatic"));
    automaticSet.set("Network", Value(int64_t(1)));
    Dictionary setsWithBadAutomatic;
    setsWithBadAutomatic.set("A", Value(automaticSet));
    Dictionary ipv4;
    ipv4.set("ServiceOrder", Value("dsl"));
    Dictionary global, network, orderSet, setsWithBadOrder;
    global.set("IPv4", Value(ipv4));
    network.set("Global", Value(global));
    orderSet.set("UserDefinedName", Value("Automatic"));
    orderSet.set("Network", Value(network));
    setsWithBadOrder.set("B", Value(orderSet));

    for (const Dictionary& bad :
         {badService, withSets(Value(Array{})), withSets(Value(setsWithBadAutomatic)),
          withSets(Value(setsWithBadOrder))}) {
        Dictionary prefs = bad;
        PeerImport result;
        std::string error;
        EXPECT_FALSE(addPeers(prefs, {"dsl"}, ids({"X"}), result, error));
        EXPECT_FALSE(error.empty());
        EXPECT_EQ(prefs, bad);
    }
}

TEST(ImportPeers, OnlyPlainPeerFilesAreListed) {
    TempRoot root;
    const std::string folder = root.path() + "/peers";
    std::filesystem::create_directories(folder + "/subfolder");
    for (const char* name : {"provider", "dsl-provider", "my isp", ".hidden", "-detach", "old~",
                             "provider.dpkg-old", "provider.bak"})
        std::ofstream(folder + "/" + name) << "noauth\n";
    std::filesystem::create_symlink("provider", folder + "/alias");
    std::filesystem::create_symlink("nowhere", folder + "/dangling");
    std::vector<std::string> skipped;
    EXPECT_EQ(controller::listPeers(folder, skipped),
              (std::vector<std::string>{"alias", "dsl-provider", "my isp", "provider"}));
    EXPECT_EQ(skipped, (std::vector<std::string>{"-detach", ".hidden", "old~", "provider.bak",
                                                 "provider.dpkg-old"}));
}

TEST(ImportPeers, SetIDsAreFreshUUIDs) {
    std::string a = controller::randomSetID(), b = controller::randomSetID();
    EXPECT_NE(a, b);
    ASSERT_EQ(a.size(), 36u);
    EXPECT_EQ(a[8], '-');
    EXPECT_EQ(a[14], '4');
    EXPECT_EQ(a.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << a;
}

class ImportPeersProgram : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(peers);
        for (const char* name : {"provider", "dsl"})
            std::ofstream(peers + "/" + name) << "noauth\n";
    }
    std::string contents() const { return readWhole(prefs); }

    TempRoot root;
    std::string peers = root.path() + "/etc/ppp/peers";
    std::string prefs = root.path() + "/Library/Preferences/SystemConfiguration/preferences.plist";
};

TEST_F(ImportPeersProgram, WritesOnceAndTheAgentsStoreSeesTheServices) {
    ProgramRun first = runProgram(root, {kPppconfd, "--import-peers"});
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_NE(first.out.find("added the PPP service provider"), std::string::npos) << first.out;
    const std::string written = contents();

    struct stat before {};
    ::stat(prefs.c_str(), &before);
    ProgramRun second = runProgram(root, {kPppconfd, "--import-peers"});
    ASSERT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(contents(), written);
    struct stat after {};
    ::stat(prefs.c_str(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino); // not even rewritten

    // What the agent's store and the viewer's reader make of it.
    auto store = platform::ConfigStore::create("test", {});
    auto ipv4 = store->copyValue(platform::kGlobalIPv4Key);
    ASSERT_TRUE(ipv4);
    EXPECT_EQ(strings(ipv4->asDictionary(), "ServiceOrder"),
              (std::vector<std::string>{"dsl", "provider"}));
    auto ppp = store->copyValue(platform::servicePPPKey("provider"));
    ASSERT_TRUE(ppp);
    EXPECT_EQ(*ppp->asDictionary()->find("Peer")->asString(), "provider");
    DLConfiguration::reload();
    EXPECT_EQ(DLConfiguration::activeConfigurationName(), std::optional<std::string>("Automatic"));
    EXPECT_EQ(DLConfiguration::keyForPortName("dsl", "Automatic"),
              std::optional<std::string>("dsl"));

    // A new peer file joins the others.
    std::ofstream(peers + "/mobile") << "noauth\n";
    ProgramRun third = runProgram(root, {kPppconfd, "--import-peers"});
    ASSERT_EQ(third.status, 0) << third.err;
    EXPECT_EQ(third.out.find("active location is not"), std::string::npos) << third.out;
    EXPECT_EQ(strings(store->copyValue(platform::kGlobalIPv4Key)->asDictionary(), "ServiceOrder"),
              (std::vector<std::string>{"dsl", "provider", "mobile"}));
}

TEST_F(ImportPeersProgram, SaysWhenAnotherLocationIsActive) {
    std::filesystem::create_directories(std::filesystem::path(prefs).parent_path());
    ASSERT_TRUE(platform::writeXmlFile(prefs, Value(fixture("agent/preferences.plist"))));
    ProgramRun run = runProgram(root, {kPppconfd, "--import-peers"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("the active location is not \"Automatic\""), std::string::npos)
        << run.out;
}

TEST_F(ImportPeersProgram, NeverReplacesWhatItCannotRead) {
    std::filesystem::create_directories(std::filesystem::path(prefs).parent_path());
    std::ofstream(prefs) << "<?xml version=\"1.0\"?><plist><dict><key>Sets</key>";
    const std::string before = contents();
    ProgramRun run = runProgram(root, {kPppconfd, "--import-peers"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("nothing changed"), std::string::npos) << run.err;
    EXPECT_EQ(contents(), before);

    std::filesystem::remove_all(root.path() + "/etc");
    std::filesystem::remove(prefs);
    run = runProgram(root, {kPppconfd, "--import-peers"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("no peers folder"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(prefs));
}

} // namespace
