// src/query/unicode_upper.cpp: ASCII fast path plus a generated table for the
// rest. The table holds only characters whose upper case differs.
#include "query/unicode_upper.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace sablecrest::query {
namespace {

// A run of one-to-one mappings sharing one delta: first, first + stride, ...,
// first + span each map to themselves plus delta. Runs never overlap, not even
// through the gaps of a stride-2 run.
struct UpperRange {
    uint32_t first;
    int32_t delta;
    uint16_t span;
    uint8_t stride;
};

// A character whose upper case is several characters (or a longer encoding
// that the one-to-one runs cannot describe).
struct UpperSpecial {
    uint32_t code_point;
    uint8_t length;
    unsigned char utf8[6];
};

#include "query/unicode_upper_table.inc"

static_assert(kUpperSpecialMaxBytes <= sizeof(UpperSpecial::utf8),
              "an expansion must fit its fixed slot");
static_assert(std::size(kUpperRanges) > 0 && std::size(kUpperSpecials) > 0,
              "the lookups below assume non-empty tables");

void append_utf8(std::string& out, uint32_t cp) {
    char buf[4];
    std::size_t n;
    if (cp < 0x80) {
        buf[0] = static_cast<char>(cp);
        n = 1;
    } else if (cp < 0x800) {
        buf[0] = static_cast<char>(0xC0 | (cp >> 6));
        buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 2;
    } else if (cp < 0x10000) {
        buf[0] = static_cast<char>(0xE0 | (cp >> 12));
        buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 3;
    } else {
        buf[0] = static_cast<char>(0xF0 | (cp >> 18));
        buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
        n = 4;
    }
    out.append(buf, n);
}

// Appends the upper case of one non-ASCII code point.
void append_upper_code_point(std::string& out, uint32_t cp,
                             const char* original, std::size_t original_len) {
    const UpperRange* range = std::upper_bound(
        std::begin(kUpperRanges), std::end(kUpperRanges), cp,
        [](uint32_t c, const UpperRange& r) { return c < r.first; });
    if (range != std::begin(kUpperRanges)) {
        --range;
        uint32_t offset = cp - range->first;
        if (offset <= range->span && offset % range->stride == 0) {
            append_utf8(out, static_cast<uint32_t>(static_cast<int64_t>(cp) + range->delta));
            return;
        }
    }
    const UpperSpecial* special = std::lower_bound(
        std::begin(kUpperSpecials), std::end(kUpperSpecials), cp,
        [](const UpperSpecial& s, uint32_t c) { return s.code_point < c; });
    if (special != std::end(kUpperSpecials) && special->code_point == cp) {
        out.append(reinterpret_cast<const char*>(special->utf8), special->length);
        return;
    }
    out.append(original, original_len);
}

// Decodes one well-formed UTF-8 sequence of 2 to 4 bytes at p (with `avail`
// bytes left). Returns its length, or 0 when the bytes are not well formed
// (overlong, surrogate, beyond U+10FFFF or cut short).
std::size_t decode(const unsigned char* p, std::size_t avail, uint32_t& cp) {
    unsigned char b0 = p[0];
    std::size_t n;
    uint32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (avail < n) return 0;
    for (std::size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

}  // namespace

void append_upper(std::string& out, std::string_view utf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t size = utf8.size();

    // Join kinds and directions are nearly always ASCII: upper-case the ASCII
    // prefix in one resize, one byte for one byte.
    std::size_t ascii = 0;
    while (ascii < size && p[ascii] < 0x80) ++ascii;
    std::size_t base = out.size();
    out.resize(base + ascii);
    char* dst = out.data() + base;
    for (std::size_t i = 0; i < ascii; ++i) {
        unsigned char c = p[i];
        dst[i] = static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c);
    }

    std::size_t i = ascii;
    while (i < size) {
        unsigned char c = p[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - ('a' - 'A') : c));
            ++i;
            continue;
        }
        uint32_t cp = 0;
        std::size_t n = decode(p + i, size - i, cp);
        if (n == 0) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        append_upper_code_point(out, cp, utf8.data() + i, n);
        i += n;
    }
}

}  // namespace sablecrest::query
