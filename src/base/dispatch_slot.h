// Reading and switching the dispatch table's slots. Start-up switches them
// while other threads may already call through them (a lazy start races the
// calls that wait for it), so every access is atomic: a plain move on the
// targets, and a thread sees one occupant or the other, never a torn one.
#pragma once

namespace tarvex {

template <typename Func>
inline Func slot(const Func& occupant) {
    return __atomic_load_n(&occupant, __ATOMIC_ACQUIRE);
}

template <typename Func>
inline void set_slot(Func& occupant, Func replacement) {
    __atomic_store_n(&occupant, replacement, __ATOMIC_RELEASE);
}

}  // namespace tarvex
