#include "support/counting_allocator.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

// ThreadSanitizer links its own allocation functions into every program, whole, so a second
// definition cannot link there: its builds count nothing, and the memory tests skip.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define COUNTING_ALLOCATOR_TAKEN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define COUNTING_ALLOCATOR_TAKEN 1
#endif

#ifdef COUNTING_ALLOCATOR_TAKEN

bool CountingAllocator_Counts() { return false; }
uint64_t CountingAllocator_Live() { return 0; }
void CountingAllocator_StartPeak() {}
uint64_t CountingAllocator_Peak() { return 0; }

#else

namespace {

std::atomic<uint64_t> live{0};
std::atomic<uint64_t> peak{0};

// Each block carries its size in front of it, so that every delete knows what it gives back; the
// front keeps the alignment operator new promises.
constexpr size_t kFront = alignof(std::max_align_t) > sizeof(size_t) ? alignof(std::max_align_t) : sizeof(size_t);

void* Allocate(size_t size) noexcept {
    void* block = std::malloc(size + kFront);
    if (block == nullptr) return nullptr;
    *static_cast<size_t*>(block) = size;
    const uint64_t now = live.fetch_add(size) + size;
    uint64_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
    return static_cast<char*>(block) + kFront;
}

void Release(void* pointer) noexcept {
    if (pointer == nullptr) return;
    void* block = static_cast<char*>(pointer) - kFront;
    live.fetch_sub(*static_cast<size_t*>(block));
    std::free(block);
}

void* AllocateOrThrow(size_t size) {
    void* pointer = Allocate(size);
    if (pointer == nullptr) throw std::bad_alloc();
    return pointer;
}

}  // namespace

bool CountingAllocator_Counts() { return true; }

uint64_t CountingAllocator_Live() { return live.load(); }

void CountingAllocator_StartPeak() { peak.store(live.load()); }

uint64_t CountingAllocator_Peak() { return peak.load(); }

void* operator new(size_t size) { return AllocateOrThrow(size); }
void* operator new[](size_t size) { return AllocateOrThrow(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* pointer) noexcept { Release(pointer); }
void operator delete[](void* pointer) noexcept { Release(pointer); }
void operator delete(void* pointer, size_t) noexcept { Release(pointer); }
void operator delete[](void* pointer, size_t) noexcept { Release(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { Release(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { Release(pointer); }

#endif
