// The connection table's Qt model: a thin adapter over DLConnectionsTableSrc,
// one column per identifier ("index", "date", "time", "download", "upload").
#pragma once

#include "viewer/DLConnectionsTableSrc.h"

#include <QAbstractTableModel>
#include <QStringList>

class DLConnectionsTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit DLConnectionsTableModel(DLConnections& connections, QObject* parent = nullptr);

    // Column identifiers in display order.
    static const QStringList& columnIdentifiers();
    // Has the view ask for every row and cell again.
    void reload();

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    DLConnectionsTableSrc source_;
};
