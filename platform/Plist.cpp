// Property lists: our value type, an XML reader and writer, and the file
// operations on top of them.
//
// The XML form is read and written here rather than through libplist's tree:
// libplist 2.2 cannot tell a negative integer from one above INT64_MAX once
// parsed, writes the latter as a negative number, keeps dates in 32-bit
// seconds (1933..2069 only, silently wrong outside) and parses nested
// containers recursively. Our reader is iterative, limits nesting depth and
// size, and keeps every integer and date exact; our writer produces the
// standard XML property list 1.0 that libplist and other readers accept.
// Binary property lists ("bplist00") are handed to libplist after a bounded
// check of their object graph (see checkBinaryPlist), since its binary parser
// recurses once per nesting level and expands shared objects.
#include "platform/Plist.h"

#include "platform/FileSystem.h"

#include <plist/plist.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>
#include <unordered_map>

namespace platform {

struct DictionaryAccess {
    static std::vector<Dictionary::Entry>& entries(Dictionary& d) { return d.entries_; }
};

namespace {

// Deeper nesting than this is not a property list any program of ours writes;
// refusing it keeps every recursive walk over a Value (copy, compare, destroy,
// write) far from the stack's limit.
constexpr size_t kMaxDepth = 256;
// The largest property-list file we read; nothing we keep comes close.
constexpr size_t kMaxFileBytes = size_t(256) << 20;

// Seconds between 1970-01-01 and 2001-01-01, the epoch of libplist dates.
constexpr int64_t kAppleEpochOffset = 978307200;
// 0001-01-01T00:00:00Z and 9999-12-31T23:59:59Z: the four-digit years the XML
// date form can spell.
constexpr int64_t kMinDateSeconds = -62135596800;
constexpr int64_t kMaxDateSeconds = 253402300799;

// ---- calendar arithmetic (proleptic Gregorian, 64-bit throughout) ----

int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

bool isLeap(int64_t y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned daysInMonth(int64_t y, unsigned m) {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && isLeap(y) ? 29 : days[m - 1];
}

std::string formatDate(int64_t seconds) {
    // Dates beyond what four year digits can spell are written at the nearest
    // end of that range rather than as a date no reader accepts.
    seconds = std::clamp(seconds, kMinDateSeconds, kMaxDateSeconds);
    int64_t days = seconds / 86400;
    int64_t rem = seconds % 86400;
    if (rem < 0) {
        rem += 86400;
        days -= 1;
    }
    int64_t y;
    unsigned m, d;
    civilFromDays(days, y, m, d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(y), m,
                  d, static_cast<unsigned>(rem / 3600), static_cast<unsigned>(rem / 60 % 60),
                  static_cast<unsigned>(rem % 60));
    return buf;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back()))
        s.remove_suffix(1);
    return s;
}

bool parseDigits(std::string_view s, size_t n, unsigned& out) {
    if (s.size() < n)
        return false;
    out = 0;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
        out = out * 10 + static_cast<unsigned>(s[i] - '0');
    }
    return true;
}

// "YYYY-MM-DDTHH:MM:SSZ", optionally with a fraction of a second, which the
// date keeps no trace of.
std::optional<Date> parseDate(std::string_view s) {
    s = trim(s);
    unsigned y, mo, d, h, mi, se;
    if (s.size() < 20 || !parseDigits(s, 4, y) || s[4] != '-' || !parseDigits(s.substr(5), 2, mo) ||
        s[7] != '-' || !parseDigits(s.substr(8), 2, d) || s[10] != 'T' ||
        !parseDigits(s.substr(11), 2, h) || s[13] != ':' || !parseDigits(s.substr(14), 2, mi) ||
        s[16] != ':' || !parseDigits(s.substr(17), 2, se))
        return std::nullopt;
    std::string_view rest = s.substr(19);
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        size_t n = 0;
        while (n < rest.size() && rest[n] >= '0' && rest[n] <= '9')
            ++n;
        if (n == 0)
            return std::nullopt;
        rest.remove_prefix(n);
    }
    if (rest != "Z")
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, mo) || h > 23 || mi > 59 || se > 60)
        return std::nullopt;
    return Date{daysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + se};
}

std::optional<Value> parseInteger(std::string_view s) {
    s = trim(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty())
        return std::nullopt;
    uint64_t magnitude = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    // More than 64 bits, or anything after the digits: not an integer we can keep.
    if (ec != std::errc() || ptr != s.data() + s.size())
        return std::nullopt;
    if (!negative)
        return Value(magnitude);
    if (magnitude > uint64_t(INT64_MAX) + 1)
        return std::nullopt;
    if (magnitude == uint64_t(INT64_MAX) + 1)
        return Value(std::numeric_limits<int64_t>::min());
    return Value(-static_cast<int64_t>(magnitude));
}

std::optional<double> parseReal(std::string_view s) {
    s = trim(s);
    if (s == "nan" || s == "NaN")
        return std::numeric_limits<double>::quiet_NaN();
    if (s == "+infinity" || s == "infinity" || s == "+inf" || s == "inf")
        return std::numeric_limits<double>::infinity();
    if (s == "-infinity" || s == "-inf")
        return -std::numeric_limits<double>::infinity();
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    if (s.empty())
        return std::nullopt;
    double v = 0;
    // from_chars is independent of the C locale, which a Qt program may change.
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ptr != s.data() + s.size())
        return std::nullopt;
    if (ec == std::errc::result_out_of_range)
        return std::nullopt;
    if (ec != std::errc())
        return std::nullopt;
    return v;
}

int base64Digit(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::optional<Data> decodeBase64(std::string_view s) {
    Data out;
    out.reserve(s.size() / 4 * 3);
    uint32_t acc = 0;
    int bits = 0;
    bool padding = false;
    for (char c : s) {
        if (isSpace(c))
            continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        int v = base64Digit(c);
        if (v < 0 || padding)
            return std::nullopt;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return out;
}

void encodeBase64(const Data& data, std::string& out) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i + 1 == data.size()) {
        uint32_t v = data[i] << 16;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == data.size()) {
        uint32_t v = (data[i] << 16) | (data[i + 1] << 8);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += '=';
    }
}

void appendUtf8(uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// ---- XML reader ----

class XmlReader {
public:
    explicit XmlReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

    std::optional<Value> parseDocument();

private:
    struct Frame {
        bool isDict = false;
        Array array;
        Dictionary dict;
        std::optional<std::string> key;
    };
    struct Tag {
        std::string_view name;
        bool closing = false;
        bool empty = false; // <name/>
    };

    bool startsWith(std::string_view s) const {
        return static_cast<size_t>(end_ - p_) >= s.size() &&
               std::memcmp(p_, s.data(), s.size()) == 0;
    }
    bool skipPast(std::string_view terminator) {
        std::string_view rest(p_, end_ - p_);
        size_t at = rest.find(terminator);
        if (at == std::string_view::npos)
            return false;
        p_ += at + terminator.size();
        return true;
    }
    bool skipDoctype();
    // Skips white space, comments and processing instructions; false on a
    // malformed one.
    bool skipMisc(bool allowDoctype);
    bool readTag(Tag& tag);
    // Reads character data up to the end tag of `name`, decoding entities and
    // CDATA sections.
    bool readText(std::string_view name, std::string& out);
    bool decodeEntity(std::string& out);
    bool emit(Value value);
    bool closeContainer();

    const char* p_;
    const char* end_;
    std::vector<Frame> stack_;
    std::optional<Value> root_;
};

bool XmlReader::skipDoctype() {
    // <!DOCTYPE ... [ internal subset ] > : skip it, expanding nothing.
    p_ += 9;
    int bracket = 0;
    while (p_ < end_) {
        char c = *p_++;
        if (c == '"' || c == '\'') {
            const void* q = std::memchr(p_, c, end_ - p_);
            if (!q)
                return false;
            p_ = static_cast<const char*>(q) + 1;
        } else if (c == '[') {
            ++bracket;
        } else if (c == ']') {
            --bracket;
        } else if (c == '>' && bracket <= 0) {
            return true;
        }
    }
    return false;
}

bool XmlReader::skipMisc(bool allowDoctype) {
    for (;;) {
        while (p_ < end_ && isSpace(*p_))
            ++p_;
        if (startsWith("<!--")) {
            p_ += 4;
            if (!skipPast("-->"))
                return false;
        } else if (startsWith("<?")) {
            p_ += 2;
            if (!skipPast("?>"))
                return false;
        } else if (allowDoctype && startsWith("<!DOCTYPE")) {
            if (!skipDoctype())
                return false;
        } else {
            return true;
        }
    }
}

bool XmlReader::readTag(Tag& tag) {
    if (p_ >= end_ || *p_ != '<')
        return false;
    ++p_;
    tag = Tag{};
    if (p_ < end_ && *p_ == '/') {
        tag.closing = true;
        ++p_;
    }
    const char* nameStart = p_;
    while (p_ < end_ && ((*p_ >= 'a' && *p_ <= 'z') || (*p_ >= 'A' && *p_ <= 'Z')))
        ++p_;
    tag.name = std::string_view(nameStart, p_ - nameStart);
    if (tag.name.empty())
        return false;
    for (;;) {
        while (p_ < end_ && isSpace(*p_))
            ++p_;
        if (p_ >= end_)
            return false;
        if (*p_ == '>') {
            ++p_;
            return true;
        }
        if (*p_ == '/' && !tag.closing) {
            if (p_ + 1 >= end_ || p_[1] != '>')
                return false;
            p_ += 2;
            tag.empty = true;
            return true;
        }
        if (tag.closing)
            return false;
        // An attribute: name="value" or name='value'; its value is not needed.
        while (p_ < end_ && *p_ != '=' && *p_ != '>' && !isSpace(*p_))
            ++p_;
        while (p_ < end_ && isSpace(*p_))
            ++p_;
        if (p_ >= end_ || *p_ != '=')
            return false;
        ++p_;
        while (p_ < end_ && isSpace(*p_))
            ++p_;
        if (p_ >= end_ || (*p_ != '"' && *p_ != '\''))
            return false;
        char quote = *p_++;
        const void* q = std::memchr(p_, quote, end_ - p_);
        if (!q)
            return false;
        p_ = static_cast<const char*>(q) + 1;
    }
}

bool XmlReader::decodeEntity(std::string& out) {
    // p_ is just past '&'.
    const void* semi = std::memchr(p_, ';', std::min<ptrdiff_t>(end_ - p_, 12));
    if (!semi)
        return false;
    std::string_view name(p_, static_cast<const char*>(semi) - p_);
    p_ = static_cast<const char*>(semi) + 1;
    if (name == "lt")
        out += '<';
    else if (name == "gt")
        out += '>';
    else if (name == "amp")
        out += '&';
    else if (name == "quot")
        out += '"';
    else if (name == "apos")
        out += '\'';
    else if (name.size() >= 2 && name[0] == '#') {
        int base = 10;
        name.remove_prefix(1);
        if (name[0] == 'x' || name[0] == 'X') {
            base = 16;
            name.remove_prefix(1);
        }
        uint32_t cp = 0;
        auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), cp, base);
        if (name.empty() || ec != std::errc() || ptr != name.data() + name.size() || cp == 0 ||
            cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        appendUtf8(cp, out);
    } else {
        return false;
    }
    return true;
}

bool XmlReader::readText(std::string_view name, std::string& out) {
    for (;;) {
        const char* start = p_;
        while (p_ < end_ && *p_ != '<' && *p_ != '&')
            ++p_;
        out.append(start, p_ - start);
        if (p_ >= end_)
            return false;
        if (*p_ == '&') {
            ++p_;
            if (!decodeEntity(out))
                return false;
            continue;
        }
        if (startsWith("<![CDATA[")) {
            p_ += 9;
            std::string_view rest(p_, end_ - p_);
            size_t at = rest.find("]]>");
            if (at == std::string_view::npos)
                return false;
            out.append(p_, at);
            p_ += at + 3;
            continue;
        }
        if (startsWith("<!--")) {
            p_ += 4;
            if (!skipPast("-->"))
                return false;
            continue;
        }
        Tag tag;
        if (!readTag(tag) || !tag.closing || tag.name != name)
            return false;
        return true;
    }
}

bool XmlReader::emit(Value value) {
    if (stack_.empty()) {
        if (root_)
            return false;
        root_ = std::move(value);
        return true;
    }
    Frame& top = stack_.back();
    if (!top.isDict) {
        top.array.push_back(std::move(value));
        return true;
    }
    if (!top.key)
        return false;
    DictionaryAccess::entries(top.dict).emplace_back(std::move(*top.key), std::move(value));
    top.key.reset();
    return true;
}

bool XmlReader::closeContainer() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    if (!frame.isDict)
        return emit(Value(std::move(frame.array)));
    if (frame.key)
        return false; // a key without its value
    auto& entries = DictionaryAccess::entries(frame.dict);
    // A key given twice keeps its last value at its first place, as a
    // dictionary built by set() would.
    if (entries.size() > 1) {
        std::unordered_map<std::string_view, size_t> firstIndex;
        firstIndex.reserve(entries.size());
        std::vector<bool> dropped(entries.size());
        bool duplicates = false;
        for (size_t i = 0; i < entries.size(); ++i) {
            auto [it, inserted] = firstIndex.emplace(entries[i].first, i);
            if (!inserted) {
                entries[it->second].second = std::move(entries[i].second);
                dropped[i] = true;
                duplicates = true;
            }
        }
        if (duplicates) {
            std::vector<Dictionary::Entry> unique;
            unique.reserve(firstIndex.size());
            for (size_t i = 0; i < entries.size(); ++i)
                if (!dropped[i])
                    unique.push_back(std::move(entries[i]));
            entries = std::move(unique);
        }
    }
    return emit(Value(std::move(frame.dict)));
}

std::optional<Value> XmlReader::parseDocument() {
    if (startsWith("\xEF\xBB\xBF"))
        p_ += 3;
    if (!skipMisc(true))
        return std::nullopt;
    bool wrapped = false;
    if (startsWith("<plist")) {
        Tag tag;
        if (!readTag(tag) || tag.name != "plist")
            return std::nullopt;
        if (tag.empty)
            return std::nullopt;
        wrapped = true;
    }
    std::string text;
    while (!root_) {
        if (!skipMisc(false))
            return std::nullopt;
        Tag tag;
        if (!readTag(tag))
            return std::nullopt;
        if (tag.closing) {
            const bool matches =
                !stack_.empty() && tag.name == (stack_.back().isDict ? "dict" : "array");
            if (!matches || !closeContainer())
                return std::nullopt;
            continue;
        }
        const std::string_view name = tag.name;
        const bool inDict = !stack_.empty() && stack_.back().isDict;
        if (name == "key") {
            if (!inDict || stack_.back().key)
                return std::nullopt;
            text.clear();
            if (!tag.empty && !readText(name, text))
                return std::nullopt;
            stack_.back().key = text;
            continue;
        }
        if (inDict && !stack_.back().key)
            return std::nullopt; // a value where a key belongs
        if (name == "array" || name == "dict") {
            if (tag.empty) {
                if (!emit(name == "dict" ? Value(Dictionary{}) : Value(Array{})))
                    return std::nullopt;
                continue;
            }
            if (stack_.size() >= kMaxDepth)
                return std::nullopt;
            stack_.emplace_back();
            stack_.back().isDict = name == "dict";
            continue;
        }
        if (name == "true" || name == "false") {
            if (!tag.empty) {
                text.clear();
                if (!readText(name, text) || !trim(text).empty())
                    return std::nullopt;
            }
            if (!emit(Value(name == "true")))
                return std::nullopt;
            continue;
        }
        text.clear();
        if (!tag.empty && !readText(name, text))
            return std::nullopt;
        std::optional<Value> value;
        if (name == "string") {
            value = Value(std::move(text));
            text = std::string();
        } else if (name == "integer") {
            value = parseInteger(text);
        } else if (name == "real") {
            if (auto r = parseReal(text))
                value = Value(*r);
        } else if (name == "date") {
            if (auto d = parseDate(text))
                value = Value(*d);
        } else if (name == "data") {
            if (auto d = decodeBase64(text))
                value = Value(std::move(*d));
        }
        if (!value || !emit(std::move(*value)))
            return std::nullopt;
    }
    if (wrapped) {
        if (!skipMisc(false))
            return std::nullopt;
        Tag tag;
        if (!readTag(tag) || !tag.closing || tag.name != "plist")
            return std::nullopt;
    }
    // Only white space, comments and processing instructions may follow.
    if (!skipMisc(false) || p_ != end_)
        return std::nullopt;
    return std::move(root_);
}

// ---- binary property lists ----

uint64_t readBigEndian(const uint8_t* p, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// libplist's binary parser recurses once per nesting level and copies an
// object each time it is referenced, so a small crafted file can exhaust the
// stack or memory. This walks the object graph first, without recursion, and
// accepts it only when its expanded tree is at most kMaxDepth deep and holds a
// bounded number of nodes.
bool checkBinaryPlist(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t size = bytes.size();
    if (size < 8 + 32)
        return false;
    const uint8_t* trailer = data + size - 32;
    const unsigned offsetSize = trailer[6];
    const unsigned refSize = trailer[7];
    const uint64_t numObjects = readBigEndian(trailer + 8, 8);
    const uint64_t topObject = readBigEndian(trailer + 16, 8);
    const uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || numObjects == 0 ||
        topObject >= numObjects || tableOffset < 8 || tableOffset >= size - 32 ||
        numObjects > (size - 32 - tableOffset) / offsetSize)
        return false;
    auto objectOffset = [&](uint64_t index, uint64_t& offset) {
        offset = readBigEndian(data + tableOffset + index * offsetSize, offsetSize);
        return offset >= 8 && offset < tableOffset;
    };
    // Each node of the expanded tree costs a few dozen bytes once converted;
    // allow far more nodes than any honest file of this size holds.
    const uint64_t maxNodes = std::max<uint64_t>(numObjects * 4, 1 << 16);
    uint64_t nodes = 0;
    struct Pending {
        uint64_t index;
        size_t depth;
        bool isKey;
    };
    // The element count after an object's marker: in the marker's low four
    // bits, or in an integer object that follows when those are all set.
    auto readCount = [&](uint64_t offset, uint64_t& count, uint64_t& pos) {
        count = data[offset] & 0x0F;
        pos = offset + 1;
        if (count != 0x0F)
            return true;
        if (pos >= tableOffset || (data[pos] >> 4) != 0x1)
            return false;
        const unsigned intBytes = 1u << (data[pos] & 0x0F);
        if (intBytes > 8 || pos + 1 + intBytes > tableOffset)
            return false;
        count = readBigEndian(data + pos + 1, intBytes);
        pos += 1 + intBytes;
        return true;
    };
    std::vector<Pending> work{{topObject, 1, false}};
    while (!work.empty()) {
        Pending item = work.back();
        work.pop_back();
        if (++nodes > maxNodes || item.depth > kMaxDepth)
            return false;
        uint64_t offset;
        if (!objectOffset(item.index, offset))
            return false;
        const uint8_t marker = data[offset];
        const unsigned kind = marker >> 4;
        uint64_t count, pos;
        if (item.isKey && (kind == 0x5 || kind == 0x6)) {
            // libplist aborts the process on a key holding a NUL character
            // (it hands keys out as C strings and asserts they are whole),
            // so such a dictionary is refused here. String values keep
            // their NULs: they are read with their length.
            if (!readCount(offset, count, pos))
                return false;
            const uint64_t unit = kind == 0x6 ? 2 : 1;
            if (count > tableOffset || count * unit > tableOffset - pos)
                return false;
            for (uint64_t i = 0; i < count; ++i) {
                if (data[pos + i * unit] == 0 && (unit == 1 || data[pos + i * unit + 1] == 0))
                    return false;
            }
            continue;
        }
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            continue; // a scalar; libplist checks its own bounds
        if (!readCount(offset, count, pos))
            return false;
        const uint64_t refs = kind == 0xD ? count * 2 : count;
        if (count > tableOffset || refs > (tableOffset - pos) / refSize)
            return false;
        for (uint64_t i = 0; i < refs; ++i) {
            const uint64_t child = readBigEndian(data + pos + i * refSize, refSize);
            if (child >= numObjects)
                return false;
            // A dictionary lists its key references first, then its values.
            work.push_back({child, item.depth + 1, kind == 0xD && i < count});
            if (work.size() > maxNodes)
                return false;
        }
    }
    return true;
}

// Converts libplist's tree into ours without recursion; the depth is already
// bounded by checkBinaryPlist.
std::optional<Value> fromLibplist(plist_t root) {
    struct Frame {
        plist_t node;
        bool isDict;
        uint32_t next = 0;
        uint32_t size = 0;
        plist_dict_iter iter = nullptr;
        Array array;
        Dictionary dict;
        std::string pendingKey;
    };
    std::vector<Frame> stack;
    std::optional<Value> result;
    auto scalar = [](plist_t node) -> std::optional<Value> {
        switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist 2.2 keeps signed and unsigned integers in the same
            // 64 bits; a binary file stores negatives as 8-byte two's complement.
            uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return u > uint64_t(INT64_MAX) ? Value(static_cast<int64_t>(u)) : Value(u);
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // By pointer and length: a string may hold NUL characters, on
            // which libplist's copying getter aborts the process.
            uint64_t length = 0;
            const char* s = plist_get_string_ptr(node, &length);
            return Value(s ? std::string(s, length) : std::string());
        }
        case PLIST_DATE: {
            int32_t sec = 0, usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(Date{static_cast<int64_t>(sec) + kAppleEpochOffset});
        }
        case PLIST_DATA: {
            char* bytes = nullptr;
            uint64_t length = 0;
            plist_get_data_val(node, &bytes, &length);
            Data d(reinterpret_cast<uint8_t*>(bytes), reinterpret_cast<uint8_t*>(bytes) + length);
            std::free(bytes);
            return Value(std::move(d));
        }
        default:
            return std::nullopt;
        }
    };
    auto open = [&](plist_t node) {
        Frame f;
        f.node = node;
        f.isDict = plist_get_node_type(node) == PLIST_DICT;
        if (f.isDict)
            plist_dict_new_iter(node, &f.iter);
        else
            f.size = plist_array_get_size(node);
        stack.push_back(std::move(f));
    };
    auto deliver = [&](Value v) {
        if (stack.empty()) {
            result = std::move(v);
            return;
        }
        Frame& top = stack.back();
        if (top.isDict)
            DictionaryAccess::entries(top.dict).emplace_back(std::move(top.pendingKey),
                                                             std::move(v));
        else
            top.array.push_back(std::move(v));
    };
    auto type = plist_get_node_type(root);
    if (type != PLIST_ARRAY && type != PLIST_DICT) {
        return scalar(root);
    }
    open(root);
    bool ok = true;
    while (!stack.empty() && ok) {
        Frame& top = stack.back();
        plist_t child = nullptr;
        if (top.isDict) {
            char* key = nullptr;
            plist_dict_next_item(top.node, top.iter, &key, &child);
            if (child) {
                top.pendingKey = key ? key : "";
            }
            std::free(key);
        } else if (top.next < top.size) {
            child = plist_array_get_item(top.node, top.next++);
        }
        if (!child) {
            Frame done = std::move(stack.back());
            stack.pop_back();
            if (done.iter)
                std::free(done.iter);
            deliver(done.isDict ? Value(std::move(done.dict)) : Value(std::move(done.array)));
            continue;
        }
        auto childType = plist_get_node_type(child);
        if (childType == PLIST_ARRAY || childType == PLIST_DICT) {
            open(child);
        } else if (auto v = scalar(child)) {
            deliver(std::move(*v));
        } else {
            ok = false;
        }
    }
    for (auto& f : stack)
        if (f.iter)
            std::free(f.iter);
    if (!ok)
        return std::nullopt;
    return result;
}

std::optional<Value> parseBinary(std::string_view bytes) {
    if (!checkBinaryPlist(bytes))
        return std::nullopt;
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    if (!root)
        return std::nullopt;
    auto value = fromLibplist(root);
    plist_free(root);
    return value;
}

// ---- XML writer ----

// Copies text into XML character data: markup characters escaped, and any
// byte sequence that is not valid UTF-8 or not allowed in XML replaced by
// U+FFFD, so the file stays well-formed for every reader.
void appendEscaped(std::string_view s, std::string& out) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = p + s.size();
    while (p < end) {
        unsigned char c = *p;
        if (c < 0x80) {
            switch (c) {
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '\r':
                out += "&#13;";
                break;
            case '\t':
            case '\n':
                out += static_cast<char>(c);
                break;
            default:
                if (c < 0x20)
                    out += kReplacement;
                else
                    out += static_cast<char>(c);
            }
            ++p;
            continue;
        }
        size_t len = 0;
        uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        }
        bool valid = len != 0 && static_cast<size_t>(end - p) >= len;
        for (size_t i = 1; valid && i < len; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                valid = false;
            else
                cp = (cp << 6) | (p[i] & 0x3F);
        }
        if (valid) {
            const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
            const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
            valid = !overlong && !surrogate && cp <= 0x10FFFF && cp != 0xFFFE && cp != 0xFFFF;
        }
        if (valid) {
            out.append(reinterpret_cast<const char*>(p), len);
            p += len;
        } else {
            out += kReplacement;
            ++p;
        }
    }
}

void writeValue(const Value& value, size_t depth, std::string& out) {
    auto indent = [&](size_t n) { out.append(n, '\t'); };
    indent(depth);
    switch (value.type()) {
    case Value::Type::Dictionary: {
        const Dictionary& d = *value.asDictionary();
        if (d.empty()) {
            out += "<dict/>\n";
            break;
        }
        out += "<dict>\n";
        for (const auto& [key, child] : d) {
            indent(depth + 1);
            out += "<key>";
            appendEscaped(key, out);
            out += "</key>\n";
            writeValue(child, depth + 1, out);
        }
        indent(depth);
        out += "</dict>\n";
        break;
    }
    case Value::Type::Array: {
        const Array& a = *value.asArray();
        if (a.empty()) {
            out += "<array/>\n";
            break;
        }
        out += "<array>\n";
        for (const auto& child : a)
            writeValue(child, depth + 1, out);
        indent(depth);
        out += "</array>\n";
        break;
    }
    case Value::Type::String:
        out += "<string>";
        appendEscaped(*value.asString(), out);
        out += "</string>\n";
        break;
    case Value::Type::Integer: {
        char buf[32];
        char* end;
        if (auto i = value.asInteger())
            end = std::to_chars(buf, buf + sizeof buf, *i).ptr;
        else
            end = std::to_chars(buf, buf + sizeof buf, *value.asUnsigned()).ptr;
        out += "<integer>";
        out.append(buf, end);
        out += "</integer>\n";
        break;
    }
    case Value::Type::Real: {
        double r = *value.asReal();
        out += "<real>";
        if (std::isnan(r)) {
            out += "nan";
        } else if (std::isinf(r)) {
            out += r > 0 ? "+infinity" : "-infinity";
        } else {
            char buf[64];
            auto end = std::to_chars(buf, buf + sizeof buf, r).ptr;
            out.append(buf, end);
        }
        out += "</real>\n";
        break;
    }
    case Value::Type::Boolean:
        out += *value.asBoolean() ? "<true/>\n" : "<false/>\n";
        break;
    case Value::Type::Date:
        out += "<date>";
        out += formatDate(value.asDate()->seconds);
        out += "</date>\n";
        break;
    case Value::Type::Data:
        out += "<data>";
        encodeBase64(*value.asData(), out);
        out += "</data>\n";
        break;
    }
}

} // namespace

// ---- Date, Dictionary, Value ----

Date Date::now() {
    return Date{static_cast<int64_t>(std::time(nullptr))};
}

const Value* Dictionary::find(std::string_view key) const {
    for (const auto& e : entries_)
        if (e.first == key)
            return &e.second;
    return nullptr;
}

Value* Dictionary::find(std::string_view key) {
    for (auto& e : entries_)
        if (e.first == key)
            return &e.second;
    return nullptr;
}

void Dictionary::set(std::string key, Value value) {
    if (Value* existing = find(key))
        *existing = std::move(value);
    else
        entries_.emplace_back(std::move(key), std::move(value));
}

bool Dictionary::erase(std::string_view key) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const Entry& e) { return e.first == key; });
    if (it == entries_.end())
        return false;
    entries_.erase(it);
    return true;
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const auto& e : entries_)
        out.push_back(e.first);
    return out;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
    if (a.size() != b.size())
        return false;
    for (const auto& [key, value] : a) {
        const Value* other = b.find(key);
        if (!other || !(*other == value))
            return false;
    }
    return true;
}

Value::Type Value::type() const {
    switch (v_.index()) {
    case 0:
        return Type::Dictionary;
    case 1:
        return Type::Array;
    case 2:
        return Type::String;
    case 3:
        return Type::Integer;
    case 4:
        return Type::Real;
    case 5:
        return Type::Boolean;
    case 6:
        return Type::Date;
    default:
        return Type::Data;
    }
}

std::optional<int64_t> Value::asInteger() const {
    const Int* i = std::get_if<Int>(&v_);
    if (!i || i->isUnsignedHigh)
        return std::nullopt;
    return i->bits;
}

std::optional<uint64_t> Value::asUnsigned() const {
    const Int* i = std::get_if<Int>(&v_);
    if (!i || (!i->isUnsignedHigh && i->bits < 0))
        return std::nullopt;
    return static_cast<uint64_t>(i->bits);
}

std::optional<double> Value::asReal() const {
    if (const double* r = std::get_if<double>(&v_))
        return *r;
    return std::nullopt;
}

std::optional<bool> Value::asBoolean() const {
    if (const bool* b = std::get_if<bool>(&v_))
        return *b;
    return std::nullopt;
}

std::optional<Date> Value::asDate() const {
    if (const Date* d = std::get_if<Date>(&v_))
        return *d;
    return std::nullopt;
}

bool operator==(const Value& a, const Value& b) {
    return a.v_ == b.v_;
}

// ---- parsing, writing, files ----

std::optional<Value> parse(std::string_view bytes) {
    if (bytes.size() > kMaxFileBytes)
        return std::nullopt;
    if (bytes.substr(0, 8) == "bplist00")
        return parseBinary(bytes);
    XmlReader reader(bytes);
    return reader.parseDocument();
}

std::string toXml(const Value& value) {
    std::string out;
    out.reserve(256);
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n";
    writeValue(value, 0, out);
    out += "</plist>\n";
    return out;
}

namespace {
std::optional<Value> readValueFile(const std::string& path) {
    std::string bytes;
    if (!readFile(path, bytes, kMaxFileBytes))
        return std::nullopt;
    return parse(bytes);
}
} // namespace

std::optional<Array> readArrayFile(const std::string& path) {
    auto value = readValueFile(path);
    if (!value || !value->asArray())
        return std::nullopt;
    return std::move(*value->asArray());
}

std::optional<Dictionary> readDictionaryFile(const std::string& path) {
    auto value = readValueFile(path);
    if (!value || !value->asDictionary())
        return std::nullopt;
    return std::move(*value->asDictionary());
}

bool writeXmlFile(const std::string& path, const Value& value) {
    return writeFileAtomically(path, toXml(value));
}

} // namespace platform
