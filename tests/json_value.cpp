#include "json_value.h"

namespace {

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
    void SkipSpace()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            at++;
    }
    bool Literal(const char* word)
    {
        std::string expected(word);
        if (text.compare(at, expected.size(), expected) != 0)
            return Fail("bad literal");
        at += expected.size();
        return true;
    }
    static void AppendUtf8(std::string* out, unsigned long code)
    {
        if (code < 0x80) {
            out->push_back((char)code);
        } else if (code < 0x800) {
            out->push_back((char)(0xC0 | (code >> 6)));
            out->push_back((char)(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out->push_back((char)(0xE0 | (code >> 12)));
            out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
            out->push_back((char)(0x80 | (code & 0x3F)));
        } else {
            out->push_back((char)(0xF0 | (code >> 18)));
            out->push_back((char)(0x80 | ((code >> 12) & 0x3F)));
            out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
            out->push_back((char)(0x80 | (code & 0x3F)));
        }
    }
    bool Hex4(unsigned long* value)
    {
        if (at + 4 > text.size())
            return Fail("short \\u escape");
        *value = 0;
        for (int index = 0; index < 4; index++) {
            char digit = text[at++];
            *value <<= 4;
            if (digit >= '0' && digit <= '9')
                *value |= (unsigned long)(digit - '0');
            else if (digit >= 'a' && digit <= 'f')
                *value |= (unsigned long)(digit - 'a' + 10);
            else if (digit >= 'A' && digit <= 'F')
                *value |= (unsigned long)(digit - 'A' + 10);
            else
                return Fail("bad hex digit");
        }
        return true;
    }
    // One UTF-8 sequence, checked for shortest form and no surrogates.
    bool Utf8Sequence(std::string* out)
    {
        unsigned char first = (unsigned char)text[at];
        int extra = first >= 0xF0 && first <= 0xF4 ? 3 : first >= 0xE0 ? 2 : first >= 0xC2 && first < 0xE0 ? 1 : -1;
        if (extra < 0 || (first >= 0xF5))
            return Fail("bad UTF-8 lead byte");
        if (at + 1 + extra > text.size())
            return Fail("cut UTF-8 sequence");
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
        at++;  // the opening quote
        for (;;) {
            if (at >= text.size())
                return Fail("unterminated string");
            unsigned char character = (unsigned char)text[at];
            if (character == '"') {
                at++;
                return true;
            }
            if (character < 0x20)
                return Fail("raw control character in a string");
            if (character >= 0x80) {
                if (!Utf8Sequence(out))
                    return false;
                continue;
            }
            if (character != '\\') {
                out->push_back((char)character);
                at++;
                continue;
            }
            if (++at >= text.size())
                return Fail("cut escape");
            char escape = text[at++];
            switch (escape) {
            case '"': out->push_back('"'); break;
            case '\\': out->push_back('\\'); break;
            case '/': out->push_back('/'); break;
            case 'b': out->push_back('\b'); break;
            case 'f': out->push_back('\f'); break;
            case 'n': out->push_back('\n'); break;
            case 'r': out->push_back('\r'); break;
            case 't': out->push_back('\t'); break;
            case 'u': {
                unsigned long code = 0;
                if (!Hex4(&code))
                    return false;
                if (code >= 0xD800 && code <= 0xDBFF) {
                    unsigned long low = 0;
                    if (text.compare(at, 2, "\\u") != 0)
                        return Fail("lone high surrogate escape");
                    at += 2;
                    if (!Hex4(&low) || low < 0xDC00 || low > 0xDFFF)
                        return Fail("bad low surrogate escape");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return Fail("lone low surrogate escape");
                }
                AppendUtf8(out, code);
                break;
            }
            default:
                return Fail("bad escape");
            }
        }
    }
    bool Number(std::string* out)
    {
        size_t start = at;
        if (at < text.size() && text[at] == '-')
            at++;
        if (at < text.size() && text[at] == '0') {
            at++;
        } else if (at < text.size() && text[at] >= '1' && text[at] <= '9') {
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                at++;
        } else {
            return Fail("bad number");
        }
        if (at < text.size() && text[at] == '.') {
            at++;
            size_t digits = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                at++;
            if (at == digits)
                return Fail("bad fraction");
        }
        if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
            at++;
            if (at < text.size() && (text[at] == '+' || text[at] == '-'))
                at++;
            size_t digits = at;
            while (at < text.size() && text[at] >= '0' && text[at] <= '9')
                at++;
            if (at == digits)
                return Fail("bad exponent");
        }
        *out = text.substr(start, at - start);
        return true;
    }
    bool Value(JsonValue* value, int depth)
    {
        if (depth > 32)
            return Fail("nested too deep");
        SkipSpace();
        if (at >= text.size())
            return Fail("missing value");
        char first = text[at];
        if (first == '{') {
            value->kind = JsonValue::OBJECT;
            at++;
            SkipSpace();
            if (at < text.size() && text[at] == '}') {
                at++;
                return true;
            }
            for (;;) {
                SkipSpace();
                if (at >= text.size() || text[at] != '"')
                    return Fail("member name expected");
                std::string name;
                if (!String(&name))
                    return false;
                for (const auto& member : value->members)
                    if (member.first == name)
                        return Fail("member " + name + " twice");
                SkipSpace();
                if (at >= text.size() || text[at] != ':')
                    return Fail("':' expected");
                at++;
                JsonValue member;
                if (!Value(&member, depth + 1))
                    return false;
                value->members.emplace_back(name, member);
                SkipSpace();
                if (at < text.size() && text[at] == ',') {
                    at++;
                    continue;
                }
                if (at < text.size() && text[at] == '}') {
                    at++;
                    return true;
                }
                return Fail("',' or '}' expected");
            }
        }
        if (first == '[') {
            value->kind = JsonValue::ARRAY;
            at++;
            SkipSpace();
            if (at < text.size() && text[at] == ']') {
                at++;
                return true;
            }
            for (;;) {
                JsonValue item;
                if (!Value(&item, depth + 1))
                    return false;
                value->items.push_back(item);
                SkipSpace();
                if (at < text.size() && text[at] == ',') {
                    at++;
                    continue;
                }
                if (at < text.size() && text[at] == ']') {
                    at++;
                    return true;
                }
                return Fail("',' or ']' expected");
            }
        }
        if (first == '"') {
            value->kind = JsonValue::STRING;
            return String(&value->text);
        }
        if (first == 't' || first == 'f') {
            value->kind = JsonValue::BOOLEAN;
            value->text = first == 't' ? "true" : "false";
            return Literal(first == 't' ? "true" : "false");
        }
        if (first == 'n') {
            value->kind = JsonValue::NUL;
            return Literal("null");
        }
        value->kind = JsonValue::NUMBER;
        return Number(&value->text);
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
    if (parsed) {
        reader.SkipSpace();
        if (reader.at != text.size())
            parsed = reader.Fail("text after the value");
    }
    if (error != nullptr)
        *error = reader.error;
    return parsed;
}

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
