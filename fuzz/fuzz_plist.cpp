// The property-list reader, from memory and from a file, array and dictionary
// roots alike. Beyond "does not crash", it holds the reader to its promises:
// both routes agree, whatever the writer produces reads back, and a second
// write of what was read is the same text (the writer's output is stable).
// What parses is also handed to the controller's link-file checker, which
// walks untrusted values the same way.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "controller/SimulatedLinks.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Plist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string file = fuzzsupport::PrivateRoot::instance().path() + "/input.plist";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::optional<platform::Value> value = platform::parse(bytes);

    fuzzsupport::writeBytes(file, bytes);
    const auto array = platform::readArrayFile(file);
    const auto dictionary = platform::readDictionaryFile(file);
    const bool isArray = value && value->asArray();
    const bool isDictionary = value && value->asDictionary();
    FUZZ_CHECK(array.has_value() == isArray, "file and memory disagree on an array root");
    FUZZ_CHECK(dictionary.has_value() == isDictionary,
               "file and memory disagree on a dictionary root");
    // Values are compared through their text: NaN is never equal to itself.
    if (isArray)
        FUZZ_CHECK(platform::toXml(platform::Value(*array)) == platform::toXml(*value),
                   "the array read from the file differs");
    if (isDictionary)
        FUZZ_CHECK(platform::toXml(platform::Value(*dictionary)) == platform::toXml(*value),
                   "the dictionary read from the file differs");
    if (!value)
        return 0;

    // The writer may normalise (text that is not UTF-8, keys that become one),
    // but whatever it writes must read back, and writing that again must not
    // change a byte.
    const std::string first = platform::toXml(*value);
    const auto reread = platform::parse(first);
    FUZZ_CHECK(reread.has_value(), "the writer's output does not parse");
    const std::string second = platform::toXml(*reread);
    const auto again = platform::parse(second);
    FUZZ_CHECK(again.has_value(), "the rewritten output does not parse");
    FUZZ_CHECK(platform::toXml(*again) == second, "writing what was read changes the text");

    std::string error;
    const auto links = controller::SimulatedLinks::parseConfig(*value, error);
    FUZZ_CHECK(links.has_value() || !error.empty(), "a refused link file without a reason");
    return 0;
}
