// The viewer's modal panels (alerts and the save panel) behind one small seam:
// a test sets the answer of the next panel, then triggers the action; the panel
// is then recorded instead of shown. With no answer set the real panel runs.
#pragma once

#include <QString>

#include <optional>
#include <vector>

class QWidget;

namespace ModalPanels {

enum class AlertStyle { Warning, Critical };
// Which button ended an alert.
enum class AlertButton { Default, Alternate, Other };

struct Alert {
    AlertStyle style = AlertStyle::Warning;
    QString title;
    QString message;
    QString defaultButton;
    QString alternateButton; // empty: no such button
    QString otherButton;     // empty: no such button
};

struct SavePanel {
    QString directory;
    QString proposedName;
};

// Runs an application-modal alert and tells which button ended it.
AlertButton runAlert(const Alert& alert, QWidget* parent = nullptr);
// Runs a save panel; the chosen path, or nothing when it was cancelled.
std::optional<QString> runSavePanel(const SavePanel& panel, QWidget* parent = nullptr);

// Test seam: queue the answers of the next panels (first in, first out).
void answerNextAlert(AlertButton button);
void answerNextSavePanel(std::optional<QString> path);
// The panels answered from the queue so far.
const std::vector<Alert>& alertsShown();
const std::vector<SavePanel>& savePanelsShown();
// Forgets queued answers and recorded panels.
void reset();

} // namespace ModalPanels
