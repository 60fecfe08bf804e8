#include "viewer/DLConnectionsTableModel.h"

#include <climits>

DLConnectionsTableModel::DLConnectionsTableModel(DLConnections& connections, QObject* parent)
    : QAbstractTableModel(parent), source_(connections) {}

const QStringList& DLConnectionsTableModel::columnIdentifiers() {
    static const QStringList ids{QStringLiteral("index"), QStringLiteral("date"),
                                 QStringLiteral("time"), QStringLiteral("download"),
                                 QStringLiteral("upload")};
    return ids;
}

void DLConnectionsTableModel::reload() {
    beginResetModel();
    endResetModel();
}

int DLConnectionsTableModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    // A view counts rows in an int; a log that long cannot be shown whole anyway.
    return static_cast<int>(std::min<uint32_t>(source_.numberOfRowsInTableView(), INT_MAX));
}

int DLConnectionsTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(columnIdentifiers().size());
}

QVariant DLConnectionsTableModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.column() >= columnIdentifiers().size())
        return {};
    const QString& id = columnIdentifiers().at(index.column());
    switch (role) {
    case Qt::DisplayRole:
        // Asked per request: the date text is formatted each time, the others
        // come from the model's lists.
        return QString::fromStdString(source_.tableView(id.toStdString(), index.row()));
    case Qt::TextAlignmentRole:
        if (id == QLatin1String("date"))
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    default:
        return {};
    }
}

QVariant DLConnectionsTableModel::headerData(int section, Qt::Orientation orientation,
                                             int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= columnIdentifiers().size())
        return {};
    static const char* const titles[] = {"#", "Date", "Duration", "Down", "Up"};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(titles[section]);
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue((section == 1 ? Qt::AlignLeft : Qt::AlignRight) |
                                   Qt::AlignVCenter);
    return {};
}
