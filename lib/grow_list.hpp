// GrowList: the one growable container of the program (configuration entries, magnets, winding
// segments, the report stack). Its growth rule is part of the program's observable behaviour in
// the tests, so it is kept exactly: with the growth setting 60 a full list grows to
// floor(1.25 * (count + 1)) records (capacities 1, 2, 3, 5, 7, 10, 13, ...), and a removal that
// leaves it at most 60 % full shrinks it to floor(1.25 * count), never below its initial capacity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace expcoil {

// Every list of the program starts with room for one record.
inline constexpr std::uint32_t default_initial_capacity = 1;

template <class T>
class GrowList {
 public:
  GrowList() { init(); }
  ~GrowList() { destroy_storage(); }

  GrowList(const GrowList&) = delete;
  GrowList& operator=(const GrowList&) = delete;

  GrowList(GrowList&& other) noexcept { steal(other); }
  GrowList& operator=(GrowList&& other) noexcept {
    if (this != &other) {
      destroy_storage();
      steal(other);
    }
    return *this;
  }

  // Appends a copy and returns the index the record received (the count before the call).
  std::uint32_t append(const T& record) { return emplace(record); }
  std::uint32_t append(T&& record) { return emplace(std::move(record)); }

  // Moves the last record into the slot of `index`: the order of the records is not kept.
  // An index at or beyond count() leaves the list unchanged.
  void remove(std::uint32_t index) {
    if (index >= count_) return;
    const std::uint32_t last = count_ - 1;
    if (index != last) data_[index] = std::move(data_[last]);
    std::destroy_at(data_ + last);
    count_ = last;
    if (static_cast<double>(count_) / capacity_ > 0.01 * growth_setting_) return;
    if (capacity_ <= initial_capacity_) return;
    std::uint64_t shrunk = rule_capacity(count_);
    if (shrunk < initial_capacity_) shrunk = initial_capacity_;
    reallocate(static_cast<std::uint32_t>(shrunk));
  }

  // Frees the storage and clears the alias target; the list is empty afterwards and may be
  // appended to again (it then starts from a capacity of one).
  void release() {
    destroy_storage();
    if (alias_ != nullptr) *alias_ = nullptr;
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

  // Keeps `*variable` equal to the storage address whenever the storage moves.
  void set_alias(T** variable) {
    alias_ = variable;
    if (alias_ != nullptr) *alias_ = data_;
  }

  std::uint32_t count() const { return count_; }
  std::uint32_t capacity() const { return capacity_; }
  std::uint32_t initial_capacity() const { return initial_capacity_; }
  float growth_setting() const { return growth_setting_; }
  bool empty() const { return count_ == 0; }

  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::uint32_t i) { return data_[i]; }
  const T& operator[](std::uint32_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + count_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + count_; }

 private:
  void init() {
    capacity_ = default_initial_capacity;
    initial_capacity_ = default_initial_capacity;
    data_ = allocate(capacity_);
  }

  void steal(GrowList& other) {
    data_ = std::exchange(other.data_, nullptr);
    alias_ = std::exchange(other.alias_, nullptr);
    count_ = std::exchange(other.count_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    initial_capacity_ = other.initial_capacity_;
    growth_setting_ = other.growth_setting_;
  }

  template <class U>
  std::uint32_t emplace(U&& record) {
    if (count_ >= capacity_) {
      if (count_ == UINT32_MAX) throw std::length_error("list of more than 4294967295 records");
      std::uint64_t grown = rule_capacity(static_cast<std::uint64_t>(count_) + 1);
      if (grown > UINT32_MAX) grown = UINT32_MAX;
      // The record may live in this list's own storage: build it before the storage moves.
      T copy(std::forward<U>(record));
      reallocate(static_cast<std::uint32_t>(grown));
      ::new (static_cast<void*>(data_ + count_)) T(std::move(copy));
    } else {
      ::new (static_cast<void*>(data_ + count_)) T(std::forward<U>(record));
    }
    return count_++;
  }

  // n / (0.005 * setting + 0.5), truncated: with the setting 60 the divisor is 0.8 and the result
  // is floor(1.25 * n) for every n.
  std::uint64_t rule_capacity(std::uint64_t n) const {
    return static_cast<std::uint64_t>(static_cast<double>(n) / (0.005 * growth_setting_ + 0.5));
  }

  static T* allocate(std::uint32_t capacity) {
    if (capacity == 0) return nullptr;
    if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    void* p = ::operator new(static_cast<std::size_t>(capacity) * sizeof(T), std::align_val_t(alignof(T)));
    return static_cast<T*>(p);
  }

  static void deallocate(T* p) {
    if (p != nullptr) ::operator delete(static_cast<void*>(p), std::align_val_t(alignof(T)));
  }

  void reallocate(std::uint32_t capacity) {
    T* fresh = allocate(capacity);
    if constexpr (std::is_nothrow_move_constructible_v<T>) {
      std::uninitialized_move_n(data_, count_, fresh);
    } else {
      try {
        std::uninitialized_copy_n(data_, count_, fresh);
      } catch (...) {
        deallocate(fresh);
        throw;
      }
    }
    std::destroy_n(data_, count_);
    deallocate(data_);
    data_ = fresh;
    capacity_ = capacity;
    if (alias_ != nullptr) *alias_ = data_;
  }

  void destroy_storage() {
    std::destroy_n(data_, count_);
    deallocate(data_);
  }

  T* data_ = nullptr;
  T** alias_ = nullptr;
  std::uint32_t count_ = 0;
  std::uint32_t capacity_ = 0;
  std::uint32_t initial_capacity_ = default_initial_capacity;
  float growth_setting_ = 60.0f;
};

}  // namespace expcoil
