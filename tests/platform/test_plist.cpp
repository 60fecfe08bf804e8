#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Plist.h"

#include "TempDir.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <plist/plist.h>

using namespace platform;

namespace {

constexpr int64_t kAppleEpoch = 978307200;

Dictionary everyKind() {
    Dictionary d;
    d.set("zero", Value(uint32_t(0)));
    d.set("uint32Max", Value(uint32_t(4294967295u)));
    d.set("negative", Value(int64_t(-42)));
    d.set("int64Min", Value(std::numeric_limits<int64_t>::min()));
    d.set("int64Max", Value(std::numeric_limits<int64_t>::max()));
    d.set("aboveInt64", Value(uint64_t(std::numeric_limits<int64_t>::max()) + 1));
    d.set("uint64Max", Value(std::numeric_limits<uint64_t>::max()));
    d.set("real", Value(1.0 / 3.0));
    d.set("tiny", Value(5e-324));
    d.set("infinity", Value(std::numeric_limits<double>::infinity()));
    d.set("minusInfinity", Value(-std::numeric_limits<double>::infinity()));
    d.set("yes", Value(true));
    d.set("no", Value(false));
    d.set("epoch", Value(Date{0}));
    d.set("before1970", Value(Date{-315619200})); // 1960-01-01
    d.set("after2038", Value(Date{2524608000}));  // 2050-01-01
    d.set("year3000", Value(Date{32503680000}));
    d.set("year1000", Value(Date{-30610224000}));
    d.set("data", Value(Data{0, 1, 2, 0xfe, 0xff}));
    d.set("emptyData", Value(Data{}));
    d.set(
        "string",
        Value("caf\xc3\xa9 <&> ]]> \"quoted\" 'single' \t tab\nnewline\r\nCRLF \xf0\x9f\x93\x9e"));
    d.set("emptyString", Value(""));
    d.set("emptyArray", Value(Array{}));
    d.set("emptyDict", Value(Dictionary{}));
    Dictionary inner;
    inner.set("b", Value(1));
    inner.set("a", Value(Array{Value("x"), Value(Array{Value(2)})}));
    d.set("nested", Value(inner));
    d.set("key <with> &markup;", Value("v"));
    return d;
}

} // namespace

TEST(Plist, EveryValueKindSurvivesAFileRoundTripWithKeyOrder) {
    testutil::TempDir dir;
    const std::string path = dir / "all.plist";
    const Dictionary original = everyKind();
    ASSERT_TRUE(writeXmlFile(path, Value(original)));
    auto read = readDictionaryFile(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, original);
    EXPECT_EQ(read->keys(), original.keys());

    EXPECT_EQ(read->find("uint32Max")->asUnsigned(), 4294967295u);
    EXPECT_EQ(read->find("uint32Max")->asInteger(), 4294967295);
    EXPECT_EQ(read->find("uint64Max")->asUnsigned(), std::numeric_limits<uint64_t>::max());
    EXPECT_FALSE(read->find("uint64Max")->asInteger());
    EXPECT_EQ(read->find("negative")->asInteger(), -42);
    EXPECT_FALSE(read->find("negative")->asUnsigned());
    EXPECT_EQ(read->find("year3000")->asDate()->seconds, 32503680000);
}

TEST(Plist, NanRoundTrips) {
    auto v = parse(toXml(Value(Array{Value(std::nan(""))})));
    ASSERT_TRUE(v && v->asArray());
    EXPECT_TRUE(std::isnan(*v->asArray()->at(0).asReal()));
}

TEST(Plist, WritesTheStandardXmlForm) {
    Dictionary record;
    record.set("date", Value(Date{1700000000}));
    record.set("timeElapsed", Value(uint32_t(4294967295u)));
    record.set("big", Value(std::numeric_limits<uint64_t>::max()));
    const std::string xml = toXml(Value(Array{Value(record)}));
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u);
    EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);
    EXPECT_NE(xml.find("<date>2023-11-14T22:13:20Z</date>"), std::string::npos);
    EXPECT_NE(xml.find("<integer>4294967295</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<integer>18446744073709551615</integer>"), std::string::npos);
    EXPECT_EQ(xml.substr(xml.size() - 9), "</plist>\n");
}

TEST(Plist, DatesAreFormattedExactlyAndFarDatesAreClamped) {
    struct Case {
        int64_t seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {2147483648, "2038-01-19T03:14:08Z"},
        {4102444800, "2100-01-01T00:00:00Z"},
        {-62135596800, "0001-01-01T00:00:00Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
        // Beyond four year digits: the nearest date the form can spell.
        {std::numeric_limits<int64_t>::max(), "9999-12-31T23:59:59Z"},
        {std::numeric_limits<int64_t>::min(), "0001-01-01T00:00:00Z"},
    };
    for (const auto& c : cases) {
        const std::string xml = toXml(Value(Array{Value(Date{c.seconds})}));
        EXPECT_NE(xml.find(std::string("<date>") + c.text + "</date>"), std::string::npos)
            << c.seconds;
        auto back = parse(xml);
        ASSERT_TRUE(back) << c.text;
        auto parsed = back->asArray()->at(0).asDate()->seconds;
        if (c.seconds >= -62135596800 && c.seconds <= 253402300799) {
            EXPECT_EQ(parsed, c.seconds) << c.text;
        }
    }
    // A fraction of a second is accepted and dropped.
    auto v = parse("<plist version=\"1.0\"><date>2001-01-01T00:00:00.75Z</date></plist>");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->asDate()->seconds, kAppleEpoch);
}

// The format's own library must read what we write, and we must read what it
// writes: connection logs and preferences are exchanged with other tools.
TEST(Plist, AgreesWithLibplist) {
    Dictionary record;
    record.set("date", Value(Date{1700000000}));
    record.set("timeElapsed", Value(uint32_t(4294967295u)));
    record.set("name", Value("caf\xc3\xa9 & <b>"));
    record.set("flag", Value(true));
    record.set("bytes", Value(Data{1, 2, 3}));
    const std::string xml = toXml(Value(Array{Value(record)}));

    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    ASSERT_NE(root, nullptr);
    ASSERT_EQ(plist_get_node_type(root), PLIST_ARRAY);
    plist_t dict = plist_array_get_item(root, 0);
    uint64_t elapsed = 0;
    plist_get_uint_val(plist_dict_get_item(dict, "timeElapsed"), &elapsed);
    EXPECT_EQ(elapsed, 4294967295u);
    int32_t sec = 0, usec = 0;
    plist_get_date_val(plist_dict_get_item(dict, "date"), &sec, &usec);
    EXPECT_EQ(int64_t(sec) + kAppleEpoch, 1700000000);
    char* name = nullptr;
    plist_get_string_val(plist_dict_get_item(dict, "name"), &name);
    EXPECT_STREQ(name, "caf\xc3\xa9 & <b>");
    free(name);

    // And back: libplist's own XML and binary forms read as the same value.
    char* out = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &out, &length);
    auto fromXml = parse(std::string_view(out, length));
    free(out);
    out = nullptr;
    plist_to_bin(root, &out, &length);
    ASSERT_NE(out, nullptr);
    auto fromBinary = parse(std::string_view(out, length));
    free(out);
    plist_free(root);
    const Value expected(Array{Value(record)});
    ASSERT_TRUE(fromXml);
    EXPECT_EQ(*fromXml, expected);
    ASSERT_TRUE(fromBinary);
    EXPECT_EQ(*fromBinary, expected);
}

TEST(Plist, ReadsWhatOtherWritersProduce) {
    const char* text =
        "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"x.dtd\">\n"
        "<!-- a comment -->\n"
        "<plist version='1.0'>\n"
        "<dict>\n"
        "  <key>a</key> <!-- between --> <string>x &#x41;&#66;&apos;<![CDATA[<raw>]]></string>\n"
        "  <key>b</key><integer> 0x10 </integer>\n"
        "  <key>c</key><true></true>\n"
        "  <key>d</key><string/>\n"
        "  <key>e</key><real>+2.5e1</real>\n"
        "  <key>f</key><data>\n AAEC\n  /w==\n</data>\n"
        "  <key>a</key><string>last</string>\n"
        "</dict>\n"
        "</plist>\n";
    auto v = parse(text);
    ASSERT_TRUE(v);
    const Dictionary& d = *v->asDictionary();
    // A key given twice keeps its first place and its last value.
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(*d.find("a")->asString(), "last");
    EXPECT_EQ(d.find("b")->asInteger(), 16);
    EXPECT_EQ(d.find("c")->asBoolean(), true);
    EXPECT_EQ(*d.find("d")->asString(), "");
    EXPECT_EQ(d.find("e")->asReal(), 25.0);
    EXPECT_EQ(*d.find("f")->asData(), (Data{0, 1, 2, 0xff}));

    auto entities = parse("<plist><string>x &#x41;&#66;&apos;<![CDATA[<raw>]]></string></plist>");
    ASSERT_TRUE(entities);
    EXPECT_EQ(*entities->asString(), "x AB'<raw>");
}

TEST(Plist, InvalidUtf8IsKeptOnReadAndReplacedOnWrite) {
    // Bytes are kept as read: nothing is lost from a file another program wrote.
    auto v = parse("<plist><array><string>a\xff\xfe"
                   "b\xc3</string></array></plist>");
    ASSERT_TRUE(v);
    EXPECT_EQ(*v->asArray()->at(0).asString(), "a\xff\xfe"
                                               "b\xc3");
    // Written, they become U+FFFD so the file stays well-formed XML.
    const std::string xml = toXml(*v);
    EXPECT_NE(xml.find("a\xEF\xBF\xBD\xEF\xBF\xBD"
                       "b\xEF\xBF\xBD</string>"),
              std::string::npos);
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    EXPECT_NE(root, nullptr);
    plist_free(root);
    // Control characters that XML cannot carry are replaced as well.
    EXPECT_NE(toXml(Value("a\x01"
                          "b"))
                  .find("a\xEF\xBF\xBD"
                        "b"),
              std::string::npos);
}

namespace {

// A binary property list of `count` arrays, each holding references to the
// objects listed by `children(i)`.
std::string binaryPlist(size_t count,
                        const std::function<std::vector<uint32_t>(uint32_t)>& children) {
    std::string out = "bplist00";
    std::vector<uint32_t> offsets;
    for (uint32_t i = 0; i < count; ++i) {
        offsets.push_back(static_cast<uint32_t>(out.size()));
        auto refs = children(i);
        out += static_cast<char>(0xA0 | refs.size());
        for (uint32_t r : refs)
            for (int b = 3; b >= 0; --b)
                out += static_cast<char>(r >> (8 * b));
    }
    const uint64_t tableOffset = out.size();
    for (uint32_t off : offsets)
        for (int b = 3; b >= 0; --b)
            out += static_cast<char>(off >> (8 * b));
    std::string trailer(32, '\0');
    trailer[6] = 4; // offset size
    trailer[7] = 4; // reference size
    auto put = [&](size_t at, uint64_t v) {
        for (int b = 0; b < 8; ++b)
            trailer[at + b] = static_cast<char>(v >> (8 * (7 - b)));
    };
    put(8, count);
    put(16, 0);
    put(24, tableOffset);
    return out + trailer;
}

std::string nested(const char* open, const char* close, size_t depth) {
    std::string s = "<plist version=\"1.0\">";
    for (size_t i = 0; i < depth; ++i)
        s += open;
    for (size_t i = 0; i < depth; ++i)
        s += close;
    return s + "</plist>";
}

} // namespace

// Every way a file can fail to be the array asked for reads as nothing, with
// no message, no crash and no unbounded work.
TEST(Plist, BadInputReadsAsNothing) {
    testutil::TempDir dir;
    Dictionary record;
    record.set("date", Value(Date{1700000000}));
    record.set("inBytes", Value(uint32_t(7)));
    const std::string good = toXml(Value(Array{Value(record), Value(record)}));
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919 + 13) & 0xff);

    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"empty file", ""},
        {"garbage bytes", garbage},
        {"white space only", "  \n\t "},
        {"cut in half", good.substr(0, good.size() / 2)},
        {"last byte missing", good.substr(0, good.size() - 2)},
        {"dictionary root", toXml(Value(record))},
        {"string root", toXml(Value("x"))},
        {"empty plist element", "<plist version=\"1.0\"/>"},
        {"two roots", "<plist><array/><array/></plist>"},
        {"trailing garbage", good + "<array/>"},
        {"text after the root", good + "junk"},
        {"100000 nested arrays", nested("<array>", "</array>", 100000)},
        {"100000 nested dictionaries", nested("<dict><key>k</key>", "</dict>", 100000)},
        {"unclosed nesting", nested("<array>", "", 100000)},
        {"integer over 64 bits",
         "<plist><array><integer>18446744073709551616</integer></array></plist>"},
        {"negative integer over 64 bits",
         "<plist><array><integer>-9223372036854775809</integer></array></plist>"},
        {"integer with junk", "<plist><array><integer>12ab</integer></array></plist>"},
        {"year beyond four digits",
         "<plist><array><date>10000-01-01T00:00:00Z</date></array></plist>"},
        {"huge year",
         "<plist><array><date>99999999999999999999-01-01T00:00:00Z</date></array></plist>"},
        {"no such day", "<plist><array><date>2023-02-29T00:00:00Z</date></array></plist>"},
        {"real out of range", "<plist><array><real>1e999</real></array></plist>"},
        {"unknown element", "<plist><array><float>1</float></array></plist>"},
        {"mismatched end tag", "<plist><array><string>x</key></array></plist>"},
        {"value without key", "<plist><array><dict><string>x</string></dict></array></plist>"},
        {"key without value", "<plist><array><dict><key>x</key></dict></array></plist>"},
        {"key in an array", "<plist><array><key>x</key></array></plist>"},
        {"unknown entity", "<plist><array><string>&nbsp;</string></array></plist>"},
        {"NUL character reference", "<plist><array><string>&#0;</string></array></plist>"},
        {"surrogate reference", "<plist><array><string>&#xD800;</string></array></plist>"},
        {"unterminated comment", "<plist><array><!-- </array></plist>"},
        {"unterminated CDATA", "<plist><array><string><![CDATA[x</string></array></plist>"},
        {"bad base64", "<plist><array><data>!!!!</data></array></plist>"},
        {"binary garbage", "bplist00" + garbage},
        {"binary cut short", "bplist00\xa0"},
        {"binary cycle", binaryPlist(1, [](uint32_t) { return std::vector<uint32_t>{0}; })},
        {"100000 nested binary arrays", binaryPlist(100000,
                                                    [](uint32_t i) {
                                                        return i + 1 < 100000
                                                                   ? std::vector<uint32_t>{i + 1}
                                                                   : std::vector<uint32_t>{};
                                                    })},
        {"binary objects shared 2^60 times",
         binaryPlist(
             61,
             [](uint32_t i) {
                 return i < 60 ? std::vector<uint32_t>{i + 1, i + 1} : std::vector<uint32_t>{};
             })},
    };
    LogCapture log;
    for (const auto& c : cases) {
        const std::string path = dir / "case.plist";
        ASSERT_TRUE(writeFileAtomically(path, c.bytes));
        EXPECT_FALSE(readArrayFile(path)) << c.what;
    }
    EXPECT_FALSE(readArrayFile(dir / "missing.plist"));
    EXPECT_FALSE(readArrayFile(dir.path())) << "a folder";
    EXPECT_FALSE(readDictionaryFile(dir / "missing.plist"));
    ASSERT_TRUE(writeXmlFile(dir / "array.plist", Value(Array{})));
    EXPECT_FALSE(readDictionaryFile(dir / "array.plist")) << "array root read as dictionary";
    EXPECT_TRUE(readArrayFile(dir / "array.plist"));
    EXPECT_TRUE(log.lines().empty());

    // Nesting that real files use still reads.
    EXPECT_TRUE(parse(nested("<array>", "</array>", 100)));
    EXPECT_TRUE(parse(binaryPlist(100, [](uint32_t i) {
        return i + 1 < 100 ? std::vector<uint32_t>{i + 1} : std::vector<uint32_t>{};
    })));
}

namespace {

// A binary property list of one dictionary with one entry; the key and the
// value are given as whole objects (marker byte and contents).
std::string binaryDictionary(const std::string& keyObject, const std::string& valueObject) {
    std::string out = "bplist00";
    out += "\xD1\x01\x02"; // a dictionary of one entry: key object 1, value object 2
    const size_t keyAt = out.size();
    out += keyObject;
    const size_t valueAt = out.size();
    out += valueObject;
    const size_t tableOffset = out.size();
    out += static_cast<char>(8);
    out += static_cast<char>(keyAt);
    out += static_cast<char>(valueAt);
    std::string trailer(32, '\0');
    trailer[6] = 1;  // offset size
    trailer[7] = 1;  // reference size
    trailer[15] = 3; // objects
    trailer[31] = static_cast<char>(tableOffset);
    return out + trailer;
}

std::string asciiObject(std::string_view text) {
    return static_cast<char>(0x50 | text.size()) + std::string(text);
}

// UTF-16 (big-endian) code units of 7-bit text.
std::string utf16Object(std::string_view text) {
    std::string out(1, static_cast<char>(0x60 | text.size()));
    for (char c : text) {
        out += '\0';
        out += c;
    }
    return out;
}

} // namespace

// NUL characters inside binary strings: libplist aborts the process when asked
// for such a string the usual way, so a crafted log must never get that far.
TEST(Plist, BinaryStringsWithNulCharacters) {
    const std::string withNul("a\0b", 3);
    for (const auto& value : {asciiObject(withNul), utf16Object(withNul)}) {
        auto v = parse(binaryDictionary(asciiObject("k"), value));
        ASSERT_TRUE(v && v->asDictionary());
        const Value* text = v->asDictionary()->find("k");
        ASSERT_TRUE(text && text->asString());
        // libplist itself cuts 8-bit strings at the NUL and keeps UTF-16 ones whole.
        EXPECT_TRUE(*text->asString() == withNul || *text->asString() == "a")
            << testing::PrintToString(*text->asString());
    }
    // A key cannot carry one through libplist: the file reads as nothing.
    EXPECT_FALSE(parse(binaryDictionary(asciiObject(withNul), asciiObject("v"))));
    EXPECT_FALSE(parse(binaryDictionary(utf16Object(withNul), asciiObject("v"))));
    // The same file with a plain key reads.
    auto plain = parse(binaryDictionary(utf16Object("ab"), asciiObject("v")));
    ASSERT_TRUE(plain && plain->asDictionary());
    EXPECT_TRUE(plain->asDictionary()->contains("ab"));
}

TEST(Plist, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
    Dictionary d;
    d.set("b", Value(1));
    d.set("a", Value(2));
    d.set("c", Value(3));
    d.set("a", Value(4));
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(d.find("a")->asInteger(), 4);
    EXPECT_TRUE(d.erase("b"));
    EXPECT_FALSE(d.erase("b"));
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"a", "c"}));

    // Equality does not depend on order; values of different kinds differ.
    Dictionary e;
    e.set("c", Value(3));
    e.set("a", Value(4));
    EXPECT_EQ(d, e);
    EXPECT_NE(Value(1), Value(true));
    EXPECT_NE(Value(int64_t(-1)), Value(std::numeric_limits<uint64_t>::max()));
    EXPECT_EQ(Value(uint32_t(5)), Value(int64_t(5)));
}

// A hostile file with a huge dictionary of repeated keys must not take
// quadratic time; the later value of each key wins.
TEST(Plist, RepeatedKeysInALargeDictionary) {
    constexpr int kKeys = 100000;
    std::string xml = "<plist version=\"1.0\"><dict>";
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < kKeys; ++i)
            xml += "<key>k" + std::to_string(i) + "</key><integer>" + std::to_string(round) +
                   "</integer>";
    xml += "</dict></plist>";
    auto v = parse(xml);
    ASSERT_TRUE(v);
    const Dictionary& d = *v->asDictionary();
    ASSERT_EQ(d.size(), size_t(kKeys));
    EXPECT_EQ(d.begin()->first, "k0");
    EXPECT_EQ(d.begin()->second.asInteger(), 1);
    EXPECT_EQ((d.end() - 1)->first, "k" + std::to_string(kKeys - 1));
    EXPECT_EQ((d.end() - 1)->second.asInteger(), 1);
}
