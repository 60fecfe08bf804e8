// dial-ledger's command line: the window (no arguments but the toolkit's own),
// or a report written without any window:
//   dial-ledger --report html|text --location NAME --port NAME [--output FILE]
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

namespace CommandLine {

struct Options {
    enum class Mode { Window, Report, Help, Version, Error };
    Mode mode = Mode::Window;
    std::string format; // "html" or "text"
    std::string location;
    std::string port;
    std::optional<std::string> output;
    std::string error; // Mode::Error: what is wrong, one line
};

// Reads the arguments. Options of the toolkit (a single dash: -platform, -style)
// are left for it in window mode.
Options parse(int argc, const char* const* argv);

void printHelp(std::ostream& out);
void printVersion(std::ostream& out);

// Writes the report of one port of one location to the output file or to
// `out`. Returns the exit status: 0, 2 for an unknown location or port, 1 when
// the file cannot be written. Errors are one line on `err`.
int runReport(const Options& options, std::ostream& out, std::ostream& err);

} // namespace CommandLine
