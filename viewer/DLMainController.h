// The controller of the Dial Ledger window: picks a location and one of its PPP
// ports, shows that port's connection history with its count and totals, clears
// it after a confirmation, exports it as an HTML report, follows the agent's
// notifications, starts the agent, and switches its start at login.
#pragma once

#include "viewer/DLConnections.h"

#include <QMainWindow>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QLabel;
class QMenu;
class QPushButton;
class QTableView;
class QTimer;
class QToolBar;
class QUrl;
class DLConnectionsTableModel;

namespace Ui {
class DLMainWindow;
}

class DLMainController : public QObject {
    Q_OBJECT
public:
    // Loads the window description: the window, its menus, the preferences
    // window and the about box, and connects them to this controller. Nothing
    // is read or shown until awakeFromNib.
    explicit DLMainController(QObject* parent = nullptr);
    ~DLMainController() override;

    QMainWindow* window() const { return window_; }
    // Empty until awakeFromNib has set it to "window".
    const QString& windowFrameAutosaveName() const { return frameAutosaveName_; }
    const std::optional<QString>& selectedConfName() const { return selectedConfName_; }

    // Toolbar identifiers; the last three stand for the toolkit's standard items.
    static constexpr const char* kToolbarIdentifier = "Toolbar";
    static constexpr const char* kExportItem = "ExportToolbarItemIdentifier";
    static constexpr const char* kCleanItem = "CleanToolbarItemIdentifier";
    static constexpr const char* kPortItem = "PortToolbarItemIdentifier";
    static constexpr const char* kSeparatorItem = "SeparatorToolbarItemIdentifier";
    static constexpr const char* kFlexibleSpaceItem = "FlexibleSpaceToolbarItemIdentifier";
    static constexpr const char* kSpaceItem = "SpaceToolbarItemIdentifier";

    // The viewer's user defaults.
    static constexpr const char* kDefaultsDomain = "com.example.dialledger";
    static constexpr const char* kAutoStartKey = "Auto start";
    static constexpr const char* kWindowFrameKey = "Window Frame window";

    static constexpr const char* kWebPage = "https://example.com/dial-ledger/";
    static constexpr const char* kSupportAddress = "support@example.com";

    // Opens a URL with the user's default handler; tests swap it to see the URL.
    using UrlOpener = std::function<bool(const QUrl&)>;
    static UrlOpener setUrlOpener(UrlOpener opener);

public slots:
    void awakeFromNib();
    void reloadSystemConfiguration();
    void loadSystemConfiguration();
    void menuConfChange(QAction* item);
    // The export command ("export" itself is a C++ keyword).
    void export_();
    void clearConnections();
    void setPortPopup();
    void reloadData();
    void update();
    void openWebPage();
    void emailTheAuthor();
    void toggleAutoStart();
    void setupToolbar();
    // The about box comes up through the window description; nothing to do here.
    void showAboutBox();

public:
    bool validateMenuItem(QAction* item) const;
    QAction* toolbarItemForItemIdentifier(QToolBar* toolbar, const QString& identifier,
                                          bool willBeInsertedIntoToolbar);
    bool validateToolbarItem(QAction* item) const;
    QStringList toolbarDefaultItemIdentifiers(QToolBar* toolbar) const;
    QStringList toolbarAllowedItemIdentifiers(QToolBar* toolbar) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void validateMenus();
    void validateMenu(QMenu* menu);
    void validateToolbar();
    void restoreWindowFrame();
    void saveWindowFrame();
    static QString itemTitle(const QAction* item);

    std::unique_ptr<Ui::DLMainWindow> ui_;
    QPointer<QMainWindow> window_;

    // Outlets, as the window description connects them.
    QLabel* totalLabel = nullptr;
    QTableView* connectionsView = nullptr;
    QDialog* aboutBox = nullptr;
    QAction* exportMenuItem = nullptr;
    QAction* clearMenuItem = nullptr;
    QComboBox* port = nullptr;
    QPushButton* clearButton = nullptr;
    QPushButton* exportButton = nullptr;
    QMenu* locationMenu = nullptr;
    QDialog* prefsWindow = nullptr;
    QCheckBox* autoStartCheckbox = nullptr;

    DLConnections* connections = nullptr;
    std::optional<QString> selectedConfName_;

    DLConnectionsTableModel* tableModel_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QString frameAutosaveName_;
    QTimer* frameSaveTimer_ = nullptr;
};
