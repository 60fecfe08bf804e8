// Property-list values: the one data model shared by the connection logs, the
// network preferences and the user preferences.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class Value;

// A point in time in whole seconds since 1970-01-01 00:00:00 UTC. The XML form
// keeps whole seconds only, so nothing finer is carried.
struct Date {
    int64_t seconds = 0;
    friend bool operator==(const Date&, const Date&) = default;
    static Date now();
};

using Data = std::vector<uint8_t>;
using Array = std::vector<Value>;

// A dictionary that keeps its keys in insertion order, so a file written back
// keeps the order it was read in.
class Dictionary {
public:
    using Entry = std::pair<std::string, Value>;

    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Replaces the value of an existing key in place, or appends a new key.
    void set(std::string key, Value value);
    bool erase(std::string_view key);
    // These three are defined below Value: clang instantiates their bodies
    // where they stand, and Value is still incomplete here.
    void clear();

    size_t size() const;
    bool empty() const;
    std::vector<std::string> keys() const;

    auto begin() const { return entries_.begin(); }
    auto end() const { return entries_.end(); }
    auto begin() { return entries_.begin(); }
    auto end() { return entries_.end(); }

    // Equal when both hold the same keys with equal values, in any order.
    friend bool operator==(const Dictionary&, const Dictionary&);

private:
    friend struct DictionaryAccess; // the parser appends without a lookup per key
    std::vector<Entry> entries_;
};

class Value {
public:
    enum class Type { Dictionary, Array, String, Integer, Real, Boolean, Date, Data };

    Value() : v_(platform::Dictionary{}) {}
    Value(platform::Dictionary d) : v_(std::move(d)) {}
    Value(platform::Array a) : v_(std::move(a)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    // Integers as the property-list format knows them: signed 64-bit, plus the
    // unsigned range above INT64_MAX.
    Value(int64_t i) : v_(Int{i, false}) {}
    Value(int i) : v_(Int{i, false}) {}
    Value(uint32_t u) : v_(Int{static_cast<int64_t>(u), false}) {}
    Value(uint64_t u) : v_(Int{static_cast<int64_t>(u), u > INT64_MAX}) {}
    Value(double r) : v_(r) {}
    Value(bool b) : v_(b) {}
    Value(platform::Date d) : v_(d) {}
    Value(platform::Data d) : v_(std::move(d)) {}

    Type type() const;

    const platform::Dictionary* asDictionary() const {
        return std::get_if<platform::Dictionary>(&v_);
    }
    platform::Dictionary* asDictionary() { return std::get_if<platform::Dictionary>(&v_); }
    const platform::Array* asArray() const { return std::get_if<platform::Array>(&v_); }
    platform::Array* asArray() { return std::get_if<platform::Array>(&v_); }
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const platform::Data* asData() const { return std::get_if<platform::Data>(&v_); }
    // Signed view; nothing for an unsigned value above INT64_MAX or another type.
    std::optional<int64_t> asInteger() const;
    // Unsigned view; nothing for a negative value or another type.
    std::optional<uint64_t> asUnsigned() const;
    std::optional<double> asReal() const;
    std::optional<bool> asBoolean() const;
    std::optional<platform::Date> asDate() const;

    friend bool operator==(const Value&, const Value&);

private:
    struct Int {
        int64_t bits;
        bool isUnsignedHigh; // bits hold a uint64 above INT64_MAX
        friend bool operator==(const Int&, const Int&) = default;
    };
    std::variant<platform::Dictionary, platform::Array, std::string, Int, double, bool,
                 platform::Date, platform::Data>
        v_;
};

inline void Dictionary::clear() {
    entries_.clear();
}
inline size_t Dictionary::size() const {
    return entries_.size();
}
inline bool Dictionary::empty() const {
    return entries_.empty();
}

// Parses a property list (XML or binary) from memory. Nothing for anything
// that is not one well-formed property list.
std::optional<Value> parse(std::string_view bytes);
// The XML property-list form (version 1.0) of a value.
std::string toXml(const Value& value);

// Reads a property-list file whose root is of the asked kind. Nothing, without
// a message, when the file is missing, empty, cut short, unparsable or has a
// root of another kind.
std::optional<Array> readArrayFile(const std::string& path);
std::optional<Dictionary> readDictionaryFile(const std::string& path);

// Writes the value as an XML property list by atomic replace (see FileSystem.h):
// a reader sees either the old file or the whole new one.
bool writeXmlFile(const std::string& path, const Value& value);

} // namespace platform
