#include "json/json.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <functional>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

#if !defined(__cpp_lib_to_chars)
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>
#endif

#include "json/json_messages.hpp"
#include "util/utf8.hpp"

namespace korvane::json {

namespace {

// Reads the JSON number [first, last) as the nearest double, as std::from_chars does: out of range
// (and `value` unchanged) when its magnitude rounds to an infinity or, though not zero, to zero.
// Where the standard library has no from_chars for floating point (libc++ before 20), strtod_l
// in the "C" locale reads it, which rounds correctly on glibc and macOS alike.
std::errc parse_double(const char* first, const char* last, double& value) {
#if defined(__cpp_lib_to_chars)
    return std::from_chars(first, last, value, std::chars_format::general).ec;
#else
    static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    const std::string text(first, last);
    errno = 0;
    const double parsed = ::strtod_l(text.c_str(), nullptr, c_locale);
    // strtod_l also reports ERANGE for a subnormal result, which from_chars takes as it is.
    if (errno == ERANGE && (std::isinf(parsed) || parsed == 0.0))
        return std::errc::result_out_of_range;
    value = parsed;
    return std::errc{};
#endif
}

constexpr std::string_view eof_while_parsing_value = "EOF while parsing a value";
constexpr std::string_view eof_while_parsing_object = "EOF while parsing an object";
constexpr std::string_view eof_while_parsing_list = "EOF while parsing a list";
constexpr std::string_view eof_while_parsing_string = "EOF while parsing a string";
constexpr std::string_view invalid_number = "invalid number";
constexpr std::string_view invalid_escape = "invalid escape";
constexpr std::string_view lone_surrogate = "lone leading surrogate in hex escape";
constexpr std::string_view unexpected_end_of_hex_escape = "unexpected end of hex escape";
constexpr std::string_view trailing_comma = "trailing comma";

bool is_digit(unsigned char byte) {
    return byte >= '0' && byte <= '9';
}

int hex_value(unsigned char byte) {
    if (is_digit(byte)) return byte - '0';
    if (byte >= 'a' && byte <= 'f') return byte - 'a' + 10;
    if (byte >= 'A' && byte <= 'F') return byte - 'A' + 10;
    return -1;
}

// Whether a number that does not fit a double is too large (rather than too small) for it. Such
// a number lies hundreds of decimal orders away from 1, so the order of its first significant
// digit tells.
bool magnitude_exceeds_one(std::string_view number) {
    std::size_t position = number.front() == '-' ? 1 : 0;
    long long order = 0;  // digits before the decimal point, from the first significant one
    bool found = false;
    for (; position < number.size() && is_digit(number[position]); ++position) {
        if (!found && number[position] != '0') found = true;
        if (found) ++order;
    }
    if (position < number.size() && number[position] == '.') {
        for (++position; position < number.size() && is_digit(number[position]); ++position) {
            if (found) continue;
            if (number[position] != '0') {
                found = true;
            } else {
                --order;
            }
        }
    }
    if (position < number.size()) {  // exponent
        ++position;
        bool negative = false;
        if (number[position] == '+' || number[position] == '-') {
            negative = number[position] == '-';
            ++position;
        }
        long long exponent = 0;
        for (; position < number.size(); ++position) {
            exponent = std::min(exponent * 10 + (number[position] - '0'), 1'000'000'000LL);
        }
        order += negative ? -exponent : exponent;
    }
    return order > 0;
}

// The members of one object by key: open addressing over member positions, each kept with its
// key's hash so that a probe reads a member's key only when the hashes agree.
class KeyIndex {
public:
    // The position of the member whose key equals that of `members[added]`, recording `added`
    // as the key's position when there is none yet.
    std::size_t find_or_insert(const Object& members, std::size_t added) {
        if ((used_ + 1) * 2 > slots_.size()) grow();
        const std::string& key = members[added].key;
        const std::size_t hash = std::hash<std::string_view>{}(key);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.member == empty) {
                slot = {hash, added};
                ++used_;
                return added;
            }
            if (slot.hash == hash && members[slot.member].key == key) return slot.member;
        }
    }

private:
    static constexpr std::size_t empty = std::numeric_limits<std::size_t>::max();
    struct Slot {
        std::size_t hash = 0;
        std::size_t member = empty;
    };

    // Doubles the table, keeping it at most half full.
    void grow() {
        std::vector<Slot> old =
            std::exchange(slots_, std::vector<Slot>(std::max<std::size_t>(64, slots_.size() * 2)));
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.member == empty) continue;
            std::size_t i = slot.hash & mask;
            while (slots_[i].member != empty) i = (i + 1) & mask;
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

// Members of an object under construction. A small object is searched from end to end for a
// repeated key; a large one through an index, since a header may hold hundreds of thousands.
class ObjectBuilder {
public:
    // A repeated key keeps its first position and takes the new value.
    void insert(std::string key, Value value) {
        members_.emplace_back(std::move(key), std::move(value));
        const std::size_t added = members_.size() - 1;
        std::size_t first = added;
        if (added < scan_limit) {
            for (std::size_t i = 0; i < added && first == added; ++i) {
                if (members_[i].key == members_[added].key) first = i;
            }
        } else {
            if (added == scan_limit) {
                for (std::size_t i = 0; i < added; ++i) index_.find_or_insert(members_, i);
            }
            first = index_.find_or_insert(members_, added);
        }
        if (first != added) {
            members_[first].value = std::move(members_.back().value);
            members_.pop_back();
        }
    }

    Object take() { return std::move(members_); }

private:
    static constexpr std::size_t scan_limit = 16;

    Object members_;
    KeyIndex index_;
};

// Recursive descent over the bytes. Every parse step returns false once a fault is recorded.
class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    std::expected<Object, std::string> parse_document() {
        Object object;
        if (parse_top_level(object)) return object;
        return std::unexpected(std::move(fault_));
    }

private:
    bool at_end() const { return position_ == text_.size(); }
    unsigned char peek() const { return static_cast<unsigned char>(text_[position_]); }
    unsigned char next() { return static_cast<unsigned char>(text_[position_++]); }

    // Skips whitespace; false at the end of the input.
    bool skip_whitespace() {
        while (!at_end()) {
            const unsigned char byte = peek();
            if (byte != ' ' && byte != '\n' && byte != '\t' && byte != '\r') return true;
            ++position_;
        }
        return false;
    }

    // A fault whose position ends just after `end` bytes of input.
    bool fail_at(std::size_t end, std::string_view reason) {
        fault_ = describe_fault(text_, end, reason);
        return false;
    }
    // At the byte just consumed (or the end of the input).
    bool fail_consumed(std::string_view reason) { return fail_at(position_, reason); }
    // At the byte not yet consumed (or the end of the input).
    bool fail_peeked(std::string_view reason) {
        return fail_at(std::min(position_ + 1, text_.size()), reason);
    }

    bool parse_top_level(Object& object) {
        if (!skip_whitespace()) return fail_peeked(eof_while_parsing_value);
        if (peek() != '{') return fail_unexpected_top_level();
        Value value;
        if (!parse_object(value)) return false;
        if (skip_whitespace()) return fail_peeked("trailing characters");
        object = std::move(std::get<Object>(value.content));
        return true;
    }

    // The top level must be an object. Names what it is instead: a scalar once it is read, an
    // array before.
    bool fail_unexpected_top_level() {
        if (peek() == '[') return fail_consumed("invalid type: sequence, expected a map");
        Value value;
        if (!parse_value(value)) return false;
        return fail_consumed("invalid type: " + describe_scalar(value) + ", expected a map");
    }

    bool parse_value(Value& out) {
        if (!skip_whitespace()) return fail_peeked(eof_while_parsing_value);
        switch (peek()) {
            case 'n':
                out.content = nullptr;
                return parse_literal("null");
            case 't':
                out.content = true;
                return parse_literal("true");
            case 'f':
                out.content = false;
                return parse_literal("false");
            case '"': {
                ++position_;
                std::string text;
                if (!parse_string(text)) return false;
                out.content = std::move(text);
                return true;
            }
            case '[':
                return parse_array(out);
            case '{':
                return parse_object(out);
            default:
                if (peek() == '-' || is_digit(peek())) return parse_number(out);
                return fail_peeked("expected value");
        }
    }

    bool parse_literal(std::string_view literal) {
        ++position_;
        for (const char expected : literal.substr(1)) {
            if (at_end()) return fail_consumed(eof_while_parsing_value);
            if (next() != static_cast<unsigned char>(expected)) {
                return fail_consumed("expected ident");
            }
        }
        return true;
    }

    // Enters one more level of nesting at a '[' or '{' not yet consumed.
    bool enter_container() {
        if (depth_ == max_depth) return fail_peeked("recursion limit exceeded");
        ++depth_;
        ++position_;
        return true;
    }

    // The comma-separated items of an array or object, from its opening bracket (not yet
    // consumed) through `close`; `parse_item` reads one item.
    template <typename ParseItem>
    bool parse_items(unsigned char close, std::string_view eof_inside,
                     std::string_view expected_separator, ParseItem parse_item) {
        if (!enter_container()) return false;
        for (bool first = true;; first = false) {
            if (!skip_whitespace()) return fail_peeked(eof_inside);
            if (peek() == close) break;
            if (!first) {
                if (peek() != ',') return fail_peeked(expected_separator);
                ++position_;
                if (!skip_whitespace()) return fail_peeked(eof_while_parsing_value);
                if (peek() == close) return fail_peeked(trailing_comma);
            }
            if (!parse_item()) return false;
        }
        ++position_;
        --depth_;
        return true;
    }

    bool parse_array(Value& out) {
        Array items;
        const auto parse_item = [&] { return parse_value(items.emplace_back()); };
        if (!parse_items(']', eof_while_parsing_list, "expected `,` or `]`", parse_item)) {
            return false;
        }
        out.content = std::move(items);
        return true;
    }

    bool parse_object(Value& out) {
        ObjectBuilder members;
        const auto parse_member = [&] {
            if (peek() != '"') return fail_peeked("key must be a string");
            ++position_;
            std::string key;
            if (!parse_string(key)) return false;
            if (!skip_whitespace()) return fail_peeked(eof_while_parsing_object);
            if (peek() != ':') return fail_peeked("expected `:`");
            ++position_;
            Value value;
            if (!parse_value(value)) return false;
            members.insert(std::move(key), std::move(value));
            return true;
        };
        if (!parse_items('}', eof_while_parsing_object, "expected `,` or `}`", parse_member)) {
            return false;
        }
        out.content = members.take();
        return true;
    }

    // Classifies the number by its text: an integer without fraction or exponent keeps its
    // integer kind while it fits in 64 bits; -0 and all the rest are floating point.
    bool parse_number(Value& out) {
        const std::size_t start = position_;
        const bool negative = peek() == '-';
        if (negative) ++position_;
        if (at_end()) return fail_consumed(eof_while_parsing_value);
        const unsigned char lead = next();
        if (lead == '0') {
            if (!at_end() && is_digit(peek())) return fail_peeked(invalid_number);
        } else if (is_digit(lead)) {
            while (!at_end() && is_digit(peek())) ++position_;
        } else {
            return fail_consumed(invalid_number);
        }
        bool integer = true;
        if (!at_end() && peek() == '.') {
            integer = false;
            ++position_;
            const std::size_t fraction_start = position_;
            while (!at_end() && is_digit(peek())) ++position_;
            if (position_ == fraction_start) {
                return fail_peeked(at_end() ? eof_while_parsing_value : invalid_number);
            }
        }
        if (!at_end() && (peek() == 'e' || peek() == 'E')) {
            integer = false;
            ++position_;
            if (!at_end() && (peek() == '+' || peek() == '-')) ++position_;
            if (at_end()) return fail_consumed(eof_while_parsing_value);
            if (!is_digit(next())) return fail_consumed(invalid_number);
            while (!at_end() && is_digit(peek())) ++position_;
        }

        const char* first = text_.data() + start;
        const char* last = text_.data() + position_;
        if (integer) {
            std::uint64_t magnitude = 0;
            const auto parsed = std::from_chars(first + (negative ? 1 : 0), last, magnitude);
            if (parsed.ec == std::errc{}) {
                if (!negative) {
                    out.content = magnitude;
                    return true;
                }
                constexpr auto most_negative =
                    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1;
                if (magnitude != 0 && magnitude <= most_negative) {
                    out.content = static_cast<std::int64_t>(0 - magnitude);
                    return true;
                }
            }
        }
        double value = 0;
        if (parse_double(first, last, value) == std::errc::result_out_of_range) {
            const std::string_view number(first, static_cast<std::size_t>(last - first));
            if (magnitude_exceeds_one(number)) return fail_consumed("number out of range");
            value = negative ? -0.0 : 0.0;  // too small: rounds to zero
        }
        out.content = value;
        return true;
    }

    // Reads a string whose opening quote is consumed, through its closing quote.
    bool parse_string(std::string& out) {
        std::size_t run_start = position_;
        for (;;) {
            while (!at_end() && peek() != '"' && peek() != '\\' && peek() >= 0x20) ++position_;
            if (at_end()) return fail_consumed(eof_while_parsing_string);
            out.append(text_.substr(run_start, position_ - run_start));
            const unsigned char byte = next();
            if (byte == '"') break;
            if (byte != '\\') {
                return fail_consumed(
                    "control character (\\u0000-\\u001F) found while parsing a string");
            }
            if (!parse_escape(out)) return false;
            run_start = position_;
        }
        // Checked once the string is complete, so the fault stands after its closing quote.
        if (!utf8::is_valid(out)) return fail_consumed("invalid unicode code point");
        return true;
    }

    bool parse_escape(std::string& out) {
        if (at_end()) return fail_consumed(eof_while_parsing_string);
        switch (next()) {
            case '"':
                out += '"';
                return true;
            case '\\':
                out += '\\';
                return true;
            case '/':
                out += '/';
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u':
                return parse_unicode_escape(out);
            default:
                return fail_consumed(invalid_escape);
        }
    }

    // The four hex digits of a \u escape.
    bool parse_hex_escape(char32_t& unit) {
        if (text_.size() - position_ < 4) {
            position_ = text_.size();
            return fail_consumed(eof_while_parsing_string);
        }
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(next());
            if (digit < 0) return fail_consumed(invalid_escape);
            unit = unit << 4 | static_cast<char32_t>(digit);
        }
        return true;
    }

    // A UTF-16 code unit, or a pair of them for a character beyond the Basic Multilingual Plane.
    bool parse_unicode_escape(std::string& out) {
        char32_t unit = 0;
        if (!parse_hex_escape(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail_consumed(lone_surrogate);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            for (const unsigned char expected : {'\\', 'u'}) {
                if (at_end()) return fail_consumed(eof_while_parsing_string);
                if (next() != expected) {
                    return fail_consumed(unexpected_end_of_hex_escape);
                }
            }
            char32_t low = 0;
            if (!parse_hex_escape(low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return fail_consumed(lone_surrogate);
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        utf8::append(out, unit);
        return true;
    }

    std::string_view text_;
    std::size_t position_ = 0;
    int depth_ = 0;
    std::string fault_;
};

}  // namespace

std::expected<Object, std::string> parse_object(std::string_view text) {
    return Parser(text).parse_document();
}

}  // namespace korvane::json
