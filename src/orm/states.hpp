// orm/states.hpp: the life of a model instance, Python-free: its state, the marks kept
// beside it, and the named transitions a session applies. A transition is a pure
// function of (flags, owner): every rule is one row of kTransitions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sablecrest::orm {

// Object states; Python learns the numbers from the module's STATES. Plain constants,
// not enums: a state and the marks below are or-ed into one flag word.
inline constexpr uint32_t kTransient = 0;   // never added, or deleted and flushed
inline constexpr uint32_t kPending = 1;     // added, not yet inserted
inline constexpr uint32_t kPersistent = 2;  // has a row; its snapshot is what the row held when last read or written
inline constexpr uint32_t kDeleted = 3;     // marked for deletion, not yet flushed
inline constexpr uint32_t kDetached = 4;    // has a row, but its session ended

// The flag word of an instance:
//   bits 0-2  the state
//   bit 3     kTouched   a field was assigned since the last snapshot (or begin_write)
//   bit 4     kUntracked left out of the garbage collector: every value is atomic
//   bit 5     kFilled    the fields were set by a constructor, a row or a pickle
inline constexpr uint32_t kStateMask = 7;
inline constexpr uint32_t kTouched = 8;
inline constexpr uint32_t kUntracked = 16;
inline constexpr uint32_t kFilled = 32;
static_assert((kStateMask & (kTouched | kUntracked | kFilled)) == 0 && kDetached <= kStateMask,
              "a state and the marks share one flag word without overlapping");

// A field's flags (FIELD_FLAGS).
enum FieldFlag : uint8_t {
    kNullable = 1,
    kPrimaryKey = 2,
    kAware = 4,          // a datetime field holding timezone-aware values (naive ones otherwise)
    kServerDefault = 8,  // the database fills the column when the insert leaves it out (None)
    kFieldFlagsMask = 15,
};

struct Named {
    const char* name;
    long value;
};

inline constexpr Named kStateNames[] = {
    {"TRANSIENT", kTransient}, {"PENDING", kPending},   {"PERSISTENT", kPersistent},
    {"DELETED", kDeleted},     {"DETACHED", kDetached},
};
inline constexpr Named kFieldFlagNames[] = {
    {"NULLABLE", kNullable}, {"PRIMARY_KEY", kPrimaryKey}, {"AWARE", kAware}, {"SERVER_DEFAULT", kServerDefault}};

enum class OwnerRule : uint8_t { Keep, Set, Clear };

struct TransitionRule {
    const char* name;
    uint32_t state;
    bool forget;      // the snapshot is dropped: every field counts as changed
    OwnerRule owner;  // Set: the owner becomes the caller's token
    bool clear_key;   // the generated key (at the caller's `pk`) goes back to None
};

// TRANSITIONS: an op's value is its row number plus one.
inline constexpr TransitionRule kTransitions[] = {
    {"ATTACH", kPersistent, false, OwnerRule::Set, false},      // added while detached; un-deleted
    {"MARK_DELETED", kDeleted, false, OwnerRule::Keep, false},  // session.delete()
    {"DETACH", kDetached, false, OwnerRule::Clear, false},      // the session closed
    {"EXPIRE", kDetached, true, OwnerRule::Clear, false},       // rolled back: the row may differ
    {"RELEASE", kTransient, false, OwnerRule::Clear, false},    // a pending object dropped
    {"REMOVED", kTransient, true, OwnerRule::Clear, false},     // its DELETE was flushed
    {"UNINSERT", kTransient, true, OwnerRule::Clear, true},     // its INSERT was rolled back
};
inline constexpr size_t kTransitionCount = sizeof(kTransitions) / sizeof(kTransitions[0]);

// The rule of op `op`, or nullptr when there is none.
inline const TransitionRule* transition_rule(long op) noexcept {
    return op >= 1 && op <= static_cast<long>(kTransitionCount) ? &kTransitions[op - 1] : nullptr;
}

// The flag word after `rule`: a forgotten snapshot leaves the object touched, so that
// the next flush looks at every field; the collector mark and kFilled are kept.
inline uint32_t flags_after(const TransitionRule& rule, uint32_t flags) noexcept {
    const uint32_t touched = rule.forget ? uint32_t{kTouched} : (flags & kTouched);
    return rule.state | touched | (flags & (kUntracked | kFilled));
}

inline uint64_t owner_after(const TransitionRule& rule, uint64_t owner, uint64_t token) noexcept {
    switch (rule.owner) {
        case OwnerRule::Keep: return owner;
        case OwnerRule::Set: return token;
        case OwnerRule::Clear: return 0;
    }
    return owner;
}

}  // namespace sablecrest::orm
