// tracking/tracker_core.hpp: the Python-free state of one tracked record.
// Behaves like a dict {name: (snapshot_text, current_text, value)} listed in the field
// map's slot order; a field is dirty exactly when its two texts differ.
#pragma once

#include <cstddef>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/fx_hash.hpp"
#include "shared/small_string.hpp"
#include "shared/swiss_map.hpp"

namespace sablecrest {

// V is the stored value: an owned reference in the extension, an empty struct in the
// native benchmark. Its destructor may run arbitrary code, so the tracker only ever lets a
// V die once the map is consistent again.
template <class V, class Str = SmallString>
struct FieldState {
    Str snapshot_text;
    Str current_text;
    [[no_unique_address]] V value;

    bool dirty() const noexcept { return !(snapshot_text == current_text); }
};

// Str is the owned text type of names and texts: SmallString (15 bytes inline) for
// tracked records, CompactString (7 inline) where memory per record dominates.
template <class V, class Blocks = HeapBlocks, class Str = SmallString>
class TrackerCore {
public:
    using State = FieldState<V, Str>;
    using Map = SwissMap<Str, State, FxStrHash, Blocks>;

    // A pending set_initial_state: the new fields, gathered in a table of their own that
    // has the slot count the tracker's table would have after clearing it and reserving
    // for the load (so the fields take exactly the slots they would take there). The
    // tracker is untouched until commit().
    class Load {
    public:
        // A later equal name replaces the earlier record.
        void add(std::string_view name, Str text, V value) {
            auto [st, inserted] = emplace_clean(fields_, name, text, value);
            if (inserted) return;
            Str snapshot = text.copy();
            [[maybe_unused]] State old =
                std::exchange(*st, State{std::move(snapshot), std::move(text), std::move(value)});
        }

    private:
        friend class TrackerCore;
        explicit Load(Map fields) noexcept : fields_(std::move(fields)) {}
        Map fields_;
    };

    // dict_len is the size of the source mapping and decides the slot count exactly as a
    // clear followed by one reservation would. Allocates the table (the only step of a
    // load that touches the tracker's slot count) before anything changes.
    Load begin_load(size_t dict_len) const { return Load(fields_.fresh_for_load(dict_len)); }

    // The tracker takes the loaded fields; the old ones die afterwards, once the tracker
    // is consistent again (their values' finalizers may run arbitrary code).
    void commit(Load&& load) noexcept { fields_ = std::move(load.fields_); }

    size_t size() const noexcept { return fields_.size(); }
    size_t slot_count() const noexcept { return fields_.slot_count(); }

    // A known field gets the new text and value and keeps its snapshot; a new field starts
    // clean. All-or-nothing: every allocation happens before the map changes.
    void set_field(std::string_view name, Str text, V value) {
        auto [st, inserted] = emplace_clean(fields_, name, text, value);
        if (inserted) return;
        st->current_text = std::move(text);
        [[maybe_unused]] V old = std::exchange(st->value, std::move(value));
        // old dies here, after the field is fully updated
    }

    // nullptr when absent; an empty tracker answers without hashing.
    const State* find(std::string_view name) const noexcept {
        return fields_.empty() ? nullptr : fields_.find(name);
    }
    State* find(std::string_view name) noexcept {
        return fields_.empty() ? nullptr : fields_.find(name);
    }

    // Stops at the first dirty field in slot order.
    bool is_dirty() const noexcept {
        return fields_.any_of([](const Str&, const State& st) { return st.dirty(); });
    }

    // f(const Str& name, const State&) for every field, in listing order.
    template <class F>
    void for_each_field(F&& f) const {
        fields_.for_each(f);
    }

    template <class F>
    void for_each_dirty(F&& f) const {
        fields_.for_each([&](const Str& name, const State& st) {
            if (st.dirty()) f(name, st);
        });
    }

    // Makes every current text the new baseline. All-or-nothing: copies of long dirty texts
    // (the only copies that allocate) are made before any snapshot changes.
    void hydrate_snapshot() {
        size_t heap_copies = 0;
        fields_.for_each([&](const Str&, const State& st) {
            heap_copies += !st.current_text.is_inline() && st.dirty();
        });
        std::vector<Str> copies;
        if (heap_copies != 0) {
            copies.reserve(heap_copies);
            fields_.for_each([&](const Str&, const State& st) {
                if (!st.current_text.is_inline() && st.dirty()) copies.push_back(st.current_text.copy());
            });
        }
        size_t next = 0;
        fields_.for_each([&](const Str&, State& st) {
            if (st.current_text.is_inline())
                st.snapshot_text = st.current_text.copy();  // inline: cannot throw
            else if (st.dirty())
                st.snapshot_text = std::move(copies[next++]);
        });
    }

    const Map& fields() const noexcept { return fields_; }

private:
    // A new name becomes a clean field (snapshot and current both `text`, taking `text`
    // and `value`); a present name's record is returned as it is, and `text` and
    // `value` stay with the caller.
    static std::pair<State*, bool> emplace_clean(Map& fields, std::string_view name, Str& text, V& value) {
        return fields.lazy_emplace(
            name, [&] { return Str(name); },
            [&] {
                Str snapshot = text.copy();
                return State{std::move(snapshot), std::move(text), std::move(value)};
            });
    }

    Map fields_;
};

}  // namespace sablecrest
