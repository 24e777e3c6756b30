// De-duplicated foreign keys: 64-bit integers and strings in two sets that
// never mix (1 and "1" are different keys). Python-free.
#pragma once

#include "shared/fx_hash.hpp"
#include "shared/small_string.hpp"
#include "shared/swiss_map.hpp"

#include <cstdint>
#include <string_view>

namespace sablecrest::batch {

class KeySets {
public:
    KeySets() noexcept = default;

    // True when the key was not present before.
    bool add_int(int64_t key) { return ints_.try_emplace(int64_t(key)).second; }
    bool add_str(std::string_view key) {
        return strs_.lazy_emplace(
                        key, [&] { return SmallString(key); }, [] { return Nothing{}; })
            .second;
    }

    size_t size() const noexcept { return ints_.size() + strs_.size(); }
    bool empty() const noexcept { return size() == 0; }
    // Empties both sets and keeps their storage for the next batch.
    void clear() noexcept {
        ints_.clear();
        strs_.clear();
    }

    // Integers first, then strings, each in its set's slot order (deterministic
    // for the same history of calls, since the hash is unseeded).
    template <class IntFn, class StrFn>
    void for_each(IntFn&& on_int, StrFn&& on_str) const {
        ints_.for_each([&](int64_t k, const Nothing&) { on_int(k); });
        strs_.for_each([&](const SmallString& s, const Nothing&) { on_str(s.view()); });
    }

private:
    struct Nothing {};
    SwissMap<int64_t, Nothing, FxIntHash> ints_;
    SwissMap<SmallString, Nothing, FxStrHash> strs_;
};

}  // namespace sablecrest::batch
