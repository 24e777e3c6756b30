// tests/native/core_tests.cpp: command-driven driver for the Python-free tracking core.
// Reads one command per line on stdin, writes one result line each; `selftest` runs the
// built-in checks. Exits non-zero if any command failed.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tracking/benchmark.hpp"
#include "shared/fx_hash.hpp"
#include "shared/small_string.hpp"
#include "shared/swiss_map.hpp"
#include "tracking/tracker_core.hpp"

using namespace sablecrest;

// ---- allocation failure injection -------------------------------------------------
// g_fail_in = n makes the n-th following allocation (1-based) throw std::bad_alloc.
static long g_fail_in = 0;

void* operator new(size_t n) {
    if (g_fail_in > 0 && --g_fail_in == 0) throw std::bad_alloc();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
// GCC cannot see that operator new above came from malloc and warns on the free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

int g_failures = 0;

void check(bool ok, const char* what, int line) {
    if (!ok) {
        std::printf("FAIL line %d: %s\n", line, what);
        ++g_failures;
    }
}
#define CHECK(cond) check((cond), #cond, __LINE__)

template <class F>
bool throws_bad_alloc(F&& f) {
    try {
        f();
    } catch (const std::bad_alloc&) {
        return true;
    }
    return false;
}

// ---- hex helpers ----------------------------------------------------------------------
std::string from_hex(std::string_view h) {
    std::string out;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        out.push_back(static_cast<char>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
    return out;
}

std::string to_hex(std::string_view s) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// numbered("k", n) trips a GCC 12 -Wrestrict false positive; this does not.
std::string numbered(const char* prefix, size_t n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// "6964,6e616d65" -> {"id", "name"}; an empty text is an empty list.
std::vector<std::string> hex_names(std::string_view list) {
    std::vector<std::string> out;
    list = trim(list);
    if (list.empty()) return out;
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        out.push_back(from_hex(list.substr(start, comma - start)));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return out;
}

struct NoValue {};
using Tracker = TrackerCore<NoValue>;

std::string listing(const Tracker& t) {
    std::string out;
    t.for_each_field([&](const SmallString& name, const FieldState<NoValue>&) {
        if (!out.empty()) out.push_back(',');
        out += to_hex(name.view());
    });
    return out;
}

void set_each(Tracker& t, const std::vector<std::string>& names) {
    for (const std::string& n : names) t.set_field(n, SmallString("0"), {});
}

void load_names(Tracker& t, const std::vector<std::string>& names) {
    Tracker::Load load = t.begin_load(names.size());
    for (const std::string& n : names) load.add(n, SmallString("0"), {});
    t.commit(std::move(load));
}

// "s <names> ; l <names> ; h" on one tracker; after each step "<slot count>:<listing>".
std::string trace(std::string_view script) {
    Tracker t;
    std::string out;
    for (;;) {
        const size_t semi = script.find(';');
        std::string_view step = trim(script.substr(0, semi));
        const char op = step.empty() ? '?' : step.front();
        std::string_view arg = step.size() > 1 ? step.substr(1) : std::string_view();
        if (op == 's') set_each(t, hex_names(arg));
        else if (op == 'l') load_names(t, hex_names(arg));
        else if (op == 'h') t.hydrate_snapshot();
        else throw std::invalid_argument("unknown trace step");
        if (!out.empty()) out += " ; ";
        out += std::to_string(t.slot_count()) + ":" + listing(t);
        if (semi == std::string_view::npos) break;
        script.remove_prefix(semi + 1);
    }
    return out;
}

// ---- self checks ------------------------------------------------------------------------

struct Unit {};
using NameSet = SwissMap<SmallString, Unit, FxStrHash>;
using IntSet = SwissMap<int64_t, Unit, FxIntHash>;

void test_probe_sequence() {
    ProbeSeq seq(0, 127);
    const size_t golden[] = {0, 16, 48, 96, 32, 112, 80, 64};
    for (size_t want : golden) {
        CHECK(seq.offset() == want);
        seq.next();
    }
    // Every group start (a multiple of 16 past the start) is reached within S/16 steps.
    for (size_t s = 16; s <= 4096; s *= 2) {
        std::vector<bool> seen(s / 16, false);
        ProbeSeq p(5, s - 1);
        for (size_t k = 0; k < s / 16; ++k, p.next()) seen[((p.offset() - 5) & (s - 1)) / 16] = true;
        bool all = true;
        for (bool b : seen) all = all && b;
        CHECK(all);
    }
}

void test_growth_and_clear() {
    NameSet set;
    CHECK(set.slot_count() == 0 && set.find(std::string_view("x")) == nullptr);
    // (entries after the insert, slot count): 4, 8, 16, 32, 64, 128.
    auto want_slots = [](size_t n) -> size_t {
        return n <= 3 ? 4 : n <= 7 ? 8 : n <= 14 ? 16 : n <= 28 ? 32 : n <= 56 ? 64 : 128;
    };
    for (size_t n = 1; n <= 100; ++n) {
        const std::string name = numbered("k", n);
        CHECK(set.try_emplace(SmallString(name)).second);
        CHECK(!set.try_emplace(SmallString(name)).second);
        CHECK(set.size() == n && set.slot_count() == want_slots(n));
        size_t found = 0;
        for (size_t m = 1; m <= n; ++m) found += set.find(std::string_view(numbered("k", m))) != nullptr;
        size_t listed = 0;
        set.for_each([&](const SmallString&, Unit&) { ++listed; });
        CHECK(found == n && listed == n);
    }
    set.clear();
    CHECK(set.size() == 0 && set.slot_count() == 128 && set.find(std::string_view("k1")) == nullptr);
    CHECK(set.try_emplace(SmallString("k1")).second && set.slot_count() == 128);

    NameSet moved(std::move(set));
    CHECK(set.slot_count() == 0 && set.size() == 0 && moved.size() == 1);
    NameSet other;
    other.swap(moved);
    CHECK(other.find(std::string_view("k1")) && moved.slot_count() == 0);

    // Bulk reservation: grows once to the slot count for max(n, limit + 1).
    NameSet r;
    r.reserve_for_load(0);
    CHECK(r.slot_count() == 0);
    r.reserve_for_load(1);
    CHECK(r.slot_count() == 4);
    r.reserve_for_load(3);
    CHECK(r.slot_count() == 4);
    r.reserve_for_load(4);
    CHECK(r.slot_count() == 8);
    r.reserve_for_load(40);
    CHECK(r.slot_count() == 64);
}

void test_int_set() {
    IntSet s;
    const int64_t keys[] = {0, 1, -1, INT64_MIN, INT64_MAX, 42, 1 << 20};
    for (int64_t k : keys) CHECK(s.try_emplace(int64_t{k}).second);
    for (int64_t k : keys) CHECK(!s.try_emplace(int64_t{k}).second && s.find(k) != nullptr);
    CHECK(s.size() == 7 && s.slot_count() == 8 && s.find(int64_t{7}) == nullptr);
    s.clear();
    CHECK(s.size() == 0 && s.slot_count() == 8 && s.try_emplace(int64_t{1}).second);
}

void test_small_string() {
    const std::string fifteen(15, 'a'), sixteen(16, 'b');
    SmallString a(fifteen), b(sixteen), e(""), nul(std::string_view("x\0y", 3));
    CHECK(a.is_inline() && a.view() == fifteen && a.size() == 15);
    CHECK(!b.is_inline() && b.view() == sixteen && b.size() == 16);
    CHECK(e.is_inline() && e.size() == 0 && e == std::string_view(""));
    CHECK(nul.size() == 3 && nul.view() == std::string_view("x\0y", 3));
    SmallString bc = b.copy();
    CHECK(bc == b && bc.data() != b.data());
    SmallString moved(std::move(b));
    CHECK(moved.view() == sixteen && b.size() == 0 && b.is_inline());
    moved = a.copy();
    CHECK(moved == a && moved.is_inline());
    CHECK(!(SmallString("ab") == SmallString("abc")) && !(SmallString("ab") == SmallString("ac")));
    const std::string big(100000, 'z');
    CHECK(SmallString(big).view() == big);
    g_fail_in = 1;
    CHECK(throws_bad_alloc([&] { SmallString s(sixteen); }));
    g_fail_in = 1;
    CHECK(!throws_bad_alloc([&] { SmallString s(fifteen); }));  // inline: no allocation
    g_fail_in = 0;
}

// The benchmark's 8-byte strings: the tag byte sits where the pointer's low bits are, on
// either byte order, so inline and heap strings must read back alike everywhere.
void test_compact_string() {
    const std::string seven(7, 'c'), eight("12345678"), nul("a\0b", 3);
    CompactString a(seven), b(eight), e(""), z(nul), d("");
    CHECK(a.is_inline() && a.size() == 7 && a.view() == seven);
    CHECK(!b.is_inline() && b.size() == 8 && b.view() == eight);
    CHECK(e.is_inline() && e.size() == 0 && e == d && z.view() == nul);
    CHECK(!(CompactString("ab") == CompactString("abc")) && CompactString("26") == CompactString("26"));
    CompactString bc = b.copy(), ac = a.copy();
    CHECK(bc == b && bc.data() != b.data() && ac == a && ac.is_inline());
    CompactString moved(std::move(b));
    CHECK(moved.view() == eight && b.size() == 0 && b.is_inline());
    const std::string big(1000, 'x');
    CompactString h(big);
    CHECK(!h.is_inline() && h.view() == big && !(h == moved));
    moved = std::move(h);
    CHECK(moved.view() == big && h.is_inline() && h.size() == 0);
}

std::string texts(const Tracker& t) {
    std::string out;
    t.for_each_field([&](const SmallString& n, const FieldState<NoValue>& st) {
        out += std::string(n.view()) + "=" + std::string(st.snapshot_text.view()) + "/" +
               std::string(st.current_text.view()) + ";";
    });
    return out + std::to_string(t.slot_count());
}

void test_tracker_semantics() {
    Tracker t;
    CHECK(!t.is_dirty() && t.find("a") == nullptr && t.slot_count() == 0);
    t.set_field("a", SmallString("1"), {});
    CHECK(!t.is_dirty());
    t.set_field("a", SmallString("1.0"), {});
    CHECK(t.is_dirty() && t.find("a")->snapshot_text == std::string_view("1"));
    t.set_field("a", SmallString("1"), {});
    CHECK(!t.is_dirty());
    const std::string long_text(40, 'q');
    t.set_field("b", SmallString(long_text), {});
    t.set_field("b", SmallString(long_text + "!"), {});
    size_t dirty = 0;
    t.for_each_dirty([&](const SmallString& n, const FieldState<NoValue>&) { dirty += n == std::string_view("b"); });
    CHECK(dirty == 1);

    // hydrate is all-or-nothing: a failed copy of a long text changes no snapshot.
    const std::string before = texts(t);
    g_fail_in = 1;
    CHECK(throws_bad_alloc([&] { t.hydrate_snapshot(); }));
    g_fail_in = 0;
    CHECK(texts(t) == before && t.is_dirty());
    t.hydrate_snapshot();
    CHECK(!t.is_dirty() && t.find("b")->snapshot_text == std::string_view(long_text + "!"));
}

void test_load_all_or_nothing() {
    Tracker t;
    set_each(t, {"x", "y", "z"});
    t.set_field("y", SmallString("changed"), {});
    const std::string before = texts(t);
    CHECK(t.slot_count() == 4);

    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back(numbered("field_with_a_long_name_", i));

    // Every allocation of a load (its table, then each long name and text) happens before
    // the tracker changes: a failure at any of them leaves it exactly as it was.
    for (long fail_at = 1; fail_at <= 6; ++fail_at) {
        g_fail_in = fail_at;
        CHECK(throws_bad_alloc([&] {
            Tracker::Load load = t.begin_load(names.size());
            for (const std::string& n : names) load.add(n, SmallString(n), {});
            t.commit(std::move(load));
        }));
        g_fail_in = 0;
        CHECK(texts(t) == before && t.is_dirty());
    }
    Tracker::Load load = t.begin_load(names.size());
    for (const std::string& n : names) load.add(n, SmallString(n), {});

    // Success: same slot count and order as clear, one reservation, inserts in order.
    t.commit(std::move(load));
    CHECK(t.size() == 20 && t.slot_count() == 32 && !t.is_dirty() && t.find("x") == nullptr);
    Tracker fresh;
    fresh.set_field("pad", SmallString("0"), {});
    load_names(fresh, names);
    std::string a, b;
    t.for_each_field([&](const SmallString& n, const FieldState<NoValue>&) { a += std::string(n.view()) + ","; });
    fresh.for_each_field([&](const SmallString& n, const FieldState<NoValue>&) { b += std::string(n.view()) + ","; });
    CHECK(a == b);

    // A later equal name replaces the earlier record.
    Tracker::Load dup = t.begin_load(2);
    dup.add("k", SmallString("first"), {});
    dup.add("k", SmallString("second"), {});
    t.commit(std::move(dup));
    CHECK(t.size() == 1 && t.slot_count() == 32 && t.find("k")->current_text == std::string_view("second") &&
          !t.is_dirty());

    // A new field whose growth fails leaves the tracker untouched.
    Tracker g;
    set_each(g, {"a", "b", "c"});
    const std::string g_before = texts(g);
    g_fail_in = 1;
    CHECK(throws_bad_alloc([&] { g.set_field("d", SmallString("1"), {}); }));
    g_fail_in = 0;
    CHECK(texts(g) == g_before && g.find("d") == nullptr);
}

// A value that counts its live instances and, when destroyed, checks that the map it
// belongs to is consistent (as a Python finalizer running at that moment would see it).
struct Watched {
    static inline long live = 0;
    static inline const TrackerCore<Watched>* observed = nullptr;
    static inline long inconsistent = 0;
    bool owns = false;

    Watched() = default;
    explicit Watched(int) : owns(true) { ++live; }
    Watched(Watched&& o) noexcept : owns(std::exchange(o.owns, false)) {}
    Watched& operator=(Watched&& o) noexcept {
        if (this != &o) {
            Watched old(std::move(*this));
            owns = std::exchange(o.owns, false);
        }
        return *this;
    }
    ~Watched() {
        if (!owns) return;
        --live;
        if (observed) {
            size_t listed = 0;
            observed->for_each_field([&](const SmallString&, const FieldState<Watched>&) { ++listed; });
            if (listed != observed->size()) ++inconsistent;
        }
    }
};

void test_value_lifetimes() {
    {
        TrackerCore<Watched> t;
        Watched::observed = &t;
        for (int i = 0; i < 30; ++i) t.set_field(numbered("f", i), SmallString("v"), Watched(1));
        CHECK(Watched::live == 30);
        t.set_field("f3", SmallString("w"), Watched(1));
        CHECK(Watched::live == 30);
        TrackerCore<Watched>::Load load = t.begin_load(2);
        load.add("a", SmallString("1"), Watched(1));
        load.add("a", SmallString("2"), Watched(1));
        CHECK(Watched::live == 31);  // the first "a" died when the second replaced it
        t.commit(std::move(load));
        CHECK(Watched::live == 1 && t.size() == 1 && t.slot_count() == 64);
        for (int i = 0; i < 5; ++i) t.set_field(numbered("g", i), SmallString("v"), Watched(1));
        Watched::observed = nullptr;
    }
    CHECK(Watched::live == 0 && Watched::inconsistent == 0);
}

void test_benchmark_limits() {
    CHECK(run_native_benchmark(0).secs == 0);
    const BenchTime small = run_native_benchmark(1000);
    CHECK(small.nanos < 1'000'000'000u);
    try {
        run_native_benchmark(kBenchCountLimit);
        CHECK(!"capacity overflow expected");
    } catch (const std::length_error& e) {
        CHECK(std::string(e.what()) == "capacity overflow");
    }
    CHECK(throws_bad_alloc([] { run_native_benchmark(kBenchCountLimit - 1); }));
    CHECK(native_benchmark_record_bytes() < 512);
}

void selftest() {
    test_probe_sequence();
    test_growth_and_clear();
    test_int_set();
    test_small_string();
    test_compact_string();
    test_tracker_semantics();
    test_load_all_or_nothing();
    test_value_lifetimes();
    test_benchmark_limits();
}

std::string run(std::string_view cmd, std::string_view arg) {
    if (cmd == "hash_bytes") {
        const std::string b = from_hex(arg);
        return std::to_string(fx_hash_bytes_raw(b.data(), b.size()));
    }
    if (cmd == "hash_str") return std::to_string(fx_hash_str(from_hex(arg)));
    if (cmd == "hash_int") return std::to_string(fx_hash_int(std::stoll(std::string(arg))));
    if (cmd == "order_set_field" || cmd == "slots_set_field") {
        Tracker t;
        set_each(t, hex_names(arg));
        return cmd == "order_set_field" ? listing(t) : std::to_string(t.slot_count());
    }
    if (cmd == "order_load" || cmd == "slots_load") {
        Tracker t;
        load_names(t, hex_names(arg));
        return cmd == "order_load" ? listing(t) : std::to_string(t.slot_count());
    }
    if (cmd == "order_load2") {
        const size_t semi = arg.find(';');
        if (semi == std::string_view::npos) throw std::invalid_argument("order_load2 needs ';'");
        Tracker t;
        load_names(t, hex_names(arg.substr(0, semi)));
        load_names(t, hex_names(arg.substr(semi + 1)));
        return listing(t);
    }
    if (cmd == "trace") return trace(arg);
    if (cmd == "bench") {
        try {
            const BenchTime t = run_native_benchmark(std::stoull(std::string(arg)));
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.9f", static_cast<double>(t.secs) + t.nanos / 1e9);
            return buf;
        } catch (const std::length_error& e) {
            return std::string("error length_error ") + e.what();
        } catch (const std::bad_alloc&) {
            return "error bad_alloc";
        }
    }
    if (cmd == "selftest") {
        const int before = g_failures;
        selftest();
        return g_failures == before ? "ok" : "failed";
    }
    throw std::invalid_argument("unknown command");
}

}  // namespace

int main() {
    std::string line;
    char buf[4096];
    bool any_error = false;
    for (;;) {
        line.clear();
        bool got = false;
        while (std::fgets(buf, sizeof buf, stdin)) {  // lines may exceed the buffer
            got = true;
            line += buf;
            if (!line.empty() && line.back() == '\n') break;
        }
        if (!got) break;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;
        const size_t sp = line.find(' ');
        const std::string_view whole(line);
        const std::string_view cmd = whole.substr(0, sp);
        const std::string_view arg = sp == std::string::npos ? std::string_view() : whole.substr(sp + 1);
        try {
            std::printf("%s\n", run(cmd, arg).c_str());
        } catch (const std::exception& e) {
            std::printf("error %s\n", e.what());
            any_error = true;
        }
        std::fflush(stdout);
    }
    return (any_error || g_failures != 0) ? 1 : 0;
}
