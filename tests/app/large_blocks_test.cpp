// The programs' operator new and delete, which this test program links too (so every other test runs on
// them as well): blocks of every size and alignment usable to their last byte, large ones mapped on
// their own, advised for huge pages and given back whole, failures reported as the standard asks.
#include "app/large_blocks.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

namespace expcoil {
namespace {

bool aligned(const void* p, std::size_t align) { return reinterpret_cast<std::uintptr_t>(p) % align == 0; }

// Whether the page holding p is mapped (mincore answers ENOMEM for an address outside every mapping).
bool mapped(const void* p) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  unsigned char resident = 0;
  void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) / page * page);
  return mincore(start, 1, &resident) == 0 || errno != ENOMEM;
}

// The VmFlags line of the mapping holding p in /proc/self/smaps ("" when not found).
std::string vm_flags(const void* p) {
  const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(p);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t lo = 0, hi = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> lo >> dash >> hi && dash == '-') {
      inside = lo <= a && a < hi;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line;
    }
  }
  return "";
}

bool huge_pages_offered() {
  std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(f, modes);
  return !modes.empty() && modes.find("[never]") == std::string::npos;
}

TEST(LargeBlocks, BlocksOfEverySizeAndAlignmentHoldTheirBytes) {
  const std::size_t sizes[] = {
      0, 1, 15, 16, 17, 4096, kLargeBlock - 1, kLargeBlock, (std::size_t{3} << 20) + 5};
  const std::size_t aligns[] = {0, 32, 64, 4096, std::size_t{2} << 20, std::size_t{4} << 20};
  for (std::size_t size : sizes) {
    for (std::size_t align : aligns) {
      SCOPED_TRACE("size " + std::to_string(size) + ", alignment " + std::to_string(align));
      // Two at once, so that one overrunning the other would show in the pattern.
      unsigned char* blocks[2];
      for (int k = 0; k < 2; ++k) {
        void* p = align == 0 ? ::operator new(size) : ::operator new (size, std::align_val_t{align});
        ASSERT_TRUE(aligned(p, align == 0 ? __STDCPP_DEFAULT_NEW_ALIGNMENT__ : align));
        blocks[k] = static_cast<unsigned char*>(p);
        std::memset(p, 0x5a + k, size);
      }
      for (int k = 0; k < 2; ++k) {
        for (std::size_t i = 0; i < size; i += size / 64 + 1) ASSERT_EQ(blocks[k][i], 0x5a + k);
        if (size > 0) {
          ASSERT_EQ(blocks[k][size - 1], 0x5a + k);
        }
        if (align == 0) {
          ::operator delete(blocks[k], size);
        } else {
          ::operator delete (blocks[k], std::align_val_t{align});
        }
      }
    }
  }
  // The array and nothrow forms share the same blocks.
  std::vector<double>* v = new std::vector<double>(kLargeBlock, 1.0);
  double* a = new (std::nothrow) double[kLargeBlock / 8];
  ASSERT_NE(a, nullptr);
  a[kLargeBlock / 8 - 1] = (*v)[kLargeBlock - 1];
  EXPECT_EQ(a[kLargeBlock / 8 - 1], 1.0);
  delete[] a;
  delete v;
}

TEST(LargeBlocks, LargeBlocksAreMappedForHugePagesAndGivenBackWhole) {
  if (!large_blocks_mapped()) GTEST_SKIP() << "built with a sanitizer's operator new";
  const std::size_t size = (std::size_t{5} << 20) + 123;
  unsigned char* p = static_cast<unsigned char*>(::operator new(size));
  std::memset(p, 1, size);
  // The block starts just past a 2 MiB boundary, where its own mapping starts.
  EXPECT_LE(reinterpret_cast<std::uintptr_t>(p) % (std::size_t{2} << 20), 64u);
  if (huge_pages_offered()) {
    EXPECT_NE(vm_flags(p).find(" hg"), std::string::npos) << vm_flags(p);
  }
  EXPECT_TRUE(mapped(p));
  EXPECT_TRUE(mapped(p + size - 1));
  ::operator delete(p);
  EXPECT_FALSE(mapped(p));
  EXPECT_FALSE(mapped(p + size - 1));
  // A small block stays malloc's: its memory is not a mapping of its own.
  void* small = ::operator new(kLargeBlock / 2);
  EXPECT_EQ(vm_flags(small).find(" hg"), std::string::npos);
  ::operator delete(small);
}

TEST(LargeBlocks, ImpossibleSizesFailAsTheStandardAsks) {
  // A sanitizer's operator new reports them as errors of its own instead.
  if (!large_blocks_mapped()) GTEST_SKIP() << "built with a sanitizer's operator new";
  // Volatile, so that the compiler does not judge the size itself.
  volatile std::size_t huge = SIZE_MAX / 2;
  const std::size_t absurd = huge;
  EXPECT_EQ(::operator new(absurd, std::nothrow), nullptr);
  EXPECT_EQ(::operator new[](absurd, std::align_val_t{64}, std::nothrow), nullptr);
  EXPECT_THROW(::operator delete(::operator new(absurd)), std::bad_alloc);
  // The new-handler is called before giving up; here it gives up after one call.
  static int calls;
  calls = 0;
  const std::new_handler previous = std::set_new_handler([] {
    ++calls;
    std::set_new_handler(nullptr);
  });
  EXPECT_THROW(::operator delete(::operator new (absurd, std::align_val_t{4096})), std::bad_alloc);
  std::set_new_handler(previous);
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace expcoil
