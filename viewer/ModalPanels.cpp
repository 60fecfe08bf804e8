#include "viewer/ModalPanels.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

#include <deque>

namespace ModalPanels {
namespace {

struct Seam {
    std::deque<AlertButton> alertAnswers;
    std::deque<std::optional<QString>> savePanelAnswers;
    std::vector<Alert> alerts;
    std::vector<SavePanel> savePanels;
};

Seam& seam() {
    static Seam s;
    return s;
}

} // namespace

AlertButton runAlert(const Alert& alert, QWidget* parent) {
    Seam& s = seam();
    if (!s.alertAnswers.empty()) {
        AlertButton answer = s.alertAnswers.front();
        s.alertAnswers.pop_front();
        s.alerts.push_back(alert);
        return answer;
    }

    QMessageBox box(parent);
    box.setWindowTitle(QStringLiteral("Dial Ledger"));
    box.setIcon(alert.style == AlertStyle::Critical ? QMessageBox::Critical : QMessageBox::Warning);
    box.setText(QStringLiteral("<b>%1</b>").arg(alert.title.toHtmlEscaped()));
    box.setTextFormat(Qt::RichText);
    box.setInformativeText(alert.message);
    box.setWindowModality(Qt::ApplicationModal);
    QPushButton* defaultButton = box.addButton(alert.defaultButton, QMessageBox::AcceptRole);
    QPushButton* alternateButton = nullptr;
    QPushButton* otherButton = nullptr;
    if (!alert.otherButton.isEmpty())
        otherButton = box.addButton(alert.otherButton, QMessageBox::DestructiveRole);
    if (!alert.alternateButton.isEmpty()) {
        alternateButton = box.addButton(alert.alternateButton, QMessageBox::RejectRole);
        box.setEscapeButton(alternateButton);
    }
    box.setDefaultButton(defaultButton);
    box.exec();
    QAbstractButton* clicked = box.clickedButton();
    if (clicked == defaultButton)
        return AlertButton::Default;
    if (otherButton && clicked == otherButton)
        return AlertButton::Other;
    // Closing the panel any other way is the same as declining.
    return alternateButton ? AlertButton::Alternate : AlertButton::Default;
}

std::optional<QString> runSavePanel(const SavePanel& panel, QWidget* parent) {
    Seam& s = seam();
    if (!s.savePanelAnswers.empty()) {
        std::optional<QString> answer = s.savePanelAnswers.front();
        s.savePanelAnswers.pop_front();
        s.savePanels.push_back(panel);
        return answer;
    }

    QFileDialog dialog(parent, QStringLiteral("Export"), panel.directory);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(panel.proposedName);
    dialog.setWindowModality(Qt::ApplicationModal);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

void answerNextAlert(AlertButton button) {
    seam().alertAnswers.push_back(button);
}
void answerNextSavePanel(std::optional<QString> path) {
    seam().savePanelAnswers.push_back(std::move(path));
}
const std::vector<Alert>& alertsShown() {
    return seam().alerts;
}
const std::vector<SavePanel>& savePanelsShown() {
    return seam().savePanels;
}

void reset() {
    Seam& s = seam();
    s.alertAnswers.clear();
    s.savePanelAnswers.clear();
    s.alerts.clear();
    s.savePanels.clear();
}

} // namespace ModalPanels
