// Ties the toolkit-free layers to Qt's event loop: the notification centre's
// bus connection, the launcher's timer and alert, the exporter's beep.
#pragma once

class QObject;

namespace QtHooks {

// Watches the notification centre's bus connection with a socket notifier, so
// that observed notifications reach their handlers on Qt's main thread. Safe
// to call more than once; does nothing without a session bus.
void attachNotificationCenter(QObject* owner);
// Gives the agent launcher a QTimer for its wait and the modal-panel seam for
// its alert.
void installDaemonHooks();
// Failed exports sound the toolkit's beep.
void installBeep();

} // namespace QtHooks
