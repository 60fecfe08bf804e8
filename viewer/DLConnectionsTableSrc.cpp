#include "viewer/DLConnectionsTableSrc.h"

std::string DLConnectionsTableSrc::tableView(std::string_view columnIdentifier, int32_t row) const {
    // Compared unsigned, so a negative row lands beyond the end.
    if (static_cast<uint32_t>(row) >= connections_.total())
        return {};
    if (columnIdentifier == "index")
        return std::to_string(static_cast<int64_t>(row) + 1);
    return connections_.objectForKey(columnIdentifier, row).value_or(std::string());
}
