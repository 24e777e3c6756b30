// shared/fx_hash.hpp: the unseeded FxHash used by the field map and the key sets.
// No per-process seed: the same bytes hash the same in every run, which is what makes
// listing order reproducible between processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(_MSC_VER) && defined(_M_X64)
#include <intrin.h>
#endif

namespace sablecrest {

inline constexpr uint64_t kFxMultiplier = 0xf1357aea2e62a9c5ULL;
inline constexpr int kFxRotate = 26;

namespace fx_detail {

inline uint64_t rotl(uint64_t x, int r) noexcept { return (x << r) | (x >> (64 - r)); }

// Folded 128-bit multiply: spreads every input bit over the whole word in one step.
// The native 64x64->128 multiply where the compiler has one; otherwise four 32-bit
// partial products, which give the same 128 bits (32-bit targets, MSVC on ARM).
inline uint64_t mix(uint64_t a, uint64_t b) noexcept {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
    uint64_t hi = 0;
    const uint64_t lo = _umul128(a, b, &hi);
    return lo ^ hi;
#else
    const uint64_t a_lo = a & 0xFFFFFFFFu, a_hi = a >> 32;
    const uint64_t b_lo = b & 0xFFFFFFFFu, b_hi = b >> 32;
    const uint64_t ll = a_lo * b_lo, lh = a_lo * b_hi, hl = a_hi * b_lo, hh = a_hi * b_hi;
    // The middle column: its carry into the high word is at most 2.
    const uint64_t mid = (ll >> 32) + (lh & 0xFFFFFFFFu) + (hl & 0xFFFFFFFFu);
    const uint64_t lo = (mid << 32) | (ll & 0xFFFFFFFFu);
    const uint64_t hi = hh + (lh >> 32) + (hl >> 32) + (mid >> 32);
    return lo ^ hi;
#endif
}

// Little-endian loads, spelled out byte-wise so big-endian hosts hash the same.
inline uint64_t load_u64(const unsigned char* p) noexcept {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

inline uint64_t load_u32(const unsigned char* p) noexcept {
    return static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 |
           static_cast<uint64_t>(p[2]) << 16 | static_cast<uint64_t>(p[3]) << 24;
}

// The word that a byte string contributes to the hasher state.
inline uint64_t bytes_word(const unsigned char* b, size_t n) noexcept {
    uint64_t s0 = 0x243f6a8885a308d3ULL;
    uint64_t s1 = 0x13198a2e03707344ULL;
    if (n <= 16) {
        if (n >= 8) {
            s0 ^= load_u64(b);
            s1 ^= load_u64(b + n - 8);
        } else if (n >= 4) {
            s0 ^= load_u32(b);
            s1 ^= load_u32(b + n - 4);
        } else if (n > 0) {
            s0 ^= b[0];
            s1 ^= static_cast<uint64_t>(b[n - 1]) << 8 | b[n / 2];
        }
    } else {
        for (size_t o = 0; o < n - 16; o += 16) {
            const uint64_t x = load_u64(b + o);
            const uint64_t y = load_u64(b + o + 8);
            const uint64_t t = mix(s0 ^ x, 0xa4093822299f31d0ULL ^ y);
            s0 = s1;
            s1 = t;
        }
        s0 ^= load_u64(b + n - 16);
        s1 ^= load_u64(b + n - 8);
    }
    return mix(s0, s1) ^ static_cast<uint64_t>(n);
}

}  // namespace fx_detail

// Hasher over raw bytes alone (no terminator byte): the form public test suites pin.
inline uint64_t fx_hash_bytes_raw(const void* data, size_t n) noexcept {
    const uint64_t w = fx_detail::bytes_word(static_cast<const unsigned char*>(data), n);
    return fx_detail::rotl(w * kFxMultiplier, kFxRotate);
}

// A field name or string key: its bytes, then the single byte 0xFF that keeps a string
// and its prefixes apart when hashed as part of a larger value.
inline uint64_t fx_hash_str(std::string_view s) noexcept {
    const uint64_t w =
        fx_detail::bytes_word(reinterpret_cast<const unsigned char*>(s.data()), s.size());
    return fx_detail::rotl((w * kFxMultiplier + 0xFF) * kFxMultiplier, kFxRotate);
}

inline uint64_t fx_hash_int(int64_t k) noexcept {
    return fx_detail::rotl(static_cast<uint64_t>(k) * kFxMultiplier, kFxRotate);
}

// Hash functors for SwissMap. FxStrHash accepts anything explicitly viewable as
// std::string_view, so owned keys and borrowed lookups hash identically.
struct FxStrHash {
    template <class S>
    uint64_t operator()(const S& s) const noexcept {
        return fx_hash_str(std::string_view(s));
    }
};

struct FxIntHash {
    uint64_t operator()(int64_t k) const noexcept { return fx_hash_int(k); }
};

}  // namespace sablecrest
