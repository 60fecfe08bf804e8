// The Dial Ledger window on the offscreen platform, driven through its widgets'
// object names: status line, enable rules, locations and ports, clear, export,
// the agent's notifications, start at login, toolbar and window frame.
#include "viewer/DLMainController.h"

#include "AppTestSupport.h"

#include "netconfig/DLConfiguration.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Preferences.h"
#include "platform/SystemPaths.h"
#include "viewer/DLConnections.h"
#include "viewer/Daemon.h"
#include "viewer/ModalPanels.h"
#include "viewer/QtHooks.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QWidgetAction>

#include <gtest/gtest.h>

#include <memory>

using apptest::PrivateTree;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

// One QApplication for the whole binary, on the offscreen platform.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "test_mainwindow";
        static char* argv[] = {name, nullptr};
        app_ = new QApplication(argc, argv);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

private:
    QApplication* app_ = nullptr;
};
const auto* const qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

struct Service {
    std::string id, name, type = "PPP";
};
struct Location {
    std::string id, name;
    std::vector<std::string> services;
};

Dictionary networkPreferences(const std::string& currentSet, const std::vector<Location>& locations,
                              const std::vector<Service>& services) {
    Dictionary servicesDict;
    for (const auto& s : services) {
        Dictionary iface;
        iface.set("Type", Value(s.type));
        Dictionary svc;
        svc.set("Interface", Value(std::move(iface)));
        svc.set("UserDefinedName", Value(s.name));
        servicesDict.set(s.id, Value(std::move(svc)));
    }
    Dictionary sets;
    for (const auto& l : locations) {
        Dictionary links;
        for (const auto& id : l.services) {
            Dictionary link;
            link.set("__LINK__", Value("/NetworkServices/" + id));
            links.set(id, Value(std::move(link)));
        }
        Dictionary network;
        network.set("Service", Value(std::move(links)));
        Dictionary set;
        set.set("Network", Value(std::move(network)));
        set.set("UserDefinedName", Value(l.name));
        sets.set(l.id, Value(std::move(set)));
    }
    Dictionary root;
    root.set("CurrentSet", Value(currentSet));
    root.set("NetworkServices", Value(std::move(servicesDict)));
    root.set("Sets", Value(std::move(sets)));
    return root;
}

// Three locations, listed out of order on purpose: office, Automatic, home.
// "home" is active and has two ports; "office" has none.
Dictionary standardPreferences(const std::string& active = "SET-HOME-0001") {
    return networkPreferences("/Sets/" + active,
                              {{"SET-OFFICE-01", "office", {"SVC-ETH"}},
                               {"SET-AUTO-0001", "Automatic", {"SVC-MODEM", "SVC-ETH"}},
                               {"SET-HOME-0001", "home", {"SVC-DSL", "SVC-MOBILE"}}},
                              {{"SVC-MODEM", "Modem"},
                               {"SVC-DSL", "DSL"},
                               {"SVC-MOBILE", "Mobile"},
                               {"SVC-ETH", "Ethernet", "Ethernet"}});
}

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(platform::NotificationCenter::shared().connected())
            << "these tests need a session bus";
        setenv("TZ", "UTC", 1);
        tzset();
        ModalPanels::reset();
        // The window starts the agent when none runs: a stand-in that reports
        // at once, so the launcher never stands in the way.
        Daemon::setAgentBundlePath(
            apptest::makeStandInBundle(tree.base() + "/resources", tree.base() + "/starts", true));
        previousOpener = DLMainController::setUrlOpener([this](const QUrl& url) {
            openedUrls << url.toString();
            return true;
        });
    }

    void TearDown() override {
        controller.reset();
        DLMainController::setUrlOpener(previousOpener);
        Daemon::setAgentBundlePath({});
        Daemon::setCriticalAlert({});
        ModalPanels::reset();
    }

    void writePreferences(const Dictionary& prefs) {
        const std::string path = platform::systemPath(platform::kPreferencesPlistPath);
        apptest::fs::create_directories(apptest::fs::path(path).parent_path());
        ASSERT_TRUE(platform::writeXmlFile(path, Value(prefs)));
    }

    void writeLog(const std::string& serviceID, const Array& records) {
        apptest::fs::create_directories(tree.logFolder());
        ASSERT_TRUE(platform::writeXmlFile(tree.logFolder() + "/" + serviceID, Value(records)));
    }

    // Loads the window with these network preferences, as the program does.
    void start(const Dictionary& prefs = standardPreferences()) {
        writePreferences(prefs);
        DLConfiguration::reload();
        controller = std::make_unique<DLMainController>();
        Daemon::setCriticalAlert([this](const std::string& title, const std::string&,
                                        const std::string&) { daemonAlerts.push_back(title); });
        controller->awakeFromNib();
        controller->window()->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(controller->window()));
    }

    template <typename T> T* find(const char* name) {
        T* w = controller->window()->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }

    QToolBar* toolbar() { return find<QToolBar>("Toolbar"); }
    QAction* toolbarItem(const char* id) {
        QAction* a = toolbar()->findChild<QAction*>(QLatin1String(id));
        EXPECT_NE(a, nullptr) << id;
        return a;
    }

    QStringList locationTitles() {
        QStringList titles;
        for (QAction* a : find<QMenu>("locationMenu")->actions())
            titles << a->data().toString();
        return titles;
    }
    QStringList checkedLocations() {
        QStringList titles;
        for (QAction* a : find<QMenu>("locationMenu")->actions())
            if (a->isChecked())
                titles << a->data().toString();
        return titles;
    }
    QAction* location(const QString& title) {
        for (QAction* a : find<QMenu>("locationMenu")->actions())
            if (a->data().toString() == title)
                return a;
        ADD_FAILURE() << "no location " << title.toStdString();
        return nullptr;
    }
    QStringList ports() {
        QStringList names;
        QComboBox* port = find<QComboBox>("port");
        for (int i = 0; i < port->count(); ++i)
            names << port->itemText(i);
        return names;
    }
    QString statusLine() { return find<QLabel>("totalLabel")->text(); }

    bool waitFor(const std::function<bool()>& done, int ms = 10000) {
        return apptest::waitUntil(
            done, [] { QTest::qWait(20); }, std::chrono::milliseconds(ms));
    }

    void click(const char* buttonName) {
        QTest::mouseClick(find<QPushButton>(buttonName), Qt::LeftButton);
    }

    PrivateTree tree;
    std::unique_ptr<DLMainController> controller;
    std::vector<std::string> daemonAlerts;
    QStringList openedUrls;
    DLMainController::UrlOpener previousOpener;
};

TEST_F(MainWindowTest, StatusLineAndEnableRulesFollowTheNumberOfConnections) {
    struct Case {
        Array records;
        QString status;
    } cases[] = {
        {{}, "0 connections, 00:00:00, 0 KB down, 0 KB up"},
        // No singular form.
        {{apptest::record(1700000000, 3725, 1536, 1024)},
         "1 connections, 01:02:05, 1.5 KB down, 1 KB up"},
        {{apptest::record(1700000000, 60, 1048576, 10240),
          apptest::record(1700003600, 30, 1048576, 10240),
          apptest::record(1700007200, 30, 1048576, 0)},
         "3 connections, 00:02:00, 3 MB down, 20 KB up"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status.toStdString());
        writeLog("SVC-DSL", c.records);
        start();
        const bool any = !c.records.empty();

        EXPECT_EQ(statusLine(), c.status);
        EXPECT_EQ(find<QTableView>("connectionsView")->model()->rowCount(),
                  static_cast<int>(c.records.size()));
        EXPECT_EQ(find<QPushButton>("clearButton")->isEnabled(), any);
        EXPECT_EQ(find<QPushButton>("exportButton")->isEnabled(), any);
        EXPECT_EQ(find<QAction>("exportMenuItem")->isEnabled(), any);
        EXPECT_EQ(find<QAction>("clearMenuItem")->isEnabled(), any);
        EXPECT_EQ(controller->validateMenuItem(find<QAction>("exportMenuItem")), any);
        EXPECT_EQ(toolbarItem("ExportToolbarItemIdentifier")->isEnabled(), any);
        EXPECT_EQ(toolbarItem("CleanToolbarItemIdentifier")->isEnabled(), any);
        // Everything else stays enabled.
        EXPECT_TRUE(toolbarItem("PortToolbarItemIdentifier")->isEnabled());
        EXPECT_TRUE(find<QAction>("webPageMenuItem")->isEnabled());
        EXPECT_TRUE(find<QAction>("emailMenuItem")->isEnabled());
        for (QAction* a : find<QMenu>("locationMenu")->actions())
            EXPECT_TRUE(controller->validateMenuItem(a));
        controller.reset();
    }
}

TEST_F(MainWindowTest, TableShowsTheRowsOfTheChosenPortOldestFirst) {
    writeLog("SVC-DSL", {apptest::record(1700000000, 59, 512, 52),
                         apptest::record(1700086400, 360000, 1073741824, 1048575)});
    start();
    QAbstractItemModel* model = find<QTableView>("connectionsView")->model();
    ASSERT_EQ(model->columnCount(), 5);
    auto cell = [&](int row, int column) { return model->index(row, column).data().toString(); };
    EXPECT_EQ(cell(0, 0), "1");
    EXPECT_EQ(cell(0, 1), "2023-11-14   22:13:20");
    EXPECT_EQ(cell(0, 2), "00:00:59");
    EXPECT_EQ(cell(0, 3), "0.5 KB");
    EXPECT_EQ(cell(0, 4), "0.1 KB");
    EXPECT_EQ(cell(1, 0), "2");
    EXPECT_EQ(cell(1, 1), "2023-11-15   22:13:20");
    EXPECT_EQ(cell(1, 2), "100:00:00");
    EXPECT_EQ(cell(1, 3), "1 GB");
    EXPECT_EQ(cell(1, 4), "1024 KB");
}

TEST_F(MainWindowTest, LocationsAreSortedWithoutCaseAndTheActiveOneIsChecked) {
    start();
    EXPECT_EQ(locationTitles(), (QStringList{"Automatic", "home", "office"}));
    EXPECT_EQ(checkedLocations(), QStringList{"home"});
    EXPECT_EQ(controller->selectedConfName(), QString("home"));
    EXPECT_EQ(ports(), (QStringList{"DSL", "Mobile"}));
    EXPECT_EQ(find<QComboBox>("port")->currentText(), "DSL");

    // Choosing another location moves the mark and refills the ports.
    location("Automatic")->trigger();
    EXPECT_EQ(checkedLocations(), QStringList{"Automatic"});
    EXPECT_EQ(ports(), QStringList{"Modem"});
}

TEST_F(MainWindowTest, ChoosingTheSelectedLocationAgainFallsBackToItsFirstPort) {
    writeLog("SVC-MOBILE", {apptest::record(1700000000, 10, 2048, 1024)});
    start();
    QComboBox* port = find<QComboBox>("port");
    port->setFocus();
    QTest::keyClick(port, Qt::Key_Down);
    ASSERT_EQ(port->currentText(), "Mobile");
    EXPECT_EQ(statusLine(), "1 connections, 00:00:10, 2 KB down, 1 KB up");

    location("home")->trigger();
    EXPECT_EQ(port->currentText(), "DSL");
    EXPECT_EQ(ports(), (QStringList{"DSL", "Mobile"}));
    EXPECT_EQ(checkedLocations(), QStringList{"home"});
    EXPECT_EQ(statusLine(), "0 connections, 00:00:00, 0 KB down, 0 KB up");
}

TEST_F(MainWindowTest, NoActiveLocationSelectsNothing) {
    writeLog("SVC-DSL", {apptest::record(1700000000, 10, 2048, 1024)});
    start(standardPreferences("SET-GONE-0000"));
    EXPECT_EQ(locationTitles(), (QStringList{"Automatic", "home", "office"}));
    EXPECT_TRUE(checkedLocations().isEmpty());
    EXPECT_FALSE(controller->selectedConfName().has_value());
    EXPECT_TRUE(ports().isEmpty());
    EXPECT_FALSE(DLConnections::sharedInstance().path().has_value());
    EXPECT_EQ(statusLine(), "0 connections, 00:00:00, 0 KB down, 0 KB up");
}

TEST_F(MainWindowTest, NoNetworkPreferencesAtAllLeaveAnEmptyWindow) {
    controller = std::make_unique<DLMainController>();
    Daemon::setCriticalAlert([](const std::string&, const std::string&, const std::string&) {});
    DLConfiguration::reload();
    controller->awakeFromNib();
    EXPECT_TRUE(locationTitles().isEmpty());
    EXPECT_TRUE(ports().isEmpty());
    EXPECT_FALSE(find<QPushButton>("exportButton")->isEnabled());
}

TEST_F(MainWindowTest, ALocationWithoutPortsDisablesExportAndClear) {
    writeLog("SVC-DSL", {apptest::record(1700000000, 10, 2048, 1024)});
    start();
    ASSERT_TRUE(find<QPushButton>("exportButton")->isEnabled());
    location("office")->trigger();
    EXPECT_TRUE(ports().isEmpty());
    EXPECT_EQ(find<QTableView>("connectionsView")->model()->rowCount(), 0);
    EXPECT_FALSE(find<QPushButton>("exportButton")->isEnabled());
    EXPECT_FALSE(find<QPushButton>("clearButton")->isEnabled());
    EXPECT_FALSE(toolbarItem("ExportToolbarItemIdentifier")->isEnabled());
}

TEST_F(MainWindowTest, ClearAsksFirstAndOnlyClearRemovesTheLog) {
    writeLog("SVC-DSL", {apptest::record(1700000000, 10, 2048, 1024)});
    const std::string logPath = tree.logFolder() + "/SVC-DSL";
    start();

    ModalPanels::answerNextAlert(ModalPanels::AlertButton::Alternate);
    click("clearButton");
    ASSERT_EQ(ModalPanels::alertsShown().size(), 1u);
    const ModalPanels::Alert& alert = ModalPanels::alertsShown()[0];
    EXPECT_EQ(alert.title, "Do you really want to clear the connections ?");
    EXPECT_EQ(alert.message, "This can't be undone.");
    EXPECT_EQ(alert.defaultButton, "Clear");
    EXPECT_EQ(alert.alternateButton, "Cancel");
    EXPECT_TRUE(alert.otherButton.isEmpty());
    EXPECT_TRUE(platform::pathExists(logPath));
    EXPECT_EQ(statusLine(), "1 connections, 00:00:10, 2 KB down, 1 KB up");

    ModalPanels::answerNextAlert(ModalPanels::AlertButton::Default);
    find<QAction>("clearMenuItem")->trigger();
    EXPECT_EQ(ModalPanels::alertsShown().size(), 2u);
    EXPECT_FALSE(platform::pathExists(logPath));
    EXPECT_EQ(statusLine(), "0 connections, 00:00:00, 0 KB down, 0 KB up");
    EXPECT_FALSE(find<QPushButton>("clearButton")->isEnabled());
}

TEST_F(MainWindowTest, ExportWritesTheHtmlReportWhereTheSavePanelSays) {
    writeLog("SVC-MODEM", {apptest::record(1700000000, 10, 2048, 1024)});
    start();
    location("Automatic")->trigger();

    ModalPanels::answerNextSavePanel(std::nullopt);
    click("exportButton");
    ASSERT_EQ(ModalPanels::savePanelsShown().size(), 1u);
    EXPECT_EQ(ModalPanels::savePanelsShown()[0].directory.toStdString(), tree.home());
    EXPECT_EQ(ModalPanels::savePanelsShown()[0].proposedName, "Connections.html");
    EXPECT_FALSE(platform::pathExists(tree.home() + "/Connections.html"));

    const std::string chosen = tree.base() + "/report.htm";
    ModalPanels::answerNextSavePanel(QString::fromStdString(chosen));
    toolbarItem("ExportToolbarItemIdentifier")->trigger();
    const std::string html = apptest::readText(chosen);
    EXPECT_NE(html.find("on \"Modem\"</b>"), std::string::npos) << html;
    EXPECT_NE(html.find("<b>Total: 1 connections</b>"), std::string::npos) << html;
}

TEST_F(MainWindowTest, AgentNotificationsReachTheWindow) {
    start();
    const std::string logPath = tree.logFolder() + "/SVC-DSL";
    EXPECT_EQ(statusLine(), "0 connections, 00:00:00, 0 KB down, 0 KB up");

    // A connection ends: the agent writes the log, then posts its update.
    writeLog("SVC-DSL", {apptest::record(1700000000, 10, 2048, 1024)});
    ASSERT_EQ(apptest::post({"Dial_Ledger.update_UI"}), 0);
    EXPECT_TRUE(waitFor([&] { return statusLine().startsWith("1 connections"); }))
        << statusLine().toStdString();

    // The user looks at another location; then the network setup changes
    // (a new location, now active), and the window follows it.
    location("Automatic")->trigger();
    Dictionary prefs = standardPreferences("SET-CAFE-0001");
    Dictionary* sets = prefs.find("Sets")->asDictionary();
    Dictionary network;
    Dictionary links;
    links.set("SVC-MOBILE", Value(Dictionary{}));
    network.set("Service", Value(std::move(links)));
    Dictionary cafe;
    cafe.set("Network", Value(std::move(network)));
    cafe.set("UserDefinedName", Value("Café"));
    sets->set("SET-CAFE-0001", Value(std::move(cafe)));
    writePreferences(prefs);
    ASSERT_EQ(apptest::post({"Dial_Ledger.network_config_change"}), 0);
    EXPECT_TRUE(waitFor([&] { return locationTitles().size() == 4; }));
    EXPECT_EQ(locationTitles(), (QStringList{"Automatic", "Café", "home", "office"}));
    EXPECT_EQ(controller->selectedConfName(), QString("Café"));
    EXPECT_EQ(checkedLocations(), QStringList{"Café"});
    EXPECT_EQ(ports(), QStringList{"Mobile"});
}

TEST_F(MainWindowTest, AutoStartCheckBoxInstallsAndRemovesTheAgent) {
    start();
    QCheckBox* box = find<QCheckBox>("autoStartCheckbox");
    EXPECT_FALSE(box->isChecked()) << "an absent setting reads as off";
    const std::string installed = Daemon::installedBundlePath();

    box->click();
    EXPECT_TRUE(platform::pathExists(installed + "/dialledger"));
    {
        platform::Preferences defaults{"com.example.dialledger"};
        ASSERT_NE(defaults.value("Auto start"), nullptr);
        EXPECT_EQ(defaults.value("Auto start")->asBoolean(), true);
    }

    box->click();
    EXPECT_FALSE(platform::pathExists(installed));
    platform::Preferences defaults{"com.example.dialledger"};
    EXPECT_EQ(defaults.value("Auto start")->asBoolean(), false);

    // The next window shows what was stored.
    defaults.setValue("Auto start", Value(true));
    ASSERT_TRUE(defaults.synchronize());
    controller.reset();
    start();
    EXPECT_TRUE(find<QCheckBox>("autoStartCheckbox")->isChecked());
    EXPECT_TRUE(platform::pathExists(installed) == false) << "reading the setting installs nothing";
}

TEST_F(MainWindowTest, ToolbarCarriesItsItemsInOrder) {
    start();
    QToolBar* bar = toolbar();
    EXPECT_EQ(bar->toolButtonStyle(), Qt::ToolButtonIconOnly);
    EXPECT_FALSE(bar->isMovable());
    const QStringList expected{"ExportToolbarItemIdentifier",        "CleanToolbarItemIdentifier",
                               "SeparatorToolbarItemIdentifier",     "PortToolbarItemIdentifier",
                               "FlexibleSpaceToolbarItemIdentifier", "SpaceToolbarItemIdentifier"};
    EXPECT_EQ(controller->toolbarDefaultItemIdentifiers(bar), expected);
    EXPECT_EQ(controller->toolbarAllowedItemIdentifiers(bar), expected);
    EXPECT_EQ(controller->toolbarItemForItemIdentifier(bar, "SomethingElse", true), nullptr);

    struct Item {
        const char* id;
        const char* label;
        const char* palette;
        const char* tip;
        bool image;
    } items[] = {
        {"ExportToolbarItemIdentifier", "Export", "Export", "Export as an HTML document", true},
        {"CleanToolbarItemIdentifier", "Clean", "Clean", "Clean", true},
        {"PortToolbarItemIdentifier", "Select port", "Port", "Select the port", false},
    };
    for (const auto& item : items) {
        QAction* a = toolbarItem(item.id);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(a->text(), item.label);
        EXPECT_EQ(a->property("paletteLabel").toString(), item.palette);
        EXPECT_EQ(a->toolTip(), item.tip);
        EXPECT_EQ(!a->icon().isNull(), item.image) << item.id;
    }
    auto* portItem = qobject_cast<QWidgetAction*>(toolbarItem("PortToolbarItemIdentifier"));
    ASSERT_NE(portItem, nullptr);
    EXPECT_EQ(portItem->defaultWidget(), find<QComboBox>("port"));
    EXPECT_EQ(find<QComboBox>("port")->minimumWidth(), 170);
}

TEST_F(MainWindowTest, WebPageAndMailOpenTheirAddresses) {
    start();
    find<QAction>("webPageMenuItem")->trigger();
    find<QAction>("emailMenuItem")->trigger();
    EXPECT_EQ(openedUrls, (QStringList{"https://example.com/dial-ledger/",
                                       "mailto:support@example.com?subject=v0.2"}));
}

TEST_F(MainWindowTest, WindowFrameIsKeptBetweenRuns) {
    start();
    EXPECT_EQ(controller->windowFrameAutosaveName(), "window");
    controller->window()->setGeometry(40, 50, 700, 420);
    controller->window()->close();
    controller.reset();
    {
        platform::Preferences defaults{"com.example.dialledger"};
        const Value* frame = defaults.value("Window Frame window");
        ASSERT_NE(frame, nullptr);
        ASSERT_NE(frame->asString(), nullptr);
        EXPECT_EQ(*frame->asString(), "40 50 700 420");
    }
    start();
    EXPECT_EQ(controller->window()->size(), QSize(700, 420));
}

TEST_F(MainWindowTest, AgentIsStartedWhenNoneRuns) {
    platform::LogCapture log;
    start();
    // Unless an agent of this user happens to run already, the stand-in was
    // started once and its report was taken as success.
    if (apptest::readLines(tree.base() + "/starts").empty())
        GTEST_SKIP() << "an agent of this user is running";
    EXPECT_TRUE(waitFor([&] { return log.contains("Daemon launched."); }));
    EXPECT_TRUE(daemonAlerts.empty());
}

TEST_F(MainWindowTest, SilentAgentGetsTheCriticalAlertAfterTheWait) {
    // No window here: its own start of the agent would post the very
    // notification this launcher waits for.
    Daemon::setAgentBundlePath(
        apptest::makeStandInBundle(tree.base() + "/silent", tree.base() + "/silent-starts", false));
    // The window's hooks: the real three-second timer and the panel seam.
    QtHooks::installDaemonHooks();
    QtHooks::attachNotificationCenter(QCoreApplication::instance());
    ModalPanels::answerNextAlert(ModalPanels::AlertButton::Default);
    platform::LogCapture log;
    (new Daemon)->launch();
    EXPECT_TRUE(waitFor([&] { return log.contains("Unable to start the daemon."); }, 8000));
    ASSERT_EQ(ModalPanels::alertsShown().size(), 1u);
    EXPECT_EQ(ModalPanels::alertsShown()[0].title, "Unable to start the daemon.");
    EXPECT_TRUE(ModalPanels::alertsShown()[0].message.isEmpty());
    EXPECT_EQ(ModalPanels::alertsShown()[0].style, ModalPanels::AlertStyle::Critical);
    EXPECT_EQ(ModalPanels::alertsShown()[0].defaultButton, "OK");
    EXPECT_TRUE(ModalPanels::alertsShown()[0].alternateButton.isEmpty());
    EXPECT_EQ(apptest::readLines(tree.base() + "/silent-starts").size(), 5u) << "started once";
}

} // namespace
