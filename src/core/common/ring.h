// Fixed-capacity double-ended ring, its storage reserved once up front.
//
// The hot paths (bus writes, metric pushes, risk records) must not allocate
// once warm; this is the deque they share. Storage is reserved but left
// untouched until used, so a large capacity costs address space, not pages.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

namespace kiv::common {

template <typename T>
class Ring {
 public:
  // Throws std::bad_alloc when the storage cannot be reserved.
  explicit Ring(std::size_t capacity) : capacity_(capacity) {
    if (capacity_ > 0) {
      if (capacity_ > std::allocator_traits<std::allocator<T>>::max_size(allocator_)) {
        throw std::bad_alloc();
      }
      slots_ = allocator_.allocate(capacity_);
    }
  }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() {
    clear();
    if (slots_) allocator_.deallocate(slots_, capacity_);
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ == capacity_; }

  // Index 0 is the front (oldest).
  T& operator[](std::size_t index) { return slots_[wrap(head_ + index)]; }
  const T& operator[](std::size_t index) const { return slots_[wrap(head_ + index)]; }
  T& front() { return (*this)[0]; }
  T& back() { return (*this)[size_ - 1]; }
  const T& front() const { return (*this)[0]; }
  const T& back() const { return (*this)[size_ - 1]; }

  // Precondition: !full().
  void push_back(T value) { emplace_back(std::move(value)); }

  // Precondition: !full().
  template <typename... Args>
  T& emplace_back(Args&&... args) {
    T* slot = std::construct_at(slots_ + wrap(head_ + size_), std::forward<Args>(args)...);
    ++size_;
    return *slot;
  }

  // Precondition: !empty().
  T pop_front() {
    T value = std::move(slots_[head_]);
    std::destroy_at(slots_ + head_);
    head_ = wrap(head_ + 1);
    --size_;
    return value;
  }

  // Drops the oldest entry when full, so the newest always fits.
  // Precondition: capacity() > 0.
  void push_back_evicting(T value) {
    if (full()) pop_front();
    push_back(std::move(value));
  }

  void clear() {
    while (!empty()) pop_front();
    head_ = 0;
  }

  template <typename Fn>
  void for_each(Fn&& fn) const {
    for (std::size_t i = 0; i < size_; ++i) fn((*this)[i]);
  }

 private:
  std::size_t wrap(std::size_t index) const { return index >= capacity_ ? index - capacity_ : index; }

  std::allocator<T> allocator_;
  T* slots_ = nullptr;
  std::size_t capacity_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

}  // namespace kiv::common
