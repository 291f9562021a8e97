#include "utf8.hpp"

#include <cstddef>

namespace korvane::utf8 {

void append(std::string& out, char32_t code_point) {
    const auto put = [&out](unsigned value) { out.push_back(static_cast<char>(value)); };
    if (code_point < 0x80) {
        put(code_point);
    } else if (code_point < 0x800) {
        put(0xC0 | (code_point >> 6));
        put(0x80 | (code_point & 0x3F));
    } else if (code_point < 0x10000) {
        put(0xE0 | (code_point >> 12));
        put(0x80 | ((code_point >> 6) & 0x3F));
        put(0x80 | (code_point & 0x3F));
    } else {
        put(0xF0 | (code_point >> 18));
        put(0x80 | ((code_point >> 12) & 0x3F));
        put(0x80 | ((code_point >> 6) & 0x3F));
        put(0x80 | (code_point & 0x3F));
    }
}

bool is_valid(std::string_view text) noexcept {
    const auto* byte = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = byte + text.size();
    while (byte != end) {
        const unsigned lead = *byte;
        if (lead < 0x80) {
            ++byte;
            continue;
        }
        std::size_t length = 0;
        unsigned low = 0x80;
        unsigned high = 0xBF;  // bounds of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - byte) < length) return false;
        if (byte[1] < low || byte[1] > high) return false;
        for (std::size_t i = 2; i < length; ++i) {
            if ((byte[i] & 0xC0) != 0x80) return false;
        }
        byte += length;
    }
    return true;
}

}  // namespace korvane::utf8
