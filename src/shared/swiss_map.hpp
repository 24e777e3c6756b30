// shared/swiss_map.hpp: the open-addressing table behind the tracker's fields and the
// aggregator's key sets. Its slot discipline is fixed, so listing order (ascending slot
// number) depends only on the history of calls: never on the CPU, run or addresses.
//
// DESIGN
//
// Layout. S slots (a power of two; 0 means no storage at all) live in one block:
//
//     [ Slot 0 .. Slot S-1 ][ ctrl 0 .. ctrl S+15 ]
//
// One control byte per slot:
//
//     kEmpty   0b1000'0000   slot holds nothing (the only value with the top bit set)
//     full     0b0ttt'tttt   slot holds an entry whose hash has top 7 bits ttttttt
//
// The 16 bytes past the end make any 16-byte load starting at a slot read "16 consecutive
// slots wrapping modulo S": for S >= 16 bytes [S, S+16) mirror [0, 16); for S < 16 every
// byte is replicated cyclically (byte j holds slot j mod S) and matches are masked to the
// low S bits, so each slot of a small table is seen exactly once per group.
//
// Hash split. The low bits (hash & (S-1)) choose where the probe starts; the top 7 bits
// (hash >> 57) are the tag kept in the control byte, so most non-matching slots are
// rejected by one SIMD compare without touching the keys.
//
// Probe order. Groups start at start, start+16, start+48, start+96, ... (triangular
// steps 16·k(k+1)/2 mod S). With G = S/16 group positions (a power of two), the
// triangular numbers modulo G run through every residue in G steps, so every slot is
// reached; the load limit keeps at least one slot empty, so every probe ends. For S < 16
// every step is a multiple of S: the first group already covers the whole table.
//
// Rules. A lookup compares tags, then keys, along the probe sequence and stops at the
// first group holding an empty slot. An insert takes the first empty slot met. The table
// holds at most S-1 entries for S of 4 or 8 and 7S/8 from 16; an insert into a full
// table first grows it (re-placing the old entries in ascending order of their old
// slots). Entries are never removed one at a time, so a slot is only ever empty or full.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

// SSE2: GCC and Clang say so with __SSE2__; MSVC has it on every x64 target and on x86
// with /arch:SSE2 or above.
#if (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)) && \
    !defined(SABLECREST_PORTABLE_GROUP)
#include <emmintrin.h>
#define SABLECREST_GROUP_SSE2 1
#endif

namespace sablecrest {

namespace swiss_detail {

inline constexpr size_t kGroupWidth = 16;
inline constexpr uint8_t kEmpty = 0x80;

static_assert(kGroupWidth == 16, "one SSE2 register holds exactly one group of control bytes");
static_assert((UINT64_MAX >> 57) == 0x7F && (kEmpty & 0x80) != 0,
              "tags are 7 bits, so only kEmpty carries the top bit that movemask reads");

inline uint8_t tag_of(uint64_t hash) noexcept { return static_cast<uint8_t>(hash >> 57); }

inline unsigned lowest_bit(uint32_t bits) noexcept { return static_cast<unsigned>(std::countr_zero(bits)); }

// Sixteen control bytes loaded from any slot position. Bit i of a match refers to the
// slot i places after the load position.
struct Group {
#ifdef SABLECREST_GROUP_SSE2
    __m128i v;
    explicit Group(const uint8_t* p) noexcept
        : v(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) {}
    uint32_t match(uint8_t tag) const noexcept {
        return static_cast<uint32_t>(
            _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(tag)))));
    }
    uint32_t match_empty() const noexcept {
        return static_cast<uint32_t>(_mm_movemask_epi8(v));
    }
#else
    uint8_t b[kGroupWidth];
    explicit Group(const uint8_t* p) noexcept { std::memcpy(b, p, kGroupWidth); }
    uint32_t match(uint8_t tag) const noexcept {
        uint32_t m = 0;
        for (size_t i = 0; i < kGroupWidth; ++i) m |= uint32_t{b[i] == tag} << i;
        return m;
    }
    uint32_t match_empty() const noexcept {
        uint32_t m = 0;
        for (size_t i = 0; i < kGroupWidth; ++i) m |= uint32_t{(b[i] & 0x80) != 0} << i;
        return m;
    }
#endif
};

// Slot count for a wanted capacity x: 4 if x < 4, 8 if x < 8, else the smallest power of
// two not below floor(8x/7). Its load limit is always >= x.
inline size_t slots_for_capacity(size_t x) {
    if (x < 4) return 4;
    if (x < 8) return 8;
    if (x > (SIZE_MAX / 8)) throw std::bad_alloc();
    const size_t want = x * 8 / 7;
    size_t s = 16;
    while (s < want) {
        if (s > SIZE_MAX / 2) throw std::bad_alloc();
        s <<= 1;
    }
    return s;
}

// Entries a table of S slots takes before the next insert must grow it.
inline constexpr size_t load_limit(size_t s) noexcept {
    return s == 0 ? 0 : (s < 16 ? s - 1 : s / 8 * 7);
}

}  // namespace swiss_detail

// Where table blocks come from. A policy of two static functions, so it costs the map no
// storage; the native benchmark swaps in a bump arena.
struct HeapBlocks {
    static void* allocate(size_t bytes) { return ::operator new(bytes); }
    static void deallocate(void* p, size_t bytes) noexcept {
#if defined(__cpp_sized_deallocation)
        ::operator delete(p, bytes);
#else
        (void)bytes;  // Clang before 19 offers the sized form only with -fsized-deallocation
        ::operator delete(p);
#endif
    }
};

// The probe sequence of a hash in a table with the given mask: group starts, mod S.
class ProbeSeq {
public:
    ProbeSeq(uint64_t hash, size_t mask) noexcept
        : mask_(mask), offset_(static_cast<size_t>(hash) & mask) {}
    size_t offset() const noexcept { return offset_; }
    size_t offset(size_t i) const noexcept { return (offset_ + i) & mask_; }
    void next() noexcept {
        index_ += swiss_detail::kGroupWidth;
        offset_ = (offset_ + index_) & mask_;
    }

private:
    size_t mask_;
    size_t offset_;
    size_t index_ = 0;
};

// Value may be an empty struct: the map is then a set and slots hold keys alone.
// Hash takes Key and every lookup type; Key compares equal to every lookup type.
template <class Key, class Value, class Hash, class Blocks = HeapBlocks>
class SwissMap {
    struct Slot {
        Key key;
        [[no_unique_address]] Value value;
    };

    static_assert(std::is_nothrow_move_constructible_v<Key> &&
                      std::is_nothrow_move_constructible_v<Value>,
                  "growth moves entries after the new block exists; a throwing move "
                  "would strand entries between two tables");
    static_assert(alignof(Slot) <= 8,
                  "slots sit at the start of a block, which every Blocks aligns to 8");

public:
    SwissMap() noexcept = default;
    SwissMap(const SwissMap&) = delete;
    SwissMap& operator=(const SwissMap&) = delete;

    SwissMap(SwissMap&& other) noexcept
        : slots_(std::exchange(other.slots_, nullptr)),
          ctrl_(std::exchange(other.ctrl_, nullptr)),
          slot_count_(std::exchange(other.slot_count_, 0)),
          size_(std::exchange(other.size_, 0)) {}

    SwissMap& operator=(SwissMap&& other) noexcept {
        // Our old entries die inside tmp, after *this already holds its new content.
        SwissMap tmp(std::move(other));
        swap(tmp);
        return *this;
    }

    ~SwissMap() {
        clear();
        deallocate(slots_, slot_count_);
    }

    void swap(SwissMap& other) noexcept {
        std::swap(slots_, other.slots_);
        std::swap(ctrl_, other.ctrl_);
        std::swap(slot_count_, other.slot_count_);
        std::swap(size_, other.size_);
    }

    size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    size_t slot_count() const noexcept { return slot_count_; }
    size_t load_limit() const noexcept { return swiss_detail::load_limit(slot_count_); }

    // Bytes of the one block a table of s slots owns (slots, then s + 16 control bytes).
    static constexpr size_t block_bytes(size_t s) noexcept { return s * sizeof(Slot) + s + 16; }

    template <class L>
    Value* find(const L& key) noexcept {
        if (slot_count_ == 0) return nullptr;
        const size_t i = find_index(key, Hash{}(key));
        return i == kNone ? nullptr : &slots_[i].value;
    }

    template <class L>
    const Value* find(const L& key) const noexcept {
        return const_cast<SwissMap*>(this)->find(key);
    }

    // Inserts key with Value(args...) unless an equal key is present. Strong guarantee:
    // if the key is new, the value is built before the table grows, so a throwing
    // constructor or a failed allocation leaves the map exactly as it was.
    template <class... Args>
    std::pair<Value*, bool> try_emplace(Key&& key, Args&&... args) {
        return lazy_emplace(
            key, [&]() noexcept -> Key&& { return std::move(key); },
            [&] { return Value(std::forward<Args>(args)...); });
    }

    // As try_emplace, but looks up by `lookup` (hashed once) and calls make_key() and then
    // make_value() only when the key is new, so a present key costs no allocation.
    template <class L, class MakeKey, class MakeValue>
    std::pair<Value*, bool> lazy_emplace(const L& lookup, MakeKey&& make_key,
                                         MakeValue&& make_value) {
        const uint64_t hash = Hash{}(lookup);
        // A miss ends at the first group holding an empty slot, and that group's first
        // empty slot is where the key belongs: no second probe unless the table grows.
        size_t empty_at = kNone;
        if (slot_count_ != 0) {
            const size_t i = find_index(lookup, hash, &empty_at);
            if (i != kNone) return {&slots_[i].value, false};
        }
        Key key(make_key());
        Value value(make_value());
        if (size_ >= load_limit()) {
            const size_t limit = load_limit();
            rehash(swiss_detail::slots_for_capacity(std::max(size_ + 1, limit + 1)));
            empty_at = kNone;
        }
        const size_t i = place(hash, std::move(key), std::move(value), empty_at);
        return {&slots_[i].value, true};
    }

    template <class V>
    std::pair<Value*, bool> insert_or_assign(Key&& key, V&& value) {
        auto r = try_emplace(std::move(key), std::forward<V>(value));
        if (!r.second) *r.first = std::forward<V>(value);
        return r;
    }

    // Sizes the table for a bulk load of n entries: when n exceeds the limit, grow once to
    // the slot count for max(n, limit+1). Strong guarantee: the new block is allocated
    // before any entry moves.
    void reserve_for_load(size_t n) {
        const size_t limit = load_limit();
        if (n > limit) rehash(swiss_detail::slots_for_capacity(std::max(n, limit + 1)));
    }

    // An empty table with the slot count this one would have after clear() and then
    // reserve_for_load(n). Allocates its block (unless S is 0) and leaves *this alone.
    SwissMap fresh_for_load(size_t n) const {
        const size_t limit = load_limit();
        const size_t s = n > limit ? swiss_detail::slots_for_capacity(std::max(n, limit + 1)) : slot_count_;
        SwissMap fresh;
        if (s != 0) fresh.rehash(s);
        return fresh;
    }

    // Destroys every entry and keeps S and the block. Each entry is detached (its slot
    // marked empty, the count lowered) and moved out before it is destroyed, so a value
    // destructor that runs arbitrary code always finds a consistent map.
    void clear() noexcept {
        if constexpr (std::is_trivially_destructible_v<Slot>) {
            if (slot_count_ != 0) std::memset(ctrl_, swiss_detail::kEmpty, slot_count_ + 16);
            size_ = 0;
        } else {
            for (size_t i = 0; size_ != 0 && i < slot_count_; ++i) {
                if (!is_full(i)) continue;
                set_ctrl(i, swiss_detail::kEmpty);
                --size_;
                Slot detached{std::move(slots_[i].key), std::move(slots_[i].value)};
                slots_[i].~Slot();
            }
        }
    }

    // Visits entries in ascending slot order: the listing order.
    template <class F>
    void for_each(F&& f) {
        first_full_where([&](size_t i) {
            f(static_cast<const Key&>(slots_[i].key), slots_[i].value);
            return false;
        });
    }
    template <class F>
    void for_each(F&& f) const {
        first_full_where([&](size_t i) {
            f(slots_[i].key, static_cast<const Value&>(slots_[i].value));
            return false;
        });
    }

    // Stops at the first entry for which f returns true; returns whether one did.
    template <class F>
    bool any_of(F&& f) const {
        return first_full_where([&](size_t i) { return f(slots_[i].key, static_cast<const Value&>(slots_[i].value)); });
    }

    // Slot number of a key, or slot_count() when absent (tests pin placements with it).
    template <class L>
    size_t slot_of(const L& key) const noexcept {
        if (slot_count_ == 0) return 0;
        const size_t i = find_index(key, Hash{}(key));
        return i == kNone ? slot_count_ : i;
    }

private:
    static constexpr size_t kNone = SIZE_MAX;

    static void deallocate(Slot* slots, size_t s) noexcept {
        if (slots) Blocks::deallocate(static_cast<void*>(slots), block_bytes(s));
    }

    bool is_full(size_t i) const noexcept { return (ctrl_[i] & 0x80) == 0; }

    // Calls stop(i) for full slots in ascending order, a group of 16 control bytes at a
    // time (a small table's first group holds every slot once under group_mask), until
    // stop returns true; returns whether it did.
    template <class Stop>
    bool first_full_where(Stop&& stop) const {
        const uint32_t gmask = group_mask();
        for (size_t base = 0; base < slot_count_; base += swiss_detail::kGroupWidth) {
            const uint32_t full = ~swiss_detail::Group(ctrl_ + base).match_empty() & gmask;
            for (uint32_t bits = full; bits != 0; bits &= bits - 1)
                if (stop(base + swiss_detail::lowest_bit(bits))) return true;
        }
        return false;
    }

    uint32_t group_mask() const noexcept {
        return slot_count_ < 16 ? (uint32_t{1} << slot_count_) - 1 : 0xFFFF;
    }

    // Writes slot i's byte and every copy of it in the trailing 16 bytes.
    void set_ctrl(size_t i, uint8_t v) noexcept {
        for (size_t j = i; j < slot_count_ + 16; j += slot_count_) ctrl_[j] = v;
    }

    // The key's slot, or kNone; on a miss, *empty_at (when given) receives the first
    // empty slot of the probe sequence.
    template <class L>
    size_t find_index(const L& key, uint64_t hash, size_t* empty_at = nullptr) const noexcept {
        const uint8_t tag = swiss_detail::tag_of(hash);
        const uint32_t gmask = group_mask();
        for (ProbeSeq seq(hash, slot_count_ - 1);; seq.next()) {
            const swiss_detail::Group g(ctrl_ + seq.offset());
            for (uint32_t bits = g.match(tag) & gmask; bits != 0; bits &= bits - 1) {
                const size_t i = seq.offset(swiss_detail::lowest_bit(bits));
                if (slots_[i].key == key) return i;
            }
            if (const uint32_t empties = g.match_empty() & gmask) {
                if (empty_at != nullptr) *empty_at = seq.offset(swiss_detail::lowest_bit(empties));
                return kNone;
            }
        }
    }

    size_t first_empty(uint64_t hash) const noexcept {
        const uint32_t gmask = group_mask();
        for (ProbeSeq seq(hash, slot_count_ - 1);; seq.next()) {
            const uint32_t empties = swiss_detail::Group(ctrl_ + seq.offset()).match_empty() & gmask;
            if (empties != 0) return seq.offset(swiss_detail::lowest_bit(empties));
        }
    }

    size_t place(uint64_t hash, Key&& key, Value&& value, size_t empty_at = kNone) noexcept {
        const size_t i = empty_at != kNone ? empty_at : first_empty(hash);
        ::new (static_cast<void*>(&slots_[i])) Slot{std::move(key), std::move(value)};
        set_ctrl(i, swiss_detail::tag_of(hash));
        ++size_;
        return i;
    }

    // Moves every entry into a fresh block of new_s slots, in ascending old slot order.
    // Only the allocation can throw, and it happens before anything moves.
    void rehash(size_t new_s) {
        void* block = Blocks::allocate(block_bytes(new_s));
        Slot* old_slots = slots_;
        uint8_t* old_ctrl = ctrl_;
        const size_t old_s = slot_count_;
        const size_t old_size = size_;

        slots_ = static_cast<Slot*>(block);
        ctrl_ = reinterpret_cast<uint8_t*>(slots_ + new_s);
        slot_count_ = new_s;
        size_ = 0;
        std::memset(ctrl_, swiss_detail::kEmpty, new_s + 16);
        for (size_t i = 0; size_ != old_size; ++i) {
            if (old_ctrl[i] & 0x80) continue;
            Slot& from = old_slots[i];
            // Moved-from keys and values own nothing, so these destructors run no code.
            place(Hash{}(from.key), std::move(from.key), std::move(from.value));
            from.~Slot();
        }
        deallocate(old_slots, old_s);
    }

    Slot* slots_ = nullptr;
    uint8_t* ctrl_ = nullptr;  // slot_count_ + 16 bytes inside the slots' block, or null
    size_t slot_count_ = 0;
    size_t size_ = 0;
};

}  // namespace sablecrest
