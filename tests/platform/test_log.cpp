// Outside text escaped for a log line.
#include "platform/Log.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Printable, EscapesControlBytesAndKeepsTheRest) {
    struct Case {
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"", ""},
        {"SVC-MODEM", "SVC-MODEM"},
        {std::string("a\0b", 3), "a\\x00b"},
        {"line\nbreak\r\t", "line\\x0abreak\\x0d\\x09"},
        {"\x1f\x20\x7e\x7f", "\\x1f ~\\x7f"},
        // Bytes above ASCII (UTF-8 names) pass unchanged.
        {"Caf\xc3\xa9 \x80\xff", "Caf\xc3\xa9 \x80\xff"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::printable(c.in), c.out) << c.out;
}

} // namespace
