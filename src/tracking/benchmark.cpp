// tracking/benchmark.cpp: the native benchmark cycle. Only the building, changing,
// checking and snapshotting of the trackers is timed; the memory check runs before the
// clock starts and the release after it stops.
#include "tracking/benchmark.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "tracking/tracker_core.hpp"

namespace sablecrest {
namespace {

// One run's table blocks come from a single region: no per-block malloc bookkeeping, and
// released wholesale after the clock stops. The region is sized to the count and made
// ready before the clock starts: a large one is mapped populated (the kernel clears its
// pages in one pass instead of taking a fault per page as the trackers are built), a
// small one comes from the heap and is touched once. No huge-page advice: where the
// kernel compacts memory on demand for it, a fault can stall for far longer than it saves.
class BumpArena {
public:
    explicit BumpArena(size_t bytes) : size_(round_up(bytes, kPage)) {
#if defined(__linux__)
        if (size_ >= kMapThreshold) {
            void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
            if (p == MAP_FAILED) throw std::bad_alloc();
            base_ = static_cast<char*>(p);
            mapped_ = true;
        }
#endif
        if (!mapped_) {
            base_ = static_cast<char*>(::operator new(size_));
            std::memset(base_, 0, size_);
        }
        next_ = base_;
    }
    BumpArena(const BumpArena&) = delete;
    BumpArena& operator=(const BumpArena&) = delete;
    ~BumpArena() {
#if defined(__linux__)
        if (mapped_) {
            munmap(base_, size_);
            return;
        }
#endif
        ::operator delete(base_);
    }

    void* allocate(size_t n) {
        n = round_up(n, 8);
        if (spare_ && spare_size_ == n) return std::exchange(spare_, nullptr);
        if (static_cast<size_t>(base_ + size_ - next_) < n) return ::operator new(n);  // estimate was short
        return std::exchange(next_, next_ + n);
    }

    // Keeps the latest freed block for the next request of its size: a map's 4-slot block,
    // freed when the fourth field arrives, becomes the next map's first block.
    void deallocate(void* p, size_t n) noexcept {
        char* c = static_cast<char*>(p);
        if (c < base_ || c >= base_ + size_) {
            ::operator delete(p);
            return;
        }
        spare_ = c;
        spare_size_ = round_up(n, 8);
    }

private:
    static constexpr size_t kPage = 4096;
    static constexpr size_t kMapThreshold = size_t{1} << 20;
    static size_t round_up(size_t n, size_t to) { return (n + to - 1) / to * to; }

    char* base_ = nullptr;
    char* next_ = nullptr;
    size_t size_;
    bool mapped_ = false;
    char* spare_ = nullptr;
    size_t spare_size_ = 0;
};

thread_local BumpArena* t_arena = nullptr;

struct ArenaBlocks {
    static void* allocate(size_t n) { return t_arena->allocate(n); }
    static void deallocate(void* p, size_t n) noexcept { t_arena->deallocate(p, n); }
};

struct NoValue {};
// The benchmark's names and texts are at most 7 bytes: compact strings keep a slot at
// 24 bytes, and memory per record, not arithmetic, is what the cycle's time follows.
using NativeTracker = TrackerCore<NoValue, ArenaBlocks, CompactString>;

// Every benchmark map ends with 8 slots (the fourth field grows it from 4).
constexpr size_t kFinalSlots = 8;
constexpr size_t kFirstSlots = 4;

uint64_t record_bytes() {
    return sizeof(NativeTracker) + (NativeTracker::Map::block_bytes(kFinalSlots) + 7) / 8 * 8;
}

#if defined(__linux__)
// Reads "<Key>: <n> kB" from /proc/meminfo, in bytes; false when the line is missing.
bool meminfo_bytes(const char* key, uint64_t& out) {
    std::FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return false;
    char line[256];
    const size_t key_len = std::strlen(key);
    bool found = false;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, key_len) == 0 && line[key_len] == ':') {
            out = std::strtoull(line + key_len + 1, nullptr, 10) * 1024;
            found = true;
            break;
        }
    }
    std::fclose(f);
    return found;
}

// One unsigned number from a file; false for "max", garbage or a missing file.
bool file_number(const char* path, uint64_t& out) {
    std::FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char buf[64] = {};
    const bool ok = std::fgets(buf, sizeof buf, f) != nullptr;
    std::fclose(f);
    if (!ok || buf[0] < '0' || buf[0] > '9') return false;
    out = std::strtoull(buf, nullptr, 10);
    return true;
}

// Headroom of a memory cgroup: a container's limit binds long before the host's RAM.
uint64_t cgroup_headroom() {
    uint64_t limit = 0, used = 0;
    if (file_number("/sys/fs/cgroup/memory.max", limit) &&
        file_number("/sys/fs/cgroup/memory.current", used))
        return limit > used ? limit - used : 0;
    if (file_number("/sys/fs/cgroup/memory/memory.limit_in_bytes", limit) &&
        file_number("/sys/fs/cgroup/memory/memory.usage_in_bytes", used))
        return limit > used ? limit - used : 0;
    return UINT64_MAX;
}
#endif

// Memory the process can still take without the kernel's OOM killer stepping in.
uint64_t available_memory() {
    uint64_t avail = UINT64_MAX;
#if defined(__linux__)
    uint64_t mem = 0, swap = 0;
    if (meminfo_bytes("MemAvailable", mem)) {
        meminfo_bytes("SwapFree", swap);
        avail = mem + swap;
    }
    avail = std::min(avail, cgroup_headroom());
#endif
#if defined(_SC_AVPHYS_PAGES) && defined(_SC_PAGESIZE)
    if (avail == UINT64_MAX) {
        const long pages = sysconf(_SC_AVPHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        if (pages > 0 && page > 0) avail = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
    }
#endif
    return avail;
}

uint64_t now_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Regions up to this size are never checked against the available memory: any system
// that runs the interpreter has that much to spare.
constexpr size_t kSurelyFits = size_t{32} << 20;

// Keeps the dirtiness answers observable so the walk is not optimised away.
volatile uint64_t g_dirty_sink;

}  // namespace

uint64_t native_benchmark_record_bytes() { return record_bytes(); }

BenchTime run_native_benchmark(uint64_t count) {
    if (count >= kBenchCountLimit) {
        (void)now_ns();  // the start reading: the refusal comes after it, as for any count
        throw std::length_error("capacity overflow");
    }
    if (count > SIZE_MAX / 2 / record_bytes()) throw std::bad_alloc();
    // Room for count trackers and their final blocks, plus the one recycled 4-slot block.
    const size_t n = static_cast<size_t>(count);
    const size_t bytes = n * record_bytes() + NativeTracker::Map::block_bytes(kFirstSlots) + 64;
    // Running out of memory midway would bring the OOM killer rather than a bad_alloc, so
    // a region that may not fit is refused up front. Asked once, only when the region is
    // large enough to matter, and before the clock starts: it reads files, which is no
    // part of the measured cycle. A sixteenth of headroom for the allocator's bookkeeping.
    if (bytes > kSurelyFits) {
        const uint64_t avail = available_memory();
        if (bytes > avail - avail / 16) throw std::bad_alloc();
    }
    BumpArena arena(bytes);  // mapped and touched before the clock starts

    const uint64_t start = now_ns();
    t_arena = &arena;
    NativeTracker* trackers =
        static_cast<NativeTracker*>(arena.allocate(n * sizeof(NativeTracker)));
    size_t built = 0;
    // Releases whatever was built, also when a build step throws.
    struct Release {
        NativeTracker* trackers;
        size_t& built;
        ~Release() {
            for (size_t i = 0; i < built; ++i) trackers[i].~NativeTracker();
            t_arena = nullptr;
        }
    } release{trackers, built};

    uint64_t dirty = 0;
    for (; built < n; ++built) {
        NativeTracker& t = *::new (static_cast<void*>(&trackers[built])) NativeTracker();
        char digits[24];
        const auto res = std::to_chars(digits, digits + sizeof digits, built);
        const std::string_view id(digits, static_cast<size_t>(res.ptr - digits));
        t.set_field("id", CompactString(id), {});
        t.set_field("name", CompactString("Alice"), {});
        t.set_field("age", CompactString("25"), {});
        t.set_field("active", CompactString("true"), {});
    }
    for (size_t i = 0; i < n; ++i) {
        NativeTracker& t = trackers[i];
        if (NativeTracker::State* age = t.find("age")) age->current_text = CompactString("26");
        dirty += t.is_dirty();
        t.hydrate_snapshot();
    }
    g_dirty_sink = dirty;
    const uint64_t end = now_ns();

    const uint64_t elapsed = end > start ? end - start : 0;
    return BenchTime{elapsed / 1'000'000'000u, static_cast<uint32_t>(elapsed % 1'000'000'000u)};
}

}  // namespace sablecrest
