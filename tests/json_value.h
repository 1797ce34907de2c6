// A strict JSON reader for the tests: a line of -j output must be exactly one
// well-formed value (RFC 8259, UTF-8), and its fields are then looked up.
#ifndef MURKSCOPE_JSON_VALUE_H
#define MURKSCOPE_JSON_VALUE_H

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum Kind { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    std::string text;  // a string's UTF-8 text, or a literal as written (true, 12)
    std::vector<JsonValue> items;
    std::vector<std::pair<std::string, JsonValue>> members;  // in their order

    // A member by name, or NULL.
    const JsonValue* Find(const std::string& name) const;
};

// Parses text as one JSON value with nothing but white space around it.
bool ParseJson(const std::string& text, JsonValue* value, std::string* error);

// The lines of a text split at '\n' (a last empty piece left out).
std::vector<std::string> SplitLines(const std::string& text);

#endif
