#include "viewer/DLMainController.h"

#include "netconfig/DLConfiguration.h"
#include "platform/FileSystem.h"
#include "platform/Notifications.h"
#include "platform/Preferences.h"
#include "viewer/DLConnectionsTableModel.h"
#include "viewer/DLExporter.h"
#include "viewer/Daemon.h"
#include "viewer/ModalPanels.h"
#include "viewer/QtHooks.h"

#include "ui_DLMainWindow.h"

#include <QApplication>
#include <QDesktopServices>
#include <QEvent>
#include <QGuiApplication>
#include <QHeaderView>
#include <QIcon>
#include <QMainWindow>
#include <QMenuBar>
#include <QPainter>
#include <QScreen>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolBar>
#include <QUrl>
#include <QWidgetAction>

#include <algorithm>

#ifndef DL_VIEWER_VERSION
#define DL_VIEWER_VERSION "0.2"
#endif

namespace {

DLMainController::UrlOpener& urlOpener() {
    static DLMainController::UrlOpener opener = [](const QUrl& url) {
        return QDesktopServices::openUrl(url);
    };
    return opener;
}

// A toolbar spacer standing for the toolkit's flexible or fixed space item.
QWidget* makeSpacer(bool flexible, QWidget* parent) {
    auto* w = new QWidget(parent);
    if (flexible)
        w->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    else
        w->setFixedWidth(8);
    return w;
}

// Cells keep their text off the grid lines, so that right-aligned figures do
// not touch the table's edge.
class PaddedItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem cell(option);
        initStyleOption(&cell, index);
        const QWidget* view = cell.widget;
        QStyle* style = view ? view->style() : QApplication::style();
        // The background (alternate rows, selection) spans the whole cell...
        QStyleOptionViewItem background(cell);
        background.text.clear();
        style->drawControl(QStyle::CE_ItemViewItem, &background, painter, view);
        // ...and the text is drawn again inside it, moved in from both sides.
        cell.rect.adjust(kPadding, 0, -kPadding, 0);
        cell.backgroundBrush = Qt::NoBrush;
        cell.features &= ~QStyleOptionViewItem::Alternate;
        cell.state &= ~QStyle::State_HasFocus;
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, view);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return QStyledItemDelegate::sizeHint(option, index) + QSize(2 * kPadding, 0);
    }

private:
    static constexpr int kPadding = 3;
};

} // namespace

DLMainController::UrlOpener DLMainController::setUrlOpener(UrlOpener opener) {
    UrlOpener previous = std::move(urlOpener());
    urlOpener() =
        opener ? std::move(opener) : [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    return previous;
}

DLMainController::DLMainController(QObject* parent)
    : QObject(parent), ui_(std::make_unique<Ui::DLMainWindow>()) {
    // The images and the window description live in the viewer's resources,
    // which sit in a static library and so must be pulled in by name.
    Q_INIT_RESOURCE(resources);

    window_ = new QMainWindow;
    window_->setAttribute(Qt::WA_DeleteOnClose, false);
    ui_->setupUi(window_);

    totalLabel = ui_->totalLabel;
    connectionsView = ui_->connectionsView;
    aboutBox = ui_->aboutBox;
    exportMenuItem = ui_->exportMenuItem;
    clearMenuItem = ui_->clearMenuItem;
    port = ui_->port;
    clearButton = ui_->clearButton;
    exportButton = ui_->exportButton;
    locationMenu = ui_->locationMenu;
    prefsWindow = ui_->prefsWindow;
    autoStartCheckbox = ui_->autoStartCheckbox;

    ui_->aboutVersionLabel->setText(QStringLiteral("Version %1").arg(DL_VIEWER_VERSION));
    // The two panels are windows of their own, hidden until their command runs.
    aboutBox->hide();
    prefsWindow->hide();

    // The connection table's data source.
    tableModel_ = new DLConnectionsTableModel(DLConnections::sharedInstance(), this);
    connectionsView->setModel(tableModel_);
    // The date takes the room the window gives; the figures keep a steady width.
    QHeaderView* header = connectionsView->horizontalHeader();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->resizeSection(0, 44);
    for (int column = 2; column <= 4; ++column)
        header->resizeSection(column, 104);
    connectionsView->setItemDelegate(new PaddedItemDelegate(connectionsView));
    connectionsView->verticalHeader()->setDefaultSectionSize(
        connectionsView->fontMetrics().height() + 8);

    // What the description wires to the controller. User gestures only:
    // filling the pop-up or setting the check box from code sends nothing.
    connect(port, &QComboBox::activated, this, [this] { setPortPopup(); });
    connect(autoStartCheckbox, &QCheckBox::clicked, this, [this] { toggleAutoStart(); });
    connect(exportButton, &QPushButton::clicked, this, [this] { export_(); });
    connect(clearButton, &QPushButton::clicked, this, [this] { clearConnections(); });
    connect(exportMenuItem, &QAction::triggered, this, [this] { export_(); });
    connect(clearMenuItem, &QAction::triggered, this, [this] { clearConnections(); });
    connect(ui_->webPageMenuItem, &QAction::triggered, this, [this] { openWebPage(); });
    connect(ui_->emailMenuItem, &QAction::triggered, this, [this] { emailTheAuthor(); });
    for (QMenu* menu : window_->menuBar()->findChildren<QMenu*>())
        connect(menu, &QMenu::aboutToShow, this, [this, menu] { validateMenu(menu); });

    QtHooks::installDaemonHooks();
    QtHooks::installBeep();

    frameSaveTimer_ = new QTimer(this);
    frameSaveTimer_->setSingleShot(true);
    frameSaveTimer_->setInterval(400);
    connect(frameSaveTimer_, &QTimer::timeout, this, [this] { saveWindowFrame(); });
    window_->installEventFilter(this);
}

DLMainController::~DLMainController() {
    platform::NotificationCenter::shared().removeObserver(this);
    if (window_) {
        window_->removeEventFilter(this);
        delete window_;
    }
}

void DLMainController::awakeFromNib() {
    connections = &DLConnections::sharedInstance();

    setupToolbar();

    auto& center = platform::NotificationCenter::shared();
    center.observe(this, std::string(platform::kUpdateUI), [this] { reloadData(); });
    center.observe(this, std::string(platform::kNetworkConfigChange),
                   [this] { reloadSystemConfiguration(); });
    QtHooks::attachNotificationCenter(QCoreApplication::instance());

    // Every start of the viewer, whatever "Auto start" says.
    Daemon::launchIfNotRunning();

    loadSystemConfiguration();
    update();

    frameAutosaveName_ = QStringLiteral("window");
    restoreWindowFrame();

    platform::Preferences defaults{kDefaultsDomain};
    const platform::Value* autoStart = defaults.value(kAutoStartKey);
    autoStartCheckbox->setChecked(autoStart && autoStart->asBoolean().value_or(false));
}

void DLMainController::reloadSystemConfiguration() {
    DLConfiguration::reload();
    loadSystemConfiguration();
}

void DLMainController::loadSystemConfiguration() {
    while (!locationMenu->actions().isEmpty()) {
        QAction* first = locationMenu->actions().first();
        locationMenu->removeAction(first);
        first->deleteLater();
    }

    QStringList names;
    if (const platform::Dictionary* sets = DLConfiguration::configurations()) {
        for (const auto& [setID, location] : *sets) {
            const platform::Dictionary* d = location.asDictionary();
            const platform::Value* name = d ? d->find("UserDefinedName") : nullptr;
            // A location needs a name to be listed at all.
            if (name && name->asString())
                names << QString::fromStdString(*name->asString());
        }
    }
    std::stable_sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        return QString::compare(a, b, Qt::CaseInsensitive) < 0;
    });

    for (const QString& name : names) {
        auto* item = new QAction(locationMenu);
        // "&" would otherwise mark a shortcut letter; the title proper is
        // kept in the item's data.
        item->setText(QString(name).replace(QLatin1Char('&'), QLatin1String("&&")));
        item->setData(name);
        item->setCheckable(true);
        item->setChecked(false);
        connect(item, &QAction::triggered, this, [this, item](bool checked) {
            // A check mark changes only through menuConfChange, never by the
            // click itself.
            item->setChecked(!checked);
            menuConfChange(item);
        });
        locationMenu->addAction(item);
    }

    QAction* active = nullptr;
    if (auto activeName = DLConfiguration::activeConfigurationName()) {
        const QString wanted = QString::fromStdString(*activeName);
        for (QAction* item : locationMenu->actions()) {
            if (itemTitle(item) == wanted) {
                active = item;
                break;
            }
        }
    }
    menuConfChange(active);
}

void DLMainController::menuConfChange(QAction* item) {
    std::optional<QString> title;
    if (item)
        title = itemTitle(item);
    if (!item || title != selectedConfName_) {
        selectedConfName_ = title;
        for (QAction* a : locationMenu->actions())
            a->setChecked(false);
        if (item)
            item->setChecked(true);
    }

    std::vector<std::string> names;
    if (selectedConfName_)
        names = DLConfiguration::portsNamesForConfigurationName(selectedConfName_->toStdString());
    port->clear();
    for (const auto& name : names)
        port->addItem(QString::fromStdString(name));
    if (port->count() > 0)
        port->setCurrentIndex(0);
    setPortPopup();
}

void DLMainController::export_() {
    ModalPanels::SavePanel panel;
    panel.directory = QString::fromStdString(platform::homeDirectory());
    panel.proposedName = QStringLiteral("Connections.html");
    std::optional<QString> path = ModalPanels::runSavePanel(panel, window_);
    if (!path)
        return;
    const QString portName = port->currentIndex() >= 0 ? port->currentText() : QString();
    DLExporter::exportHTML(path->toStdString(), portName.toStdString(),
                           selectedConfName_.value_or(QString()).toStdString());
}

void DLMainController::clearConnections() {
    ModalPanels::Alert alert;
    alert.style = ModalPanels::AlertStyle::Warning;
    alert.title = QStringLiteral("Do you really want to clear the connections ?");
    alert.message = QStringLiteral("This can't be undone.");
    alert.defaultButton = QStringLiteral("Clear");
    alert.alternateButton = QStringLiteral("Cancel");
    if (ModalPanels::runAlert(alert, window_) != ModalPanels::AlertButton::Default)
        return;
    connections->deleteAll();
    update();
}

void DLMainController::setPortPopup() {
    reloadData();
}

void DLMainController::reloadData() {
    std::optional<std::string> key;
    if (port->currentIndex() >= 0 && selectedConfName_)
        key = DLConfiguration::keyForPortName(port->currentText().toStdString(),
                                              selectedConfName_->toStdString());
    if (!connections)
        connections = &DLConnections::sharedInstance();
    connections->setCurrentWithKey(key);
    update();
}

void DLMainController::update() {
    if (!connections)
        connections = &DLConnections::sharedInstance();
    tableModel_->reload();
    // The newest connection is the last row: keep it in sight.
    connectionsView->scrollToBottom();

    const uint32_t total = connections->total();
    totalLabel->setText(QString::asprintf(
        "%u connections, %s, %s down, %s up", total, connections->totalTime().c_str(),
        connections->totalIn().c_str(), connections->totalOut().c_str()));
    clearButton->setEnabled(total != 0);
    exportButton->setEnabled(total != 0);

    // The toolkit asks nobody before a shortcut fires, so the enabled state
    // of every command follows the model here rather than only when a menu opens.
    validateMenus();
    validateToolbar();
}

bool DLMainController::validateMenuItem(QAction* item) const {
    const QString title = item->text();
    if (title == QLatin1String("Export...") || title == QLatin1String("Clear"))
        return connections && connections->total() != 0;
    return true;
}

void DLMainController::openWebPage() {
    urlOpener()(QUrl(QString::fromLatin1(kWebPage)));
}

void DLMainController::emailTheAuthor() {
    const QString url = QStringLiteral("mailto:") + QLatin1String(kSupportAddress) +
                        QStringLiteral("?subject=v") + QLatin1String(DL_VIEWER_VERSION);
    urlOpener()(QUrl(url));
}

void DLMainController::toggleAutoStart() {
    const bool on = autoStartCheckbox->isChecked();
    if (on)
        Daemon::install();
    else
        Daemon::uninstall();
    platform::Preferences defaults{kDefaultsDomain};
    defaults.setValue(kAutoStartKey, platform::Value(on));
    defaults.synchronize();
}

void DLMainController::setupToolbar() {
    if (toolbar_)
        return;
    toolbar_ = new QToolBar(window_);
    toolbar_->setObjectName(QLatin1String(kToolbarIdentifier));
    toolbar_->setWindowTitle(QStringLiteral("Toolbar"));
    // No customisation: the toolbar cannot be moved, torn off or hidden.
    toolbar_->setMovable(false);
    toolbar_->setFloatable(false);
    toolbar_->setContextMenuPolicy(Qt::PreventContextMenu);
    toolbar_->toggleViewAction()->setVisible(false);
    // Icons only.
    toolbar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    toolbar_->setIconSize(QSize(28, 28));

    for (const QString& id : toolbarDefaultItemIdentifiers(toolbar_)) {
        if (id == QLatin1String(kSeparatorItem)) {
            toolbar_->addSeparator();
        } else if (id == QLatin1String(kFlexibleSpaceItem)) {
            toolbar_->addWidget(makeSpacer(true, toolbar_));
        } else if (id == QLatin1String(kSpaceItem)) {
            toolbar_->addWidget(makeSpacer(false, toolbar_));
        } else if (QAction* item = toolbarItemForItemIdentifier(toolbar_, id, true)) {
            toolbar_->addAction(item);
        }
    }
    window_->addToolBar(Qt::TopToolBarArea, toolbar_);
}

void DLMainController::showAboutBox() {}

QAction* DLMainController::toolbarItemForItemIdentifier(QToolBar* toolbar,
                                                        const QString& identifier, bool) {
    auto setUp = [&](QAction* item, const char* label, const char* paletteLabel,
                     const char* toolTip) {
        item->setObjectName(identifier);
        item->setText(QLatin1String(label));
        item->setIconText(QLatin1String(label));
        item->setProperty("paletteLabel", QLatin1String(paletteLabel));
        item->setToolTip(QLatin1String(toolTip));
    };
    if (identifier == QLatin1String(kExportItem)) {
        auto* item = new QAction(toolbar);
        setUp(item, "Export", "Export", "Export as an HTML document");
        item->setIcon(QIcon(QStringLiteral(":/images/export.svg")));
        connect(item, &QAction::triggered, this, [this] { export_(); });
        return item;
    }
    if (identifier == QLatin1String(kCleanItem)) {
        auto* item = new QAction(toolbar);
        setUp(item, "Clean", "Clean", "Clean");
        item->setIcon(QIcon(QStringLiteral(":/images/clean.svg")));
        connect(item, &QAction::triggered, this, [this] { clearConnections(); });
        return item;
    }
    if (identifier == QLatin1String(kPortItem)) {
        auto* item = new QWidgetAction(toolbar);
        setUp(item, "Select port", "Port", "Select the port");
        port->setMinimumSize(170, port->height());
        item->setDefaultWidget(port);
        return item;
    }
    return nullptr;
}

bool DLMainController::validateToolbarItem(QAction* item) const {
    const QString id = item->objectName();
    if (id == QLatin1String(kExportItem) || id == QLatin1String(kCleanItem))
        return connections && connections->total() != 0;
    return true;
}

QStringList DLMainController::toolbarDefaultItemIdentifiers(QToolBar*) const {
    return {QLatin1String(kExportItem),        QLatin1String(kCleanItem),
            QLatin1String(kSeparatorItem),     QLatin1String(kPortItem),
            QLatin1String(kFlexibleSpaceItem), QLatin1String(kSpaceItem)};
}

QStringList DLMainController::toolbarAllowedItemIdentifiers(QToolBar* toolbar) const {
    return toolbarDefaultItemIdentifiers(toolbar);
}

void DLMainController::validateMenus() {
    for (QMenu* menu : window_->menuBar()->findChildren<QMenu*>())
        validateMenu(menu);
}

void DLMainController::validateMenu(QMenu* menu) {
    for (QAction* item : menu->actions())
        if (!item->isSeparator() && !item->menu())
            item->setEnabled(validateMenuItem(item));
}

void DLMainController::validateToolbar() {
    if (!toolbar_)
        return;
    for (QAction* item : toolbar_->actions())
        if (!item->isSeparator())
            item->setEnabled(validateToolbarItem(item));
}

QString DLMainController::itemTitle(const QAction* item) {
    const QVariant data = item->data();
    return data.isValid() ? data.toString() : item->text();
}

bool DLMainController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_ && !frameAutosaveName_.isEmpty()) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            frameSaveTimer_->start();
            break;
        case QEvent::Close:
            frameSaveTimer_->stop();
            saveWindowFrame();
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void DLMainController::restoreWindowFrame() {
    platform::Preferences defaults{kDefaultsDomain};
    const platform::Value* v = defaults.value(kWindowFrameKey);
    if (!v || !v->asString())
        return;
    const QStringList parts =
        QString::fromStdString(*v->asString()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 4)
        return;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].toInt(&ok);
        if (!ok)
            return;
    }
    const QRect frame(values[0], values[1], values[2], values[3]);
    if (frame.width() < window_->minimumWidth() || frame.height() < window_->minimumHeight() ||
        frame.width() > 20000 || frame.height() > 20000)
        return;
    // A frame saved on a screen that is gone keeps its size but not its place.
    bool onScreen = false;
    for (QScreen* screen : QGuiApplication::screens())
        if (screen->availableGeometry().intersects(frame))
            onScreen = true;
    if (onScreen)
        window_->setGeometry(frame);
    else
        window_->resize(frame.size());
}

void DLMainController::saveWindowFrame() {
    if (frameAutosaveName_.isEmpty() || !window_ || !window_->isVisible())
        return;
    const QRect g = window_->geometry();
    const std::string frame = QStringLiteral("%1 %2 %3 %4")
                                  .arg(g.x())
                                  .arg(g.y())
                                  .arg(g.width())
                                  .arg(g.height())
                                  .toStdString();
    platform::Preferences defaults{kDefaultsDomain};
    const platform::Value* old = defaults.value(kWindowFrameKey);
    if (old && old->asString() && *old->asString() == frame)
        return;
    defaults.setValue(kWindowFrameKey, platform::Value(frame));
    defaults.synchronize();
}
