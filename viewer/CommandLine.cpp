#include "viewer/CommandLine.h"

#include "netconfig/DLConfiguration.h"
#include "platform/FileSystem.h"
#include "viewer/DLConnections.h"
#include "viewer/DLExporter.h"

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string_view>

#ifndef DL_VIEWER_VERSION
#define DL_VIEWER_VERSION "0.2"
#endif

namespace CommandLine {

Options parse(int argc, const char* const* argv) {
    Options o;
    bool reportOptionSeen = false;
    bool toolkitOptions = false;
    auto fail = [&](std::string message) {
        o.mode = Options::Mode::Error;
        o.error = std::move(message);
        return o;
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool hasInlineValue = false;
        if (arg.starts_with("--")) {
            if (auto eq = arg.find('='); eq != std::string_view::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                hasInlineValue = true;
            }
        }
        auto takeValue = [&](std::string_view name) -> std::optional<std::string> {
            if (hasInlineValue)
                return std::string(value);
            if (i + 1 >= argc)
                return std::nullopt;
            (void)name;
            return std::string(argv[++i]);
        };

        if (arg == "--help" || arg == "-h") {
            o.mode = Options::Mode::Help;
            return o;
        }
        if (arg == "--version") {
            o.mode = Options::Mode::Version;
            return o;
        }
        if (arg == "--report" || arg == "--location" || arg == "--port" || arg == "--output") {
            auto v = takeValue(arg);
            if (!v)
                return fail(std::string(arg) + " needs a value");
            reportOptionSeen = true;
            if (arg == "--report")
                o.format = *v;
            else if (arg == "--location")
                o.location = *v;
            else if (arg == "--port")
                o.port = *v;
            else
                o.output = *v;
            continue;
        }
        if (arg.starts_with("--"))
            return fail("unknown option " + std::string(arg));
        if (arg.starts_with("-") && arg.size() > 1) {
            // The toolkit's own, such as "-platform offscreen": left for it,
            // with the value that may follow.
            toolkitOptions = true;
            if (i + 1 < argc && argv[i + 1][0] != '-')
                ++i;
            continue;
        }
        return fail("unexpected argument " + std::string(arg));
    }

    if (!reportOptionSeen)
        return o;
    if (toolkitOptions)
        return fail("window options do not go with --report");
    if (o.format.empty())
        return fail("--report html|text is missing");
    if (o.format != "html" && o.format != "text")
        return fail("--report takes html or text, not " + o.format);
    if (o.location.empty())
        return fail("--location NAME is missing");
    if (o.port.empty())
        return fail("--port NAME is missing");
    if (o.output && o.output->empty())
        return fail("--output needs a file name");
    o.mode = Options::Mode::Report;
    return o;
}

void printHelp(std::ostream& out) {
    out << "Usage: dial-ledger [toolkit options]\n"
           "       dial-ledger --report html|text --location NAME --port NAME [--output FILE]\n"
           "\n"
           "Shows the ledger of this computer's PPP connections in a window, or writes\n"
           "the report of one port without opening any window.\n"
           "\n"
           "  --report FORMAT   html (the window's export) or text (tab-separated)\n"
           "  --location NAME   the network location, by the name the user sees\n"
           "  --port NAME       the PPP port of that location\n"
           "  --output FILE     write the report there instead of to standard output\n"
           "  --help            show this text\n"
           "  --version         show the version\n";
}

void printVersion(std::ostream& out) {
    out << "dial-ledger " << DL_VIEWER_VERSION << "\n";
}

int runReport(const Options& options, std::ostream& out, std::ostream& err) {
    if (!DLConfiguration::configurationNamed(options.location)) {
        err << "dial-ledger: no location named \"" << options.location << "\"\n";
        return 2;
    }
    auto key = DLConfiguration::keyForPortName(options.port, options.location);
    if (!key) {
        err << "dial-ledger: location \"" << options.location << "\" has no PPP port named \""
            << options.port << "\"\n";
        return 2;
    }

    DLConnections& connections = DLConnections::sharedInstance();
    connections.setCurrentWithKey(key);
    const std::string document =
        options.format == "html"
            ? DLExporter::htmlReport(connections, options.port, options.location)
            : DLExporter::textReport(connections);

    if (!options.output) {
        out << document;
        out.flush();
        return out ? 0 : 1;
    }
    if (!platform::writeFileAtomically(*options.output, document)) {
        const int e = errno;
        err << "dial-ledger: cannot write " << *options.output;
        if (e != 0)
            err << ": " << std::strerror(e);
        err << "\n";
        return 1;
    }
    return 0;
}

} // namespace CommandLine
