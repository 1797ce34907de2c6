#include "json_value.h"

namespace {

// Recursive descent over one line. Numbers are the integers the tool
// prints; strings must be well-formed UTF-8 with valid escapes.
struct Reader {
    const std::string& text;
    size_t at;
    std::string error;

    bool Fail(const std::string& what)
    {
        if (error.empty())
            error = what + " at byte " + std::to_string(at);
        return false;
    }
    bool More() const { return at < text.size(); }
    void SkipSpace()
    {
        while (More() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            at++;
    }
    bool Take(char character)
    {
        SkipSpace();
        if (!More() || text[at] != character)
            return false;
        at++;
        return true;
    }
    static void AppendUtf8(std::string* out, unsigned long code)
    {
        int extra = code < 0x80 ? 0 : code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
        static const unsigned char LEAD[4] = {0x00, 0xC0, 0xE0, 0xF0};
        out->push_back((char)(LEAD[extra] | (code >> (6 * extra))));
        for (int index = extra - 1; index >= 0; index--)
            out->push_back((char)(0x80 | ((code >> (6 * index)) & 0x3F)));
    }
    bool Hex4(unsigned long* value)
    {
        *value = 0;
        for (int index = 0; index < 4; index++, at++) {
            char digit = More() ? text[at] : 'g';
            int nibble = digit >= '0' && digit <= '9' ? digit - '0'
                         : digit >= 'a' && digit <= 'f' ? digit - 'a' + 10
                         : digit >= 'A' && digit <= 'F' ? digit - 'A' + 10
                                                        : -1;
            if (nibble < 0)
                return Fail("bad \\u escape");
            *value = (*value << 4) | (unsigned long)nibble;
        }
        return true;
    }
    // One UTF-8 sequence: shortest form, no surrogate, at most U+10FFFF.
    bool Utf8Sequence(std::string* out)
    {
        unsigned char first = (unsigned char)text[at];
        int extra = first >= 0xC2 && first <= 0xDF ? 1 : first >= 0xE0 && first <= 0xEF ? 2
                  : first >= 0xF0 && first <= 0xF4 ? 3 : -1;
        if (extra < 0 || at + 1 + extra > text.size())
            return Fail("bad UTF-8");
        unsigned long code = first & (0x3F >> extra);
        for (int index = 1; index <= extra; index++) {
            unsigned char next = (unsigned char)text[at + index];
            if ((next & 0xC0) != 0x80)
                return Fail("bad UTF-8 continuation");
            code = (code << 6) | (next & 0x3F);
        }
        static const unsigned long MINIMUM[4] = {0, 0x80, 0x800, 0x10000};
        if (code < MINIMUM[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return Fail("bad UTF-8 code point");
        out->append(text, at, 1 + extra);
        at += 1 + extra;
        return true;
    }
    bool String(std::string* out)
    {
        if (!Take('"'))
            return Fail("string expected");
        static const std::string ESCAPES = "\"\\/bfnrt";
        static const std::string MEANINGS = "\"\\/\b\f\n\r\t";
        while (More() && text[at] != '"') {
            unsigned char character = (unsigned char)text[at];
            if (character < 0x20)
                return Fail("raw control character in a string");
            if (character >= 0x80) {
                if (!Utf8Sequence(out))
                    return false;
            } else if (character != '\\') {
                out->push_back((char)character);
                at++;
            } else if (at + 1 < text.size() && ESCAPES.find(text[at + 1]) != std::string::npos) {
                out->push_back(MEANINGS[ESCAPES.find(text[at + 1])]);
                at += 2;
            } else if (at + 1 < text.size() && text[at + 1] == 'u') {
                at += 2;
                unsigned long code = 0;
                unsigned long low = 0;
                if (!Hex4(&code))
                    return false;
                if (code >= 0xDC00 && code <= 0xDFFF)
                    return Fail("lone low surrogate escape");
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (text.compare(at, 2, "\\u") != 0)
                        return Fail("lone high surrogate escape");
                    at += 2;
                    if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                        return Fail("bad low surrogate escape");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(out, code);
            } else {
                return Fail("bad escape");
            }
        }
        if (!More())
            return Fail("unterminated string");
        at++;
        return true;
    }
    // A member list or an item list, after its opening bracket.
    bool Items(JsonValue* value, char closing, int depth)
    {
        if (Take(closing))
            return true;
        do {
            JsonValue item;
            std::string name;
            if (closing == '}') {
                if (!String(&name) || !Take(':'))
                    return Fail("member name and ':' expected");
                if (value->Find(name) != nullptr)
                    return Fail("member " + name + " twice");
            }
            if (!Value(&item, depth + 1))
                return false;
            if (closing == '}')
                value->members.emplace_back(name, item);
            else
                value->items.push_back(item);
        } while (Take(','));
        return Take(closing) || Fail(std::string("'") + closing + "' expected");
    }
    bool Value(JsonValue* value, int depth)
    {
        SkipSpace();
        if (depth > 32 || !More())
            return Fail("missing value");
        char first = text[at];
        if (first == '{' || first == '[') {
            value->kind = first == '{' ? JsonValue::OBJECT : JsonValue::ARRAY;
            at++;
            return Items(value, first == '{' ? '}' : ']', depth);
        }
        if (first == '"') {
            value->kind = JsonValue::STRING;
            return String(&value->text);
        }
        for (const char* word : {"true", "false", "null"}) {
            if (text.compare(at, std::string(word).size(), word) == 0) {
                value->kind = word[0] == 'n' ? JsonValue::NUL : JsonValue::BOOLEAN;
                value->text = word;
                at += value->text.size();
                return true;
            }
        }
        size_t start = at;
        if (More() && text[at] == '-')
            at++;
        if (More() && text[at] == '0')
            at++;
        else
            while (More() && text[at] >= '0' && text[at] <= '9' && (at > start || text[at] != '0'))
                at++;
        if (at == start || text[at - 1] == '-')
            return Fail("bad value");
        value->kind = JsonValue::NUMBER;
        value->text = text.substr(start, at - start);
        return true;
    }
};

}  // namespace

const JsonValue* JsonValue::Find(const std::string& name) const
{
    for (const auto& member : members)
        if (member.first == name)
            return &member.second;
    return nullptr;
}

bool ParseJson(const std::string& text, JsonValue* value, std::string* error)
{
    Reader reader{text, 0, std::string()};
    *value = JsonValue();
    bool parsed = reader.Value(value, 0);
    reader.SkipSpace();
    if (parsed && reader.More())
        parsed = reader.Fail("text after the value");
    if (error != nullptr)
        *error = reader.error;
    return parsed;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}
