#include "viewer/QtHooks.h"

#include "platform/Notifications.h"
#include "viewer/DLExporter.h"
#include "viewer/Daemon.h"
#include "viewer/ModalPanels.h"

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

namespace QtHooks {
namespace {

class QtTimer final : public Daemon::Timer {
public:
    QtTimer(double seconds, std::function<void()> fire)
        : timer_(new QTimer(QCoreApplication::instance())) {
        timer_->setSingleShot(true);
        timer_->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer_, &QTimer::timeout, timer_, std::move(fire));
        timer_->start(static_cast<int>(seconds * 1000.0));
    }
    ~QtTimer() override {
        // The timer may be destroyed from inside its own timeout handler.
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
        }
    }

private:
    QPointer<QTimer> timer_;
};

} // namespace

void attachNotificationCenter(QObject* owner) {
    static QPointer<QSocketNotifier> notifier;
    if (notifier)
        return;
    auto& center = platform::NotificationCenter::shared();
    const int fd = center.fd();
    if (fd < 0)
        return;
    notifier = new QSocketNotifier(fd, QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier,
                     [] { platform::NotificationCenter::shared().processPending(); });
    // Anything already read off the socket (while a call waited for its reply)
    // would not wake the notifier; hand it out once the loop runs.
    QTimer::singleShot(0, notifier,
                       [] { platform::NotificationCenter::shared().processPending(); });
}

void installDaemonHooks() {
    Daemon::setTimerFactory([](double seconds, std::function<void()> fire) {
        return std::unique_ptr<Daemon::Timer>(new QtTimer(seconds, std::move(fire)));
    });
    Daemon::setCriticalAlert(
        [](const std::string& title, const std::string& message, const std::string& button) {
            ModalPanels::Alert alert;
            alert.style = ModalPanels::AlertStyle::Critical;
            alert.title = QString::fromStdString(title);
            alert.message = QString::fromStdString(message);
            alert.defaultButton = QString::fromStdString(button);
            ModalPanels::runAlert(alert, QApplication::activeWindow());
        });
}

void installBeep() {
    DLExporter::setBeep([] { QApplication::beep(); });
}

} // namespace QtHooks
