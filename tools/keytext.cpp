// Keys as text: key type names, segment lists, and the key forms of dumps.
//
//   key type                 form                               example
//   0, 1 strings             quoted, escaped                    "Garden hose"
//   2, 18..20 counted        quoted, escaped (the counted bytes) "a\x00b"
//   3, 5 int32               signed decimal                     -42
//   4 int16, 10 uint16       decimal                            7
//   6 float, 7 double        shortest exact decimal (%.9g,      0.100000001
//                            %.17g); a NaN as nan:BITS          nan:7fc00000
//   9 six raw bytes          12 hex digits                      0a0b0c0d0e0f
//   16, 17 numeric records   {f1,f2,f3,f4,f5[,f6]}              {1,2,3,4,5}
//   8 compound               (segment,segment,...), each by     ("garden",1999)
//                            its segment's key type
//   any key that does not    x: and the key's bytes in hex      x:0461626300
//   fit its form (a compound
//   key without a segment
//   list, a numeric record
//   of another length)
//
// Strings escape '"', '\\', bytes below 0x20 and bytes from 0x7f up as \xHH,
// so a dump is plain ASCII and every byte survives.
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "tool.h"

namespace kxtool {

namespace {

constexpr int32_t LongestKey = 242;  // a key must be shorter than 243 bytes

int32_t fixed_width(uint8_t type) {
    switch (type) {
    case 4:
    case 10: return 2;
    case 3:
    case 5:
    case 6: return 4;
    case 9: return 6;
    case 7: return 8;
    default: return 0;
    }
}

bool is_string_type(uint8_t type) { return type == 0 || type == 1; }
bool is_counted_type(uint8_t type) { return type == 2 || (type >= 18 && type <= 20); }
// The length byte a numeric record (16, 17) has in its usual form.
int32_t record_body(uint8_t type) { return type == 16 ? 16 : 18; }

template <typename T>
T read_host(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void append_host(std::vector<uint8_t>& out, T v) {
    uint8_t b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

std::string format_float(float f) {
    if (std::isnan(f)) {
        char b[24];
        std::snprintf(b, sizeof b, "nan:%08x", static_cast<unsigned>(read_host<uint32_t>(reinterpret_cast<const uint8_t*>(&f))));
        return b;
    }
    char b[40];
    std::snprintf(b, sizeof b, "%.9g", static_cast<double>(f));
    return b;
}

std::string format_double(double d) {
    if (std::isnan(d)) {
        char b[32];
        std::snprintf(b, sizeof b, "nan:%016llx",
                      static_cast<unsigned long long>(read_host<uint64_t>(reinterpret_cast<const uint8_t*>(&d))));
        return b;
    }
    char b[40];
    std::snprintf(b, sizeof b, "%.17g", d);
    return b;
}

// The value of a fixed-width key type at p, as text.
std::string render_fixed(uint8_t type, const uint8_t* p) {
    switch (type) {
    case 3:
    case 5: return std::to_string(read_host<int32_t>(p));
    case 4: return std::to_string(read_host<int16_t>(p));
    case 10: return std::to_string(read_host<uint16_t>(p));
    case 6: return format_float(read_host<float>(p));
    case 7: return format_double(read_host<double>(p));
    case 9: return hex_bytes(p, 6);
    default: return "";
    }
}

// A numeric record (16, 17) whose length byte is the usual one.
std::string render_record(uint8_t type, const uint8_t* p) {
    std::string s = "{";
    s.append(std::to_string(read_host<uint16_t>(p + 1))).append(",");
    s.append(std::to_string(read_host<uint32_t>(p + 3))).append(",");
    s.append(std::to_string(read_host<uint32_t>(p + 7))).append(",");
    s.append(std::to_string(read_host<uint32_t>(p + 11))).append(",");
    s.append(std::to_string(read_host<uint16_t>(p + 15)));
    if (type == 17) s.append(",").append(std::to_string(read_host<int16_t>(p + 17)));
    return s.append("}");
}

// One value of a key or segment of type `type` from `avail` bytes at p; the
// bytes it takes in *used.  False when the bytes do not hold such a value.
bool render_value(uint8_t type, const uint8_t* p, int32_t avail, std::string& out, int32_t* used) {
    if (is_string_type(type)) {
        const void* z = std::memchr(p, 0, static_cast<size_t>(avail));
        if (z == nullptr) return false;
        const int32_t n = static_cast<int32_t>(static_cast<const uint8_t*>(z) - p);
        out += quote_bytes(p, static_cast<size_t>(n));
        *used = n + 1;
        return true;
    }
    if (is_counted_type(type)) {
        if (avail < 1 || p[0] + 1 > avail) return false;
        out += quote_bytes(p + 1, p[0]);
        *used = p[0] + 1;
        return true;
    }
    if (type == 16 || type == 17) {
        const int32_t body = record_body(type);
        if (avail < body + 1 || p[0] != body) return false;
        out += render_record(type, p);
        *used = body + 1;
        return true;
    }
    const int32_t w = fixed_width(type);
    if (w == 0 || avail < w) return false;
    out += render_fixed(type, p);
    *used = w;
    return true;
}

// ---- Parsing ------------------------------------------------------------

struct Cursor {
    const std::string& text;
    size_t pos;
    std::string why;

    bool at_end() const { return pos >= text.size(); }
    char peek() const { return at_end() ? '\0' : text[pos]; }
    bool fail(const std::string& s) {
        if (why.empty()) why = s;
        return false;
    }
    bool expect(char c) {
        if (peek() != c) return fail(std::string("expected '") + c + "'");
        ++pos;
        return true;
    }
    // The characters up to the next separator (space, comma, closing
    // bracket) or the end.
    std::string token() {
        const size_t start = pos;
        while (!at_end() && std::strchr(" \t,)}", text[pos]) == nullptr) ++pos;
        return text.substr(start, pos - start);
    }
};

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_quoted(Cursor& c, std::vector<uint8_t>& out) {
    if (!c.expect('"')) return false;
    for (;;) {
        if (c.at_end()) return c.fail("string without its closing quote");
        const char ch = c.text[c.pos++];
        if (ch == '"') return true;
        if (ch != '\\') {
            out.push_back(static_cast<uint8_t>(ch));
            continue;
        }
        const char e = c.peek();
        if (e == '\\' || e == '"') {
            out.push_back(static_cast<uint8_t>(e));
            ++c.pos;
        } else if (e == 'x' && c.pos + 2 < c.text.size() && hex_digit(c.text[c.pos + 1]) >= 0 &&
                   hex_digit(c.text[c.pos + 2]) >= 0) {
            out.push_back(static_cast<uint8_t>(hex_digit(c.text[c.pos + 1]) * 16 + hex_digit(c.text[c.pos + 2])));
            c.pos += 3;
        } else {
            return c.fail("unknown escape in a string");
        }
    }
}

bool parse_integer(Cursor& c, long long lo, long long hi, long long* value) {
    const std::string t = c.token();
    if (t.empty()) return c.fail("number missing");
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi)
        return c.fail("'" + t + "' is not a number from " + std::to_string(lo) + " to " + std::to_string(hi));
    *value = v;
    return true;
}

bool parse_nan_bits(const std::string& t, int digits, uint64_t* bits) {
    if (t.size() != static_cast<size_t>(4 + digits) || t.compare(0, 4, "nan:") != 0) return false;
    uint64_t v = 0;
    for (size_t i = 4; i < t.size(); ++i) {
        const int d = hex_digit(t[i]);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint64_t>(d);
    }
    *bits = v;
    return true;
}

bool parse_float(Cursor& c, uint8_t type, std::vector<uint8_t>& out) {
    const std::string t = c.token();
    uint64_t bits = 0;
    if (type == 6 && parse_nan_bits(t, 8, &bits)) {
        append_host(out, static_cast<uint32_t>(bits));
        return true;
    }
    if (type == 7 && parse_nan_bits(t, 16, &bits)) {
        append_host(out, bits);
        return true;
    }
    if (t.empty()) return c.fail("number missing");
    char* end = nullptr;
    if (type == 6) {
        const float f = std::strtof(t.c_str(), &end);
        if (*end != '\0') return c.fail("'" + t + "' is not a float");
        append_host(out, f);
    } else {
        const double d = std::strtod(t.c_str(), &end);
        if (*end != '\0') return c.fail("'" + t + "' is not a double");
        append_host(out, d);
    }
    return true;
}

bool parse_record(Cursor& c, uint8_t type, std::vector<uint8_t>& out) {
    if (!c.expect('{')) return false;
    out.push_back(static_cast<uint8_t>(record_body(type)));
    const int fields = type == 16 ? 5 : 6;
    for (int i = 0; i < fields; ++i) {
        if (i > 0 && !c.expect(',')) return false;
        long long v = 0;
        if (i == 0 || i == 4) {
            if (!parse_integer(c, 0, 65535, &v)) return false;
            append_host(out, static_cast<uint16_t>(v));
        } else if (i == 5) {
            if (!parse_integer(c, -32768, 32767, &v)) return false;
            append_host(out, static_cast<int16_t>(v));
        } else {
            if (!parse_integer(c, 0, 4294967295LL, &v)) return false;
            append_host(out, static_cast<uint32_t>(v));
        }
    }
    return c.expect('}');
}

bool parse_value(Cursor& c, uint8_t type, std::vector<uint8_t>& out) {
    if (is_string_type(type)) {
        std::vector<uint8_t> s;
        if (!parse_quoted(c, s)) return false;
        if (!s.empty() && std::memchr(s.data(), 0, s.size()) != nullptr) return c.fail("a string key holds a zero byte");
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
        return true;
    }
    if (is_counted_type(type)) {
        std::vector<uint8_t> s;
        if (!parse_quoted(c, s)) return false;
        if (s.size() > 255) return c.fail("a counted string longer than 255 bytes");
        out.push_back(static_cast<uint8_t>(s.size()));
        out.insert(out.end(), s.begin(), s.end());
        return true;
    }
    if (type == 16 || type == 17) return parse_record(c, type, out);
    long long v = 0;
    switch (type) {
    case 3:
    case 5:
        if (!parse_integer(c, INT32_MIN, INT32_MAX, &v)) return false;
        append_host(out, static_cast<int32_t>(v));
        return true;
    case 4:
        if (!parse_integer(c, INT16_MIN, INT16_MAX, &v)) return false;
        append_host(out, static_cast<int16_t>(v));
        return true;
    case 10:
        if (!parse_integer(c, 0, UINT16_MAX, &v)) return false;
        append_host(out, static_cast<uint16_t>(v));
        return true;
    case 6:
    case 7: return parse_float(c, type, out);
    case 9: {
        std::vector<uint8_t> b;
        const std::string t = c.token();
        if (t.size() != 12 || !parse_hex(t, b)) return c.fail("'" + t + "' is not 12 hex digits");
        out.insert(out.end(), b.begin(), b.end());
        return true;
    }
    default: return c.fail("key type " + std::to_string(type) + " has no text form");
    }
}

}  // namespace

bool is_key_type(uint8_t t) { return t <= 10 || (t >= 16 && t <= 20); }

std::string key_type_name(uint8_t t) {
    static const char* const names[] = {"string",         "case-blind string", "counted string", "int32 (wrapping)",
                                        "int16",          "int32",             "float",          "double",
                                        "compound",       "six bytes",         "uint16",         nullptr,
                                        nullptr,          nullptr,             nullptr,          nullptr,
                                        "numeric record", "numeric record+",   "counted string", "counted string",
                                        "counted string"};
    if (t < sizeof names / sizeof names[0] && names[t] != nullptr) return names[t];
    return "type " + std::to_string(t) + " (not a key type)";
}

bool parse_segment_list(const std::string& text, SegmentList& out, std::string& why) {
    out.clear();
    size_t i = 0;
    while (i <= text.size()) {
        const size_t comma = text.find(',', i);
        const std::string item = text.substr(i, comma == std::string::npos ? std::string::npos : comma - i);
        Segment s;
        std::string digits = item;
        if (!digits.empty() && (digits.back() == 'd' || digits.back() == 'D')) {
            s.descending = true;
            digits.pop_back();
        }
        char* end = nullptr;
        const long v = digits.empty() ? -1 : std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || v < 0 || v > 20 || v == 8 || !is_key_type(static_cast<uint8_t>(v))) {
            why = "segment '" + item + "' is not a key type (0..10 or 16..20, not 8) with an optional 'd'";
            return false;
        }
        s.key_type = static_cast<uint8_t>(v);
        out.push_back(s);
        if (comma == std::string::npos) break;
        i = comma + 1;
    }
    if (out.size() > 242) {
        why = "too many segments";
        return false;
    }
    return true;
}

std::string segment_list_text(const SegmentList& list) {
    std::string s;
    for (const Segment& g : list) {
        if (!s.empty()) s += ',';
        s += std::to_string(g.key_type);
        if (g.descending) s += 'd';
    }
    return s;
}

std::vector<KXSEGMENT> library_segments(const SegmentList& list) {
    std::vector<KXSEGMENT> out(list.size() + 1);
    for (size_t i = 0; i < list.size(); ++i) {
        std::memset(&out[i], 0, sizeof out[i]);
        out[i].key_type = list[i].key_type;
        out[i].field_index = static_cast<int32_t>(i);
        out[i].descending = list[i].descending ? 1 : 0;
    }
    std::memset(&out.back(), 0, sizeof out.back());
    out.back().key_type = 31;
    return out;
}

std::string quote_bytes(const uint8_t* bytes, size_t n) {
    std::string s = "\"";
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        if (b == '"' || b == '\\') {
            s += '\\';
            s += static_cast<char>(b);
        } else if (b < 0x20 || b >= 0x7f) {
            static const char digits[] = "0123456789abcdef";
            s += "\\x";
            s += digits[b >> 4];
            s += digits[b & 15];
        } else {
            s += static_cast<char>(b);
        }
    }
    return s + "\"";
}

std::string hex_bytes(const uint8_t* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s(n * 2, '0');
    for (size_t i = 0; i < n; ++i) {
        s[2 * i] = digits[bytes[i] >> 4];
        s[2 * i + 1] = digits[bytes[i] & 15];
    }
    return s;
}

bool parse_hex(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2 != 0) return false;
    out.clear();
    out.reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

std::string render_key(uint8_t type, const SegmentList* segments, const uint8_t* key, int32_t length) {
    std::string out;
    int32_t used = 0;
    if (type == 8) {
        if (segments != nullptr && length >= 1 && key[0] + 1 == length) {
            out = "(";
            int32_t pos = 1;
            bool ok = true;
            for (size_t i = 0; ok && i < segments->size() && pos < length; ++i) {
                if (i > 0) out += ',';
                ok = render_value((*segments)[i].key_type, key + pos, length - pos, out, &used);
                pos += used;
            }
            if (ok && pos == length) return out + ")";
        }
    } else if (is_key_type(type) && render_value(type, key, length, out, &used) && used == length) {
        return out;
    }
    return "x:" + hex_bytes(key, static_cast<size_t>(length));
}

bool parse_key(uint8_t type, const SegmentList* segments, const std::string& text, size_t* pos,
               std::vector<uint8_t>& out, std::string& why) {
    Cursor c{text, *pos, {}};
    out.clear();
    bool ok;
    if (text.compare(c.pos, 2, "x:") == 0) {
        c.pos += 2;
        const std::string t = c.token();
        ok = !t.empty() && parse_hex(t, out);
        if (!ok) c.fail("'x:" + t + "' is not an even number of hex digits");
    } else if (type == 8) {
        ok = segments != nullptr || c.fail("a compound key in segment form, but no segment list for its root");
        ok = ok && c.expect('(');
        out.push_back(0);
        for (size_t i = 0; ok && c.peek() != ')'; ++i) {
            if (i >= segments->size()) {
                ok = c.fail("more values than the segment list has segments");
            } else {
                ok = (i == 0 || c.expect(',')) && parse_value(c, (*segments)[i].key_type, out);
            }
        }
        ok = ok && c.expect(')');
        if (ok && out.size() - 1 > 255) ok = c.fail("compound key too long");
        if (ok) out[0] = static_cast<uint8_t>(out.size() - 1);
    } else {
        ok = parse_value(c, type, out);
    }
    if (ok && static_cast<int32_t>(out.size()) > LongestKey)
        ok = c.fail("key of " + std::to_string(out.size()) + " bytes (at most " + std::to_string(LongestKey) + ")");
    if (!ok) {
        why = c.why;
        return false;
    }
    *pos = c.pos;
    return true;
}

}  // namespace kxtool
