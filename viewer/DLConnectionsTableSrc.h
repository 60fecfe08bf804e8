// The connection table's data source as plain operations: the window's table
// model forwards its row count and cell requests here.
#pragma once

#include "viewer/DLConnections.h"

#include <cstdint>
#include <string>
#include <string_view>

class DLConnectionsTableSrc {
public:
    explicit DLConnectionsTableSrc(DLConnections& connections = DLConnections::sharedInstance())
        : connections_(connections) {}

    // Number of rows: the model's number of connections.
    uint32_t numberOfRowsInTableView() const { return connections_.total(); }
    // The text of one cell. Column "index" gives the row number counted from 1;
    // the other columns come from the model. A row out of range, a negative one
    // included, and a cell the model has no text for give the empty string.
    std::string tableView(std::string_view columnIdentifier, int32_t row) const;

    DLConnections& connections() const { return connections_; }

private:
    DLConnections& connections_;
};
