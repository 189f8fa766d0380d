// Heap blocks, each with one owner that frees it. Running out of memory
// ends a run with a message that says what the memory was for, so nothing
// here throws: a block that cannot be had is null, and the caller writes
// the message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>

template <typename T>
using owned = std::unique_ptr<T[]>;

// Room for n items of T (plain numbers are left unset, zeroed when zeroed
// is set), or null when it cannot be had or n items cannot be counted.
template <typename T>
owned<T> allocate(std::size_t n, bool zeroed = false) {
  if (n > SIZE_MAX / 2 / sizeof(T))
    return nullptr;
  const std::size_t count = n > 0 ? n : 1;
  return owned<T>(zeroed ? new (std::nothrow) T[count]()
                         : new (std::nothrow) T[count]);
}

// One object of T, default-initialised (plain numbers without an
// initialiser are left unset, and their pages untouched), or null.
template <typename T>
std::unique_ptr<T> create() {
  return std::unique_ptr<T>(new (std::nothrow) T);
}

// Makes room for at least need items in *items, which holds cap of them
// with the first used set, doubling its size. False when the memory
// cannot be had; *items is then unchanged.
template <typename T>
bool growto(owned<T>* items, std::size_t* cap, std::size_t need,
            std::size_t used) {
  static_assert(std::is_trivially_copyable_v<T>);
  if (need <= *cap)
    return true;
  std::size_t more = *cap < 512 ? 1024 : 2 * *cap;
  if (more < need)
    more = need;
  owned<T> moved = allocate<T>(more);
  if (!moved)
    return false;
  if (used > 0)
    std::memcpy(moved.get(), items->get(), used * sizeof(T));
  *items = std::move(moved);
  *cap = more;
  return true;
}
