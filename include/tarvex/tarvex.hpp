// The C++ layer of the tarvex memory manager: standard containers (with the
// context given or in the type), strings as keys, std::pmr, class and global
// new/delete, and RAII scopes, arena marks and contexts over the contexts of
// the library. Header-only and written against tarvex_c.h alone,
// so a game of any compiler links nothing but the C functions (a Visual C++
// game: tarvex.lib). C++17.
//
// Alignment. A context promises that each block of `size` bytes is aligned
// to the smaller of its alignment A (tarvex_context_alignment) and the
// largest power of two not above `size`. Where a request needs more than A,
// the layer takes the block from tarvex_aligned_alloc and gives it back with
// tarvex_aligned_free. Which of the two a release takes is decided from A and
// the alignment asked for alone, never from the size, so that an unsized
// delete finds the function its block came from.
//
// Failure. The containers' allocators and the throwing forms of new throw
// std::bad_alloc, as the standard wants of them (without exceptions they
// stop the process, as the standard library's own allocator does); the
// nothrow forms return null. The library itself reports a missing context
// through its log sink.
#ifndef TARVEX_TARVEX_HPP
#define TARVEX_TARVEX_HPP

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#if defined(__has_include)
#if __has_include(<memory_resource>)
#include <memory_resource>
#define TARVEX_HAS_MEMORY_RESOURCE 1
#endif
#endif

#include "tarvex/tarvex_c.h"

// The alignment that operator new without an alignment argument promises.
// The compiler's own promise by default; a 32-bit game may lower it to 8,
// what the runtime heap of 32-bit Windows gives, so that new in a context
// with 8-byte blocks needs no aligned functions.
#ifndef TARVEX_NEW_ALIGNMENT
#define TARVEX_NEW_ALIGNMENT __STDCPP_DEFAULT_NEW_ALIGNMENT__
#endif

namespace tarvex {

namespace detail {

// ---------------------------------------------------------------------------
// Blocks of a context, for a given alignment
// ---------------------------------------------------------------------------

template <typename Failure>
[[noreturn]] void fail() {
#if defined(__cpp_exceptions) || defined(_CPPUNWIND)
    throw Failure();
#else
    std::abort();
#endif
}

[[noreturn]] inline void out_of_memory() {
    fail<std::bad_alloc>();
}

// The C interface counts bytes in 32 bits: false for a count it cannot carry.
inline bool fits(std::size_t bytes) noexcept {
    if constexpr (sizeof(std::size_t) > sizeof(std::uint32_t)) {
        return bytes <= UINT32_MAX;
    } else {
        return true;
    }
}

// The largest count of T whose bytes the C interface can carry.
template <typename T>
constexpr std::size_t max_elements() noexcept {
    return UINT32_MAX / sizeof(T);
}

// The bytes of n elements of T. No block is empty: n of 0 asks for room for
// one element, so the pointer is aligned for T like any other.
template <typename T>
std::uint32_t element_bytes(std::size_t n) {
    if (n > max_elements<T>()) fail<std::bad_array_new_length>();
    return static_cast<std::uint32_t>((n == 0 ? 1 : n) * sizeof(T));
}

// Whether the context's own blocks are aligned enough: a context that is
// not there (A of 0) promises nothing.
inline bool context_suffices(std::size_t alignment, std::uint32_t promised) noexcept {
    return alignment <= promised || alignment == 1;
}

// A context as the layer calls it: through its handle, which skips the id's
// lookup, once the context is there; by its id before, so that a call still
// starts the library, or reports the missing context, as an id call does.
struct ContextRef {
    std::uint32_t id;
    tarvex_handle handle;
};

// The context's reference for a given promise: a context that promises
// nothing is not there yet, and has no handle to find.
inline ContextRef context_ref(std::uint32_t id, std::uint32_t promised) noexcept {
    return ContextRef{id, promised != 0 ? tarvex_context_find(id) : nullptr};
}

inline void* std_alloc(ContextRef context, std::uint32_t bytes) noexcept {
    if (context.handle != nullptr) return tarvex_handle_alloc(context.handle, bytes);
    return tarvex_std_alloc(bytes, context.id);
}

inline void std_free(ContextRef context, void* block) noexcept {
    if (context.handle != nullptr) return tarvex_handle_free(context.handle, block);
    tarvex_std_free(block, context.id);
}

inline void* aligned_alloc(ContextRef context, std::uint32_t bytes,
                           std::size_t alignment) noexcept {
    const auto align = static_cast<std::uint32_t>(alignment);
    if (context.handle != nullptr) return tarvex_handle_aligned_alloc(context.handle, bytes, align);
    return tarvex_aligned_alloc(bytes, align, context.id);
}

inline void aligned_free(ContextRef context, void* block) noexcept {
    if (context.handle != nullptr) return tarvex_handle_aligned_free(context.handle, block);
    tarvex_aligned_free(block, context.id);
}

// A sized block of at least `alignment` bytes, so that the context's
// promise for its size covers the alignment: fast_alloc when the context's
// promise suffices, the aligned functions otherwise. Null on failure.
inline void* sized_alloc(std::uint32_t bytes, std::size_t alignment, std::uint32_t promised,
                         ContextRef context) noexcept {
    if (!context_suffices(alignment, promised)) return aligned_alloc(context, bytes, alignment);
    if (context.handle != nullptr) return tarvex_handle_fast_alloc(context.handle, bytes);
    return tarvex_fast_alloc(bytes, context.id);
}

inline void sized_free(void* block, std::uint32_t bytes, std::size_t alignment,
                       std::uint32_t promised, ContextRef context) noexcept {
    if (!context_suffices(alignment, promised)) return aligned_free(context, block);
    if (context.handle != nullptr) return tarvex_handle_fast_free(context.handle, block, bytes);
    tarvex_fast_free(block, bytes, context.id);
}

// ---------------------------------------------------------------------------
// operator new and delete of one context
// ---------------------------------------------------------------------------

// The context that global new makes when it is missing at the first new:
// a null name makes none.
struct MissingContext {
    const char* name;
    std::uint16_t type;
    std::uint16_t flags;
};

// The state behind the new and delete of one context id, and behind its
// bound allocators: the context's alignment, read once it is there and
// kept, so that every release takes the family of functions its allocation
// took, whichever user of the state made the block.
class NewPolicy {
public:
    constexpr NewPolicy(std::uint32_t id, MissingContext make_missing) noexcept
        : id_(id), make_missing_(make_missing), promised_(0), handle_(nullptr) {}

    // Storage for an object of at most TARVEX_NEW_ALIGNMENT; null on failure.
    void* allocate(std::size_t size) noexcept {
        return allocate(size, size == 0 ? 1 : size, TARVEX_NEW_ALIGNMENT);
    }
    // Storage aligned to `alignment`, whatever the size; null on failure.
    void* allocate_aligned(std::size_t size, std::size_t alignment) noexcept {
        return allocate(size, size < alignment ? alignment : size, alignment);
    }
    void release(void* block) noexcept { release(block, TARVEX_NEW_ALIGNMENT); }
    void release_aligned(void* block, std::size_t alignment) noexcept { release(block, alignment); }

    // A block of `bytes` (at least `alignment`) that is given back with its
    // size, as a container's are; null on failure.
    void* allocate_sized(std::uint32_t bytes, std::size_t alignment) noexcept {
        const std::uint32_t promised = context_alignment();
        return promised == 0 ? nullptr : sized_alloc(bytes, alignment, promised, context());
    }
    void release_sized(void* block, std::uint32_t bytes, std::size_t alignment) noexcept {
        if (block == nullptr) return;
        sized_free(block, bytes, alignment, promised_.load(std::memory_order_relaxed), context());
    }

    // As the standard's operator new: the new handler is called while there
    // is one and the allocation fails, then std::bad_alloc.
    void* allocate_or_throw(std::size_t size) {
        for (;;) {
            if (void* block = allocate(size)) return block;
            retry_or_throw();
        }
    }
    void* allocate_aligned_or_throw(std::size_t size, std::size_t alignment) {
        for (;;) {
            if (void* block = allocate_aligned(size, alignment)) return block;
            retry_or_throw();
        }
    }

private:
    static void retry_or_throw() {
        const std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) out_of_memory();
        handler();
    }

    void* allocate(std::size_t size, std::size_t requested, std::size_t alignment) noexcept {
        if (!fits(requested)) return nullptr;
        const std::uint32_t promised = context_alignment();
        if (promised == 0) return nullptr;
        if (context_suffices(alignment, promised))
            return std_alloc(context(), static_cast<std::uint32_t>(requested));
        return aligned_alloc(context(), static_cast<std::uint32_t>(size), alignment);
    }

    void release(void* block, std::size_t alignment) noexcept {
        if (block == nullptr) return;
        // A block exists, so its allocation read the context's alignment.
        if (context_suffices(alignment, promised_.load(std::memory_order_relaxed))) {
            std_free(context(), block);
        } else {
            aligned_free(context(), block);
        }
    }

    // The handle once it is known; the id until then, which reaches the
    // same context.
    ContextRef context() const noexcept {
        return ContextRef{id_, handle_.load(std::memory_order_relaxed)};
    }

    std::uint32_t context_alignment() noexcept {
        const std::uint32_t known = promised_.load(std::memory_order_relaxed);
        return known != 0 ? known : context_alignment_first();
    }

    // Until the context is there nothing is allocated, so the alignment a
    // release reads is always the one its allocation read.
    std::uint32_t context_alignment_first() noexcept {
        std::uint32_t promised = tarvex_context_alignment(id_);
        if (promised == 0) {
            if (make_missing_.name != nullptr && id_ != TARVEX_GLOBAL_CONTEXT) {
                // Global new runs before the game can register the context
                // (static constructors, the runtime's own start-up): the
                // context is made on its first use, as the game describes it.
                tarvex_context_desc desc;
                tarvex_context_desc_init(&desc, make_missing_.name, id_, make_missing_.type);
                desc.flags = make_missing_.flags;
                tarvex_context_init(&desc);
            } else {
                // Reports the missing context through the library, or starts
                // a library not started yet; served only when the context
                // has just been made on another thread.
                void* probe = tarvex_std_alloc(1, id_);
                if (probe == nullptr) return 0;
                tarvex_std_free(probe, id_);
            }
            promised = tarvex_context_alignment(id_);
        }
        if (promised != 0) {
            handle_.store(context_ref(id_, promised).handle, std::memory_order_relaxed);
            promised_.store(promised, std::memory_order_relaxed);
        }
        return promised;
    }

    std::uint32_t id_;
    MissingContext make_missing_;
    std::atomic<std::uint32_t> promised_;
    std::atomic<tarvex_handle> handle_;
};

// One policy for each context id, shared by every class whose new names the
// id and by every bound allocator of it; it makes no missing context. (The
// policy of global new is the one source file's own, see
// TARVEX_GLOBAL_NEW_DELETE_CONTEXT.)
template <std::uint32_t Id>
NewPolicy& new_policy() noexcept {
    static NewPolicy policy(Id, MissingContext{nullptr, 0, 0});
    return policy;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// tarvex::allocator: a standard allocator bound to a context
// ---------------------------------------------------------------------------

// Copies and rebinds keep the context, and the containers take it along on
// copy and move assignment and on swap. The allocator calls its context
// through the context's handle. Two allocators are equal when they have the
// same handle and alignment: one made before its context existed has no
// handle, promises nothing and uses the aligned functions by id for any type
// aligned to more than 1, so it cannot release another's blocks. A restart
// of the library makes every handle stale: containers do not outlive it.
template <typename T>
class allocator {
public:
    using value_type = T;
    using propagate_on_container_copy_assignment = std::true_type;
    using propagate_on_container_move_assignment = std::true_type;
    using propagate_on_container_swap = std::true_type;
    using is_always_equal = std::false_type;

    explicit allocator(std::uint32_t context_id) noexcept
        : promised_(tarvex_context_alignment(context_id)),
          context_(detail::context_ref(context_id, promised_)) {}
    template <typename U>
    allocator(const allocator<U>& other) noexcept
        : promised_(other.context_alignment()),
          context_{other.context_id(), other.context_handle()} {}

    T* allocate(std::size_t n) {
        void* block =
            detail::sized_alloc(detail::element_bytes<T>(n), alignof(T), promised_, context_);
        if (block == nullptr) detail::out_of_memory();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t n) noexcept {
        detail::sized_free(block, detail::element_bytes<T>(n), alignof(T), promised_, context_);
    }
    std::size_t max_size() const noexcept { return detail::max_elements<T>(); }

    std::uint32_t context_id() const noexcept { return context_.id; }
    tarvex_handle context_handle() const noexcept { return context_.handle; }
    std::uint32_t context_alignment() const noexcept { return promised_; }

private:
    std::uint32_t promised_;
    detail::ContextRef context_;
};

template <typename T, typename U>
bool operator==(const allocator<T>& a, const allocator<U>& b) noexcept {
    return a.context_handle() == b.context_handle() &&
           a.context_alignment() == b.context_alignment() &&
           (a.context_handle() != nullptr || a.context_id() == b.context_id());
}
template <typename T, typename U>
bool operator!=(const allocator<T>& a, const allocator<U>& b) noexcept {
    return !(a == b);
}

// ---------------------------------------------------------------------------
// tarvex::bound_allocator: a standard allocator with its context in the type
// ---------------------------------------------------------------------------

// The context id `ContextId` is part of the type, so the allocator can be
// made from nothing, as a container made by another container needs (the
// value of map<K, bound_vector<T, Id>>::operator[]). Rebinding keeps the id.
// Every instance of one id is equal to every other: all of them, and the
// class new of the id, share one state (NewPolicy), which reads the
// context's alignment at the first allocation once the context is there,
// so an instance made before its context existed frees as one made after.
// A missing context is reported by the library ("Context not set") and
// throws std::bad_alloc, as a refused allocation does.
template <typename T, std::uint32_t ContextId>
class bound_allocator {
public:
    using value_type = T;
    using propagate_on_container_move_assignment = std::true_type;
    using is_always_equal = std::true_type;
    template <typename U>
    struct rebind {
        using other = bound_allocator<U, ContextId>;
    };

    bound_allocator() noexcept = default;
    template <typename U>
    bound_allocator(const bound_allocator<U, ContextId>&) noexcept {}

    T* allocate(std::size_t n) {
        void* block =
            detail::new_policy<ContextId>().allocate_sized(detail::element_bytes<T>(n), alignof(T));
        if (block == nullptr) detail::out_of_memory();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t n) noexcept {
        detail::new_policy<ContextId>().release_sized(block, detail::element_bytes<T>(n),
                                                      alignof(T));
    }
    std::size_t max_size() const noexcept { return detail::max_elements<T>(); }

    static constexpr std::uint32_t context_id() noexcept { return ContextId; }
};

template <typename T, std::uint32_t A, typename U, std::uint32_t B>
constexpr bool operator==(const bound_allocator<T, A>&, const bound_allocator<U, B>&) noexcept {
    return A == B;
}
template <typename T, std::uint32_t A, typename U, std::uint32_t B>
constexpr bool operator!=(const bound_allocator<T, A>&, const bound_allocator<U, B>&) noexcept {
    return A != B;
}

template <typename T, std::uint32_t ContextId>
using bound_vector = std::vector<T, bound_allocator<T, ContextId>>;
template <std::uint32_t ContextId>
using bound_string =
    std::basic_string<char, std::char_traits<char>, bound_allocator<char, ContextId>>;

// ---------------------------------------------------------------------------
// Strings as keys
// ---------------------------------------------------------------------------

// Hashes any string of char by its view, as std::hash<std::string_view>
// does, so a string of any allocator hashes as the same text in a
// std::string or a literal. Transparent: with string_equal (or
// std::equal_to<>, for views and literals only) as the key comparison, an
// unordered container of C++20 finds a key from a std::string_view, a
// const char* or a string of another allocator without making a string.
struct string_hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>()(text);
    }
};

// Compares strings of char by their views, whatever their allocators.
struct string_equal {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
};

// ---------------------------------------------------------------------------
// tarvex::memory_resource: a std::pmr resource bound to a context
// ---------------------------------------------------------------------------

#if defined(TARVEX_HAS_MEMORY_RESOURCE)
// Calls its context through the context's handle, as allocator does, and is
// equal to another tarvex::memory_resource of the same handle and alignment;
// without run-time type information, only to itself.
class memory_resource : public std::pmr::memory_resource {
public:
    explicit memory_resource(std::uint32_t context_id) noexcept
        : promised_(tarvex_context_alignment(context_id)),
          context_(detail::context_ref(context_id, promised_)) {}

    std::uint32_t context_id() const noexcept { return context_.id; }
    tarvex_handle context_handle() const noexcept { return context_.handle; }
    std::uint32_t context_alignment() const noexcept { return promised_; }

protected:
    void* do_allocate(std::size_t bytes, std::size_t alignment) override {
        const std::size_t requested = block_size(bytes, alignment);
        if (!detail::fits(requested)) detail::out_of_memory();
        void* block = detail::sized_alloc(static_cast<std::uint32_t>(requested), alignment,
                                          promised_, context_);
        if (block == nullptr) detail::out_of_memory();
        return block;
    }
    void do_deallocate(void* block, std::size_t bytes, std::size_t alignment) override {
        detail::sized_free(block, static_cast<std::uint32_t>(block_size(bytes, alignment)),
                           alignment, promised_, context_);
    }
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
        if (this == &other) return true;
#if defined(__cpp_rtti) || defined(__GXX_RTTI) || defined(_CPPRTTI)
        const auto* same = dynamic_cast<const memory_resource*>(&other);
        return same != nullptr && same->context_.handle == context_.handle &&
               same->promised_ == promised_ &&
               (context_.handle != nullptr || same->context_.id == context_.id);
#else
        return false;
#endif
    }

private:
    // At least the alignment, so the context's promise for the size covers
    // it; at least 1, as no block is empty.
    static std::size_t block_size(std::size_t bytes, std::size_t alignment) noexcept {
        const std::size_t at_least = alignment > 1 ? alignment : 1;
        return bytes < at_least ? at_least : bytes;
    }

    std::uint32_t promised_;
    detail::ContextRef context_;
};
#endif

// ---------------------------------------------------------------------------
// tarvex::scope and tarvex::context
// ---------------------------------------------------------------------------

// A leak scope over one context: end() counts the context's blocks made
// since the scope began that are still live, writing them to `file` as a
// leak report when there are any and a file was named (kept as the pointer
// given). The destructor ends a scope not ended yet; a second end() returns
// the first count.
class scope {
public:
    explicit scope(std::uint32_t context_id, const char* file = nullptr) noexcept
        : id_(context_id), file_(file), token_(tarvex_scope_begin(context_id)) {}
    ~scope() { end(); }
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;

    std::uint32_t end() noexcept {
        if (!ended_) {
            live_ = tarvex_scope_end(id_, token_, file_);
            ended_ = true;
        }
        return live_;
    }

private:
    std::uint32_t id_;
    const char* file_;
    std::uint32_t token_;
    std::uint32_t live_ = 0;
    bool ended_ = false;
};

// A mark of a grow-only context for one scope: whatever the context hands
// out while the mark lives goes back when it ends (release() ends it early),
// as nested scratch work inside a frame wants. The marks a context holds are
// a stack, nested up to 32 deep, and releasing to a mark ends that mark and
// every mark taken after it: arena_marks nest as the scopes that hold them,
// and one whose enclosing mark was released first is spent, its own release
// refused with an error. A mark the context refused (not an arena, 32 marks
// held) releases nothing; valid() says so.
class arena_mark {
public:
    explicit arena_mark(std::uint32_t context_id) noexcept
        : id_(context_id), mark_(tarvex_context_mark(context_id)) {}
    ~arena_mark() { release(); }
    arena_mark(const arena_mark&) = delete;
    arena_mark& operator=(const arena_mark&) = delete;

    bool valid() const noexcept { return mark_ != 0; }
    void release() noexcept {
        if (mark_ != 0) tarvex_context_release_to(id_, mark_);
        mark_ = 0;
    }

private:
    std::uint32_t id_;
    std::uint32_t mark_;
};

// Registers a context (or finds the one of the same non-zero id, whose
// description stays as it is). Contexts live until the library's final
// shutdown, so this is a handle: copies name the same context and the
// destructor does nothing. Its blocks go through the context's handle.
class context {
public:
    context(const char* name, std::uint32_t id, std::uint16_t type,
            std::uint16_t flags = TARVEX_MULTI_THREADED) noexcept
        : id_(id) {
        tarvex_context_desc desc;
        tarvex_context_desc_init(&desc, name, id, type);
        desc.flags = flags;
        tarvex_context_init(&desc);
        handle_ = tarvex_context_find(id);
    }
    // From a whole description, for the fields the other constructor leaves
    // at 0 (size_hint, trace_depth).
    explicit context(const tarvex_context_desc& desc) noexcept : id_(desc.id) {
        tarvex_context_init(&desc);
        handle_ = tarvex_context_find(desc.id);
    }

    std::uint32_t id() const noexcept { return id_; }
    tarvex_handle handle() const noexcept { return handle_; }
    std::uint32_t alignment() const noexcept { return tarvex_context_alignment(id_); }
    void set_trace_depth(std::uint32_t depth) noexcept {
        tarvex_set_context_trace_depth(id_, depth);
    }
    void set_budget(std::uint32_t soft_bytes, std::uint32_t hard_bytes) noexcept {
        tarvex_set_context_budget(id_, soft_bytes, hard_bytes);
    }

    // A grow-only context (an arena): reset() gives back every block it
    // handed out and ends every mark. mark() takes a mark, 0 when refused
    // (no arena, 32 marks held); release_to(mark) gives back every block
    // handed out since the mark was taken and ends that mark and every mark
    // taken after it, so a mark is released to once and a game that wants
    // the same point again takes a new mark. A mark of another context, of
    // before a reset, or already ended is refused with an error.
    void reset() noexcept { tarvex_context_reset(id_); }
    std::uint32_t mark() noexcept { return tarvex_context_mark(id_); }
    void release_to(std::uint32_t mark) noexcept { tarvex_context_release_to(id_, mark); }

    // A block of the context (std_alloc); null on failure.
    void* alloc(std::size_t size) noexcept {
        return detail::fits(size) ? tarvex_handle_alloc(handle_, static_cast<std::uint32_t>(size))
                                  : nullptr;
    }
    void free(void* block) noexcept { tarvex_handle_free(handle_, block); }

    // The context's description and figures as the library keeps them; all
    // zero when there is no such context.
    tarvex_context_desc info() const noexcept {
        constexpr std::uint32_t most = 32;
        tarvex_context_desc first[most];
        tarvex_context_desc found{};
        const std::uint32_t listed = tarvex_get_context_info(first, most);
        if (find(first, listed, found) || listed < most) return found;
        // More contexts than fit on the stack: the whole list, from the heap.
        for (std::uint32_t capacity = 2 * most; capacity != 0; capacity *= 2) {
            auto* all = static_cast<tarvex_context_desc*>(
                std::malloc(capacity * sizeof(tarvex_context_desc)));
            if (all == nullptr) break;
            const std::uint32_t count = tarvex_get_context_info(all, capacity);
            const bool complete = find(all, count, found) || count < capacity;
            std::free(all);
            if (complete) break;
        }
        return found;
    }

private:
    bool find(const tarvex_context_desc* descs, std::uint32_t count,
              tarvex_context_desc& found) const noexcept {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (descs[i].id == id_) {
                found = descs[i];
                return true;
            }
        }
        return false;
    }

    std::uint32_t id_;
    tarvex_handle handle_ = nullptr;
};

// The end of a frame, and a named moment of the game, for the timeline
// ("Timeline:" in tarvex.ini); without one they return at once.
inline void frame_mark() noexcept {
    tarvex_frame_mark();
}
inline void phase_mark(const char* name) noexcept {
    tarvex_phase_mark(name);
}

}  // namespace tarvex

// The layer's strings hash as the same text in a std::string does, so they
// are keys of the unordered containers as they stand.
namespace std {
template <>
struct hash<basic_string<char, char_traits<char>, tarvex::allocator<char>>> {
    size_t operator()(
        const basic_string<char, char_traits<char>, tarvex::allocator<char>>& text) const noexcept {
        return tarvex::string_hash()(text);
    }
};
template <uint32_t ContextId>
struct hash<tarvex::bound_string<ContextId>> {
    size_t operator()(const tarvex::bound_string<ContextId>& text) const noexcept {
        return tarvex::string_hash()(text);
    }
};
}  // namespace std

// ---------------------------------------------------------------------------
// Class and global operator new and delete
// ---------------------------------------------------------------------------

// Every replaceable form of new and delete, as `storage` (static, or nothing
// at global scope) functions of the NewPolicy `policy`. Every delete form
// releases by the alignment alone, so sized and unsized releases are alike.
#define TARVEX_DETAIL_NEW_DELETE(storage, policy)                                                 \
    storage void* operator new(std::size_t size) {                                                \
        return policy.allocate_or_throw(size);                                                    \
    }                                                                                             \
    storage void* operator new[](std::size_t size) {                                              \
        return policy.allocate_or_throw(size);                                                    \
    }                                                                                             \
    storage void* operator new(std::size_t size, const std::nothrow_t&) noexcept {                \
        return policy.allocate(size);                                                             \
    }                                                                                             \
    storage void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {              \
        return policy.allocate(size);                                                             \
    }                                                                                             \
    storage void* operator new(std::size_t size, std::align_val_t alignment) {                    \
        return policy.allocate_aligned_or_throw(size, static_cast<std::size_t>(alignment));       \
    }                                                                                             \
    storage void* operator new[](std::size_t size, std::align_val_t alignment) {                  \
        return policy.allocate_aligned_or_throw(size, static_cast<std::size_t>(alignment));       \
    }                                                                                             \
    storage void* operator new(std::size_t size, std::align_val_t alignment,                      \
                               const std::nothrow_t&) noexcept {                                  \
        return policy.allocate_aligned(size, static_cast<std::size_t>(alignment));                \
    }                                                                                             \
    storage void* operator new[](std::size_t size, std::align_val_t alignment,                    \
                                 const std::nothrow_t&) noexcept {                                \
        return policy.allocate_aligned(size, static_cast<std::size_t>(alignment));                \
    }                                                                                             \
    storage void operator delete(void* block) noexcept {                                          \
        policy.release(block);                                                                    \
    }                                                                                             \
    storage void operator delete[](void* block) noexcept {                                        \
        policy.release(block);                                                                    \
    }                                                                                             \
    storage void operator delete(void* block, std::size_t) noexcept {                             \
        policy.release(block);                                                                    \
    }                                                                                             \
    storage void operator delete[](void* block, std::size_t) noexcept {                           \
        policy.release(block);                                                                    \
    }                                                                                             \
    storage void operator delete(void* block, const std::nothrow_t&) noexcept {                   \
        policy.release(block);                                                                    \
    }                                                                                             \
    storage void operator delete[](void* block, const std::nothrow_t&) noexcept {                 \
        policy.release(block);                                                                    \
    }                                                                                             \
    storage void operator delete(void* block, std::align_val_t alignment) noexcept {              \
        policy.release_aligned(block, static_cast<std::size_t>(alignment));                       \
    }                                                                                             \
    storage void operator delete[](void* block, std::align_val_t alignment) noexcept {            \
        policy.release_aligned(block, static_cast<std::size_t>(alignment));                       \
    }                                                                                             \
    storage void operator delete(void* block, std::size_t, std::align_val_t alignment) noexcept { \
        policy.release_aligned(block, static_cast<std::size_t>(alignment));                       \
    }                                                                                             \
    storage void operator delete[](void* block, std::size_t,                                      \
                                   std::align_val_t alignment) noexcept {                         \
        policy.release_aligned(block, static_cast<std::size_t>(alignment));                       \
    }                                                                                             \
    storage void operator delete(void* block, std::align_val_t alignment,                         \
                                 const std::nothrow_t&) noexcept {                                \
        policy.release_aligned(block, static_cast<std::size_t>(alignment));                       \
    }                                                                                             \
    storage void operator delete[](void* block, std::align_val_t alignment,                       \
                                   const std::nothrow_t&) noexcept {                              \
        policy.release_aligned(block, static_cast<std::size_t>(alignment));                       \
    }

// Inside a class, where its members are public: its objects and arrays of
// them live in the context `context_id` (a constant expression). Storage is
// aligned for the type when it asks for more than TARVEX_NEW_ALIGNMENT, else
// for TARVEX_NEW_ALIGNMENT as far as the size allows. Placement new into
// given storage stays available.
#define TARVEX_CLASS_ALLOCATOR(context_id)                                           \
    TARVEX_DETAIL_NEW_DELETE(static, (::tarvex::detail::new_policy<(context_id)>())) \
    static void* operator new(std::size_t, void* where) noexcept {                   \
        return where;                                                                \
    }                                                                                \
    static void* operator new[](std::size_t, void* where) noexcept {                 \
        return where;                                                                \
    }                                                                                \
    static void operator delete(void*, void*) noexcept {}                            \
    static void operator delete[](void*, void*) noexcept {}

// In one source file of the game, at global scope: every replaceable global
// operator new and delete goes to the context `context_id`. The first new,
// whoever calls it (a library's static constructor, the runtime's start-up,
// long before the game's own code), makes the context when it is missing,
// with the name, type and flags given (constant expressions, as for
// tarvex::context); one registered before the first new keeps its own
// description.
#define TARVEX_GLOBAL_NEW_DELETE_CONTEXT(context_id, name, type, flags)                 \
    static constexpr ::tarvex::detail::MissingContext tarvex_detail_global_new_context{ \
        (name), (type), (flags)};                                                       \
    static ::tarvex::detail::NewPolicy tarvex_detail_global_new_policy(                 \
        ::std::integral_constant<std::uint32_t, (context_id)>::value,                   \
        tarvex_detail_global_new_context);                                              \
    TARVEX_DETAIL_NEW_DELETE(, tarvex_detail_global_new_policy)

// As TARVEX_GLOBAL_NEW_DELETE_CONTEXT with a context of the runtime heap,
// shared by threads, named "Global new/delete".
#define TARVEX_GLOBAL_NEW_DELETE(context_id)                                             \
    TARVEX_GLOBAL_NEW_DELETE_CONTEXT(context_id, "Global new/delete", TARVEX_STD_MALLOC, \
                                     TARVEX_MULTI_THREADED)

#endif
