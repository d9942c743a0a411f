// The module's C++ heap through Python's raw allocator, for memory
// measurements: with KESTREL_TRACE_ALLOC defined (the CMake option of the
// same name), every form of the global `operator new` and `operator delete`
// the module can call is replaced, within the module, by one that takes its
// memory from `PyMem_RawMalloc` and gives it back with `PyMem_RawFree`.
// tracemalloc traces that allocator, so the coroutine frames, vectors, tables
// and shared states of an operation count in `tracemalloc.get_traced_memory()`
// next to the Python objects it makes. Without tracemalloc the raw allocator
// is the C library's `malloc`, so the build otherwise behaves as the normal one.
//
// The module is linked with -Bsymbolic in this build (see CMakeLists.txt), so
// its own calls bind to these definitions whatever else the process loads;
// they stay visible to `dlsym` on the module, which is how bench/bench_memory.py
// checks that it loaded this build. Memory the C++ runtime library allocates
// inside its own code (not inlined into the module) keeps the runtime's
// allocator; either `operator delete` frees an ordinarily aligned block of
// either kind, since both end in the C library's `free`. An over-aligned
// block is cut from a larger raw block and only these definitions can free
// it: the module's over-aligned objects are made and destroyed in its own code.
//
// Not compiled in with KESTREL_SANITIZE: the sanitiser replaces these itself.
#ifdef KESTREL_TRACE_ALLOC

#ifdef KESTREL_SANITIZE
#error "KESTREL_TRACE_ALLOC and KESTREL_SANITIZE exclude each other"
#endif

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace {

// The raw allocator's blocks are aligned for any fundamental type.
constexpr std::size_t raw_alignment = alignof(std::max_align_t);

void *raw_allocate(std::size_t size) noexcept {
    for (;;) {
        if (void *p = PyMem_RawMalloc(size ? size : 1)) return p;
        std::new_handler handler = std::get_new_handler();
        if (!handler) return nullptr;
        handler();  // may free memory, throw bad_alloc or end the process
    }
}

void *allocate(std::size_t size) {
    if (void *p = raw_allocate(size)) return p;
    throw std::bad_alloc();
}

// An over-aligned block: the raw block is over-allocated, the address handed
// out is the first aligned one past a pointer-sized slot, and that slot keeps
// the raw block's address for the release.
void *raw_allocate_aligned(std::size_t size, std::align_val_t al) noexcept {
    std::size_t alignment = static_cast<std::size_t>(al);
    if (alignment <= raw_alignment) return raw_allocate(size);
    if (size > SIZE_MAX - alignment - sizeof(void *)) return nullptr;
    void *raw = raw_allocate(size + alignment + sizeof(void *));
    if (!raw) return nullptr;
    std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw) + sizeof(void *);
    void *aligned = reinterpret_cast<void *>((start + alignment - 1) & ~(alignment - 1));
    static_cast<void **>(aligned)[-1] = raw;
    return aligned;
}

void *allocate_aligned(std::size_t size, std::align_val_t al) {
    if (void *p = raw_allocate_aligned(size, al)) return p;
    throw std::bad_alloc();
}

void release(void *p) noexcept { PyMem_RawFree(p); }

void release_aligned(void *p, std::align_val_t al) noexcept {
    if (!p) return;
    if (static_cast<std::size_t>(al) <= raw_alignment) return PyMem_RawFree(p);
    PyMem_RawFree(static_cast<void **>(p)[-1]);
}

}  // namespace

void *operator new(std::size_t size) { return allocate(size); }
void *operator new[](std::size_t size) { return allocate(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return raw_allocate(size); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return raw_allocate(size); }
void *operator new(std::size_t size, std::align_val_t al) { return allocate_aligned(size, al); }
void *operator new[](std::size_t size, std::align_val_t al) { return allocate_aligned(size, al); }
void *operator new(std::size_t size, std::align_val_t al, const std::nothrow_t &) noexcept {
    return raw_allocate_aligned(size, al);
}
void *operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t &) noexcept {
    return raw_allocate_aligned(size, al);
}

void operator delete(void *p) noexcept { release(p); }
void operator delete[](void *p) noexcept { release(p); }
void operator delete(void *p, std::size_t) noexcept { release(p); }
void operator delete[](void *p, std::size_t) noexcept { release(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { release(p); }
void operator delete(void *p, std::align_val_t al) noexcept { release_aligned(p, al); }
void operator delete[](void *p, std::align_val_t al) noexcept { release_aligned(p, al); }
void operator delete(void *p, std::size_t, std::align_val_t al) noexcept { release_aligned(p, al); }
void operator delete[](void *p, std::size_t, std::align_val_t al) noexcept { release_aligned(p, al); }
void operator delete(void *p, std::align_val_t al, const std::nothrow_t &) noexcept { release_aligned(p, al); }
void operator delete[](void *p, std::align_val_t al, const std::nothrow_t &) noexcept {
    release_aligned(p, al);
}

#endif  // KESTREL_TRACE_ALLOC
