// dial-ledger: the Dial Ledger window, or a report written from the command line.
#include "platform/Log.h"
#include "viewer/CommandLine.h"
#include "viewer/DLMainController.h"

#include <QApplication>
#include <QIcon>
#include <QMainWindow>

#include <iostream>

int main(int argc, char** argv) {
    const CommandLine::Options options = CommandLine::parse(argc, argv);
    switch (options.mode) {
    case CommandLine::Options::Mode::Help:
        CommandLine::printHelp(std::cout);
        return 0;
    case CommandLine::Options::Mode::Version:
        CommandLine::printVersion(std::cout);
        return 0;
    case CommandLine::Options::Mode::Error:
        std::cerr << "dial-ledger: " << options.error << " (see dial-ledger --help)\n";
        return 2;
    case CommandLine::Options::Mode::Report:
        platform::openLog("Dial Ledger");
        return CommandLine::runReport(options, std::cout, std::cerr);
    case CommandLine::Options::Mode::Window:
        break;
    }

    platform::openLog("Dial Ledger");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Dial Ledger"));
    QApplication::setApplicationVersion(QStringLiteral(DL_VIEWER_VERSION));
    QApplication::setOrganizationDomain(QStringLiteral("example.com"));
    QGuiApplication::setDesktopFileName(QStringLiteral("dial-ledger"));

    DLMainController controller;
    QApplication::setWindowIcon(controller.window()->windowIcon());
    controller.awakeFromNib();
    controller.window()->show();
    return app.exec();
}
