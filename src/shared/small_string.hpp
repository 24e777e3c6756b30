// shared/small_string.hpp: an owned UTF-8 byte string in 16 bytes.
// Up to 15 bytes live inline (no allocation); longer strings live on the heap. The last
// byte tells the two apart: 0..15 is an inline length, kHeapTag marks a heap string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace sablecrest {

class SmallString {
public:
    static constexpr size_t kInlineCapacity = 15;
    // Heap lengths are stored in 7 bytes: far beyond anything the address space allows.
    static constexpr uint64_t kMaxLength = (uint64_t{1} << 56) - 1;

    // Inline strings are canonical: bytes past the text are zero, so two inline strings
    // are equal exactly when their 16 bytes are (the tag byte holds the length).
    SmallString() noexcept { clear_bytes(); }

    explicit SmallString(std::string_view s) {
        if (s.size() <= kInlineCapacity) {
            clear_bytes();
            if (!s.empty()) std::memcpy(buf_, s.data(), s.size());
            buf_[kTagByte] = static_cast<unsigned char>(s.size());
            return;
        }
        if (s.size() > kMaxLength) throw std::bad_alloc();
        char* p = static_cast<char*>(::operator new(s.size()));  // throws std::bad_alloc
        std::memcpy(p, s.data(), s.size());
        set_heap(p, s.size());
    }

    // Relocation: the source is left as an empty inline string, so destroying it is free
    // and can never run into a double free.
    SmallString(SmallString&& other) noexcept {
        std::memcpy(buf_, other.buf_, sizeof buf_);
        other.clear_bytes();
    }

    SmallString& operator=(SmallString&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(buf_, other.buf_, sizeof buf_);
            other.clear_bytes();
        }
        return *this;
    }

    // Copies are explicit (copy()): an inline copy is a 16-byte move, a heap copy allocates.
    SmallString(const SmallString&) = delete;
    SmallString& operator=(const SmallString&) = delete;

    ~SmallString() { release(); }

    SmallString copy() const {
        if (is_inline()) {
            SmallString out;
            std::memcpy(out.buf_, buf_, sizeof buf_);
            return out;
        }
        return SmallString(view());
    }

    bool is_inline() const noexcept { return buf_[kTagByte] <= kInlineCapacity; }

    size_t size() const noexcept { return is_inline() ? buf_[kTagByte] : heap_size(); }

    const char* data() const noexcept {
        return is_inline() ? reinterpret_cast<const char*>(buf_) : heap_ptr();
    }

    std::string_view view() const noexcept { return std::string_view(data(), size()); }
    explicit operator std::string_view() const noexcept { return view(); }

    friend bool operator==(const SmallString& a, std::string_view b) noexcept {
        return a.view() == b;
    }
    friend bool operator==(const SmallString& a, const SmallString& b) noexcept {
        // The dirtiness test of the tracker: two word compares for inline texts.
        if (a.is_inline() && b.is_inline()) return a.word(0) == b.word(0) && a.word(1) == b.word(1);
        return a.view() == b.view();
    }

private:
    static constexpr size_t kTagByte = 15;
    static constexpr unsigned char kHeapTag = 0xFF;
    static constexpr size_t kLenOffset = 8;

    static_assert(sizeof(char*) <= kLenOffset, "the heap pointer must fit in bytes [0, 8)");
    static_assert(kLenOffset + 7 == kTagByte,
                  "a heap length takes the 7 bytes between the pointer and the tag byte");
    static_assert(kInlineCapacity < kHeapTag,
                  "inline lengths and the heap tag must never collide");

    const char* heap_ptr() const noexcept {
        const char* p;
        std::memcpy(&p, buf_, sizeof p);
        return p;
    }

    size_t heap_size() const noexcept {
        uint64_t n = 0;
        for (int i = 6; i >= 0; --i) n = (n << 8) | buf_[kLenOffset + i];
        return static_cast<size_t>(n);
    }

    void set_heap(char* p, size_t n) noexcept {
        std::memcpy(buf_, &p, sizeof p);
        uint64_t v = n;
        for (int i = 0; i < 7; ++i, v >>= 8) buf_[kLenOffset + i] = static_cast<unsigned char>(v);
        buf_[kTagByte] = kHeapTag;
    }

    void release() noexcept {
        if (!is_inline()) ::operator delete(const_cast<char*>(heap_ptr()));
        clear_bytes();
    }

    void clear_bytes() noexcept { std::memset(buf_, 0, sizeof buf_); }

    uint64_t word(size_t i) const noexcept {
        uint64_t w;
        std::memcpy(&w, buf_ + 8 * i, sizeof w);
        return w;
    }

    alignas(8) unsigned char buf_[16];
};

static_assert(sizeof(SmallString) == 16, "three strings per field keep a slot at 48 bytes");
static_assert(alignof(SmallString) == 8, "slots of SmallStrings pack without padding");


// An owned UTF-8 string of 8 bytes, for records where every byte counts (the native
// benchmark keeps a million trackers): up to 7 bytes inline, longer texts behind a
// pointer to a length-prefixed heap block.
//
// The tag byte is the byte that holds the pointer's lowest bits: byte 0 on little-endian
// hosts, byte 7 on big-endian ones (the pointer is stored right-aligned, so a 4-byte
// pointer ends at byte 7 too). The text takes the other seven bytes.
//
//   inline   tag byte = length << 1 (even), the text in the other 7 bytes, zero-padded
//   heap     the pointer word is (pointer | 1); pointer -> [uint64 length][bytes]
class CompactString {
public:
    static constexpr size_t kInlineCapacity = 7;

    CompactString() noexcept { std::memset(buf_, 0, sizeof buf_); }

    explicit CompactString(std::string_view s) {
        std::memset(buf_, 0, sizeof buf_);
        if (s.size() <= kInlineCapacity) {
            buf_[kTagByte] = static_cast<unsigned char>(s.size() << 1);
            if (!s.empty()) std::memcpy(buf_ + kTextOffset, s.data(), s.size());
            return;
        }
        auto* block = static_cast<unsigned char*>(::operator new(sizeof(uint64_t) + s.size()));
        const uint64_t n = s.size();
        std::memcpy(block, &n, sizeof n);
        std::memcpy(block + sizeof n, s.data(), s.size());
        const uintptr_t tagged = reinterpret_cast<uintptr_t>(block) | 1u;
        std::memcpy(buf_ + kPointerOffset, &tagged, sizeof tagged);
    }

    CompactString(CompactString&& other) noexcept {
        std::memcpy(buf_, other.buf_, sizeof buf_);
        std::memset(other.buf_, 0, sizeof other.buf_);
    }
    CompactString& operator=(CompactString&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(buf_, other.buf_, sizeof buf_);
            std::memset(other.buf_, 0, sizeof other.buf_);
        }
        return *this;
    }
    CompactString(const CompactString&) = delete;
    CompactString& operator=(const CompactString&) = delete;
    ~CompactString() { release(); }

    CompactString copy() const {
        if (is_inline()) {
            CompactString out;
            std::memcpy(out.buf_, buf_, sizeof buf_);
            return out;
        }
        return CompactString(view());
    }

    bool is_inline() const noexcept { return (buf_[kTagByte] & 1u) == 0; }
    size_t size() const noexcept {
        if (is_inline()) return buf_[kTagByte] >> 1;
        uint64_t n;
        std::memcpy(&n, block(), sizeof n);
        return static_cast<size_t>(n);
    }
    const char* data() const noexcept {
        return is_inline() ? reinterpret_cast<const char*>(buf_ + kTextOffset)
                           : reinterpret_cast<const char*>(block() + sizeof(uint64_t));
    }
    std::string_view view() const noexcept { return std::string_view(data(), size()); }
    explicit operator std::string_view() const noexcept { return view(); }

    friend bool operator==(const CompactString& a, std::string_view b) noexcept { return a.view() == b; }
    friend bool operator==(const CompactString& a, const CompactString& b) noexcept {
        if (a.is_inline() && b.is_inline()) return std::memcmp(a.buf_, b.buf_, sizeof a.buf_) == 0;
        return a.view() == b.view();
    }

private:
    static constexpr bool kLittle = std::endian::native == std::endian::little;
    static_assert(kLittle || std::endian::native == std::endian::big,
                  "the tag byte must be the byte holding the pointer's low bits");
    static_assert(sizeof(uintptr_t) <= 8, "the pointer word must fit in the 8 bytes");
    static constexpr size_t kPointerOffset = kLittle ? 0 : 8 - sizeof(uintptr_t);
    static constexpr size_t kTagByte = kLittle ? 0 : 7;
    static constexpr size_t kTextOffset = kLittle ? 1 : 0;
    static_assert(alignof(std::max_align_t) >= 2, "heap blocks leave the pointer's low bit free for the tag");

    const unsigned char* block() const noexcept {
        uintptr_t tagged;
        std::memcpy(&tagged, buf_ + kPointerOffset, sizeof tagged);
        return reinterpret_cast<const unsigned char*>(tagged & ~uintptr_t{1});
    }
    void release() noexcept {
        if (!is_inline()) ::operator delete(const_cast<unsigned char*>(block()));
        std::memset(buf_, 0, sizeof buf_);
    }

    alignas(8) unsigned char buf_[8];
};

static_assert(sizeof(CompactString) == 8, "three compact strings per field keep a slot at 24 bytes");

}  // namespace sablecrest
