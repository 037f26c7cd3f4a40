// The programs' operator new and delete: blocks of 1 MiB and more are mapped on their own, aligned to
// and advised for 2 MiB pages; smaller ones come from malloc as before.
//
// Why: a run touches each page of its large arrays once (segments, trees, moments, the map, the files'
// text), and the first touch of a 4 KiB page is a fault. On a virtual machine a fault costs several
// microseconds: measured on a 2-core cloud host, 30,000 of them were a fifth of a tree-coded map's CPU
// time. Transparent huge pages are given only where a program asks for them (Debian's default, "madvise"),
// and malloc does not ask. A 2 MiB page takes one fault instead of 512. Where the system has no huge pages
// the advice is ignored and the blocks behave as malloc's would.
//
// Linked into the executables (and the test program, so that every test runs on it), not into the
// libraries, so that a library's host such as Python keeps its own allocator; left out under the
// sanitizers, which replace these functions themselves.
#include "app/large_blocks.hpp"

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define EXPCOIL_LARGE_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define EXPCOIL_LARGE_BLOCKS 0
#endif
#endif
#ifndef EXPCOIL_LARGE_BLOCKS
#define EXPCOIL_LARGE_BLOCKS 1
#endif

namespace expcoil {
bool large_blocks_mapped() { return EXPCOIL_LARGE_BLOCKS != 0; }
}  // namespace expcoil

#if EXPCOIL_LARGE_BLOCKS

namespace {

constexpr std::size_t kPage = std::size_t{2} << 20;
constexpr std::size_t kLarge = expcoil::kLargeBlock;

// Just before every block: where its allocation starts and, for a mapped block, how many bytes are mapped
// (0: the allocation is malloc's).
struct Header {
  void* base;
  std::size_t mapped;
};
static_assert(sizeof(Header) == 16 && __STDCPP_DEFAULT_NEW_ALIGNMENT__ <= 16);

Header* header_of(void* p) { return static_cast<Header*>(p) - 1; }

// The block's address is `align` (at least 16) past a boundary, with the header just before it.
void* allocate(std::size_t size, std::size_t align) noexcept {
  if (align < sizeof(Header)) align = sizeof(Header);
  if (size > SIZE_MAX / 4 || align > SIZE_MAX / 4) return nullptr;
  if (size >= kLarge && align <= kPage) {
    // Mapped a page over, so that the block can start on a page boundary; what lies outside is given back.
    const std::size_t length = (align + size + kPage - 1) / kPage * kPage;
    void* const raw =
        mmap(nullptr, length + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw != MAP_FAILED) {
      const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
      const std::uintptr_t base = (start + kPage - 1) / kPage * kPage;
      if (base > start) munmap(raw, base - start);
      if (start + kPage > base) munmap(reinterpret_cast<void*>(base + length), start + kPage - base);
      madvise(reinterpret_cast<void*>(base), length, MADV_HUGEPAGE);
      void* const block = reinterpret_cast<void*>(base + align);
      *header_of(block) = Header{reinterpret_cast<void*>(base), length};
      return block;
    }
    // No mapping: malloc may still find the memory.
  }
  void* const raw = std::malloc(size + align);
  if (raw == nullptr) return nullptr;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(raw);
  void* const block = reinterpret_cast<void*>((start + sizeof(Header) + align - 1) / align * align);
  *header_of(block) = Header{raw, 0};
  return block;
}

void release(void* block) noexcept {
  if (block == nullptr) return;
  const Header h = *header_of(block);
  if (h.mapped != 0) {
    munmap(h.base, h.mapped);
  } else {
    std::free(h.base);
  }
}

// Throwing allocation: the new-handler loop of the standard's operator new.
void* allocate_or_throw(std::size_t size, std::size_t align) {
  for (;;) {
    if (void* p = allocate(size == 0 ? 1 : size, align)) return p;
    const std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* allocate_nothrow(std::size_t size, std::size_t align) noexcept {
  try {
    return allocate_or_throw(size, align);
  } catch (...) {
    return nullptr;
  }
}

std::size_t alignment(std::align_val_t a) { return static_cast<std::size_t>(a); }

}  // namespace

void* operator new(std::size_t size) { return allocate_or_throw(size, 16); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, 16); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size, 16); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size, 16); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate_or_throw(size, alignment(a)); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate_or_throw(size, alignment(a)); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, alignment(a));
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  return allocate_nothrow(size, alignment(a));
}

void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

#endif
