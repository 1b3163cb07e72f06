// SmallVector: a vector of trivially copyable values that holds its first N
// elements inside the object and goes to the heap only beyond them.
//
// Shapes, strides and coordinates have a few entries and are made and dropped
// on every call; held inline, a call on arrays of up to N dimensions costs no
// allocation for them. The interface is std::vector's (the parts this code
// base uses), so code written against a vector compiles unchanged. Growth
// past the inline room allocates with operator new: std::bad_alloc (or
// std::length_error past max_size) as a vector would, which allocation_guard
// turns into AllocationFailed.
#pragma once

#include <algorithm>
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <new>
#include <span>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace quarvel_storage {

template <class T, std::size_t N>
class SmallVector {
  static_assert(std::is_trivially_copyable_v<T> && std::is_nothrow_default_constructible_v<T>);
  static_assert(N > 0);

 public:
  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = T&;
  using const_reference = const T&;
  using pointer = T*;
  using const_pointer = const T*;
  using iterator = T*;
  using const_iterator = const T*;
  using reverse_iterator = std::reverse_iterator<iterator>;
  using const_reverse_iterator = std::reverse_iterator<const_iterator>;

  SmallVector() noexcept {}
  explicit SmallVector(size_type n) { assign(n, T{}); }
  SmallVector(size_type n, const T& value) { assign(n, value); }
  SmallVector(std::initializer_list<T> values) { assign(values.begin(), values.end()); }
  template <std::input_iterator It>
  SmallVector(It first, It last) {
    assign(first, last);
  }
  explicit SmallVector(std::span<const T> values) { assign(values.begin(), values.end()); }

  SmallVector(const SmallVector& other) {
    if (other.size_ <= N) {
      copy_inline(other.data_, other.size_);
      return;
    }
    assign(other.begin(), other.end());
  }
  SmallVector(SmallVector&& other) noexcept { take(other); }
  SmallVector& operator=(const SmallVector& other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }
  SmallVector& operator=(SmallVector&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  SmallVector& operator=(std::initializer_list<T> values) {
    assign(values.begin(), values.end());
    return *this;
  }
  ~SmallVector() { release(); }

  void assign(size_type n, const T& value) {
    // `value` may live in this vector: copied before any growth.
    const T copy = value;
    clear();
    reserve(n);
    std::fill_n(data_, n, copy);
    size_ = static_cast<std::uint32_t>(n);
  }
  template <std::input_iterator It>
  void assign(It first, It last) {
    clear();
    if constexpr (std::contiguous_iterator<It>) {
      // Counted and copied in one pass; a source inside this vector fits its
      // room, so nothing moves before it is read.
      const auto n = static_cast<size_type>(last - first);
      reserve(n);
      const T* source = std::to_address(first);
      for (size_type i = 0; i < n; ++i) data_[i] = source[i];
      size_ = static_cast<std::uint32_t>(n);
      return;
    }
    if constexpr (std::forward_iterator<It>) reserve(static_cast<size_type>(std::distance(first, last)));
    for (; first != last; ++first) push_back(*first);
  }
  void assign(std::initializer_list<T> values) { assign(values.begin(), values.end()); }

  // --- access ---------------------------------------------------------------
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  size_type capacity() const noexcept { return capacity_; }
  static constexpr size_type max_size() noexcept { return UINT32_MAX; }
  static constexpr size_type inline_capacity = N;

  T& operator[](size_type i) noexcept { return data_[i]; }
  const T& operator[](size_type i) const noexcept { return data_[i]; }
  T& at(size_type i) {
    if (i >= size_) throw std::out_of_range("SmallVector::at");
    return data_[i];
  }
  const T& at(size_type i) const {
    if (i >= size_) throw std::out_of_range("SmallVector::at");
    return data_[i];
  }
  T& front() noexcept { return data_[0]; }
  const T& front() const noexcept { return data_[0]; }
  T& back() noexcept { return data_[size_ - 1]; }
  const T& back() const noexcept { return data_[size_ - 1]; }

  iterator begin() noexcept { return data_; }
  const_iterator begin() const noexcept { return data_; }
  const_iterator cbegin() const noexcept { return data_; }
  iterator end() noexcept { return data_ + size_; }
  const_iterator end() const noexcept { return data_ + size_; }
  const_iterator cend() const noexcept { return data_ + size_; }
  reverse_iterator rbegin() noexcept { return reverse_iterator(end()); }
  const_reverse_iterator rbegin() const noexcept { return const_reverse_iterator(end()); }
  reverse_iterator rend() noexcept { return reverse_iterator(begin()); }
  const_reverse_iterator rend() const noexcept { return const_reverse_iterator(begin()); }

  // --- changes --------------------------------------------------------------
  void reserve(size_type n) {
    if (n <= capacity_) return;
    if (n > max_size()) throw std::length_error("SmallVector::reserve");
    // Doubling keeps push_back amortised constant.
    const size_type grown = std::min<size_type>(std::max<size_type>(n, 2 * size_type{capacity_}), max_size());
    T* fresh = static_cast<T*>(::operator new(grown * sizeof(T)));
    if (size_ > 0) std::memcpy(fresh, data_, size_ * sizeof(T));
    if (!is_inline()) ::operator delete(data_);
    data_ = fresh;
    capacity_ = static_cast<std::uint32_t>(grown);
  }
  void clear() noexcept { size_ = 0; }
  void push_back(const T& value) {
    if (size_ == capacity_) {
      const T copy = value;
      reserve(size_type{size_} + 1);
      data_[size_++] = copy;
      return;
    }
    data_[size_++] = value;
  }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    push_back(T(std::forward<Args>(args)...));
    return back();
  }
  void pop_back() noexcept { --size_; }
  void resize(size_type n) { resize(n, T{}); }
  void resize(size_type n, const T& value) {
    if (n > size_) {
      const T copy = value;
      reserve(n);
      std::fill(data_ + size_, data_ + n, copy);
    }
    size_ = static_cast<std::uint32_t>(n);
  }
  iterator insert(const_iterator position, const T& value) { return insert(position, size_type{1}, value); }
  iterator insert(const_iterator position, size_type n, const T& value) {
    const size_type at = static_cast<size_type>(position - data_);
    const T copy = value;
    open_gap(at, n);
    std::fill_n(data_ + at, n, copy);
    return data_ + at;
  }
  template <std::forward_iterator It>
  iterator insert(const_iterator position, It first, It last) {
    const size_type at = static_cast<size_type>(position - data_);
    const auto n = static_cast<size_type>(std::distance(first, last));
    // The source may be this vector: copied aside before the gap opens.
    SmallVector source(first, last);
    open_gap(at, n);
    std::copy(source.begin(), source.end(), data_ + at);
    return data_ + at;
  }
  iterator insert(const_iterator position, std::initializer_list<T> values) {
    return insert(position, values.begin(), values.end());
  }
  iterator erase(const_iterator position) { return erase(position, position + 1); }
  iterator erase(const_iterator first, const_iterator last) {
    T* from = data_ + (first - data_);
    const auto removed = static_cast<size_type>(last - first);
    std::copy(last, cend(), from);
    size_ -= static_cast<std::uint32_t>(removed);
    return from;
  }
  void swap(SmallVector& other) noexcept {
    SmallVector held(std::move(other));
    other = std::move(*this);
    *this = std::move(held);
  }

  friend bool operator==(const SmallVector& a, const SmallVector& b) {
    return a.size_ == b.size_ && std::equal(a.begin(), a.end(), b.begin());
  }
  friend auto operator<=>(const SmallVector& a, const SmallVector& b) {
    return std::lexicographical_compare_three_way(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  bool is_inline() const noexcept { return data_ == inline_; }
  // At most N values into the inline room: a loop of fixed length the
  // compiler unrolls, with no call and no read past `n`.
  // GCC cannot see that `i < n` keeps a moved-from temporary's unset room unread.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
  void copy_inline(const T* from, size_type n) noexcept {
    for (size_type i = 0; i < N; ++i)
      if (i < n) inline_[i] = from[i];
    size_ = static_cast<std::uint32_t>(n);
  }
#pragma GCC diagnostic pop
  void release() noexcept {
    if (!is_inline()) ::operator delete(data_);
    data_ = inline_;
    capacity_ = N;
    size_ = 0;
  }
  // Moves `other`'s elements here (this one empty and inline); `other` is left empty.
  void take(SmallVector& other) noexcept {
    if (other.is_inline()) {
      copy_inline(other.inline_, other.size_);
      size_ = other.size_;
      other.size_ = 0;
      return;
    }
    data_ = std::exchange(other.data_, other.inline_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, static_cast<std::uint32_t>(N));
  }
  void open_gap(size_type at, size_type n) {
    reserve(size_type{size_} + n);
    std::copy_backward(data_ + at, data_ + size_, data_ + size_ + n);
    size_ += static_cast<std::uint32_t>(n);
  }

  T* data_ = inline_;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = N;
  T inline_[N];
};

// FixedVector: at most N values of any type, held inside the object; it
// never allocates. For lists whose length has a small bound fixed by the code
// (a ufunc's operands and outputs, a run's inputs): going past N is a fault
// of the caller, refused with std::length_error. Only the values held are
// constructed (each default-initialised when made without arguments), so an
// empty list costs nothing to make.
template <class T, std::size_t N>
class FixedVector {
 public:
  using value_type = T;
  using size_type = std::size_t;
  using iterator = T*;
  using const_iterator = const T*;

  FixedVector() noexcept {}
  FixedVector(std::initializer_list<T> values) {
    for (const T& value : values) push_back(value);
  }
  FixedVector(const FixedVector& other) {
    for (const T& value : other) push_back(value);
  }
  FixedVector(FixedVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    for (T& value : other) push_back(std::move(value));
  }
  FixedVector& operator=(const FixedVector& other) {
    if (this != &other) {
      clear();
      for (const T& value : other) push_back(value);
    }
    return *this;
  }
  FixedVector& operator=(FixedVector&& other) noexcept(std::is_nothrow_move_constructible_v<T>) {
    if (this != &other) {
      clear();
      for (T& value : other) push_back(std::move(value));
    }
    return *this;
  }
  ~FixedVector() { clear(); }

  T* data() noexcept { return std::launder(reinterpret_cast<T*>(room_)); }
  const T* data() const noexcept { return std::launder(reinterpret_cast<const T*>(room_)); }
  size_type size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  static constexpr size_type capacity() noexcept { return N; }
  T& operator[](size_type i) noexcept { return data()[i]; }
  const T& operator[](size_type i) const noexcept { return data()[i]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }
  iterator begin() noexcept { return data(); }
  const_iterator begin() const noexcept { return data(); }
  iterator end() noexcept { return data() + size_; }
  const_iterator end() const noexcept { return data() + size_; }
  operator std::span<T>() noexcept { return {data(), size_}; }
  operator std::span<const T>() const noexcept { return {data(), size_}; }

  void push_back(const T& value) { emplace_back(value); }
  void push_back(T&& value) { emplace_back(std::move(value)); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    if (size_ == N) throw std::length_error("FixedVector: capacity exceeded");
    void* slot = static_cast<void*>(data() + size_);
    T* made;
    if constexpr (sizeof...(Args) == 0) made = ::new (slot) T;
    else made = ::new (slot) T(std::forward<Args>(args)...);
    ++size_;
    return *made;
  }
  void clear() noexcept {
    for (size_type i = size_; i-- > 0;) data()[i].~T();
    size_ = 0;
  }

 private:
  alignas(T) std::byte room_[N * sizeof(T)];
  size_type size_ = 0;
};

}  // namespace quarvel_storage
