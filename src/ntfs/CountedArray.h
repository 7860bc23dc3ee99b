#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace lorvex::ntfs {

// A list whose array keeps room past its elements: the first size() elements
// are the list, and the ones after them are room that the next elements are
// written into before the array grows. A list refilled record after record
// (attributes, runs) so reuses what an element of the room holds, a string's
// memory say, instead of allocating it anew. Read like a standard container;
// the room never shows. The size is 32-bit, as the positions the lists are
// indexed by elsewhere are.
template <class T, class Allocator = std::allocator<T>> class CountedArray {
  public:
    [[nodiscard]] std::int32_t size() const { return count_; }
    [[nodiscard]] bool empty() const { return count_ == 0; }
    // Unchecked: `index` is below size().
    const T& operator[](std::size_t index) const { return items_[index]; }
    [[nodiscard]] std::span<const T> items() const {
        return {items_.data(), static_cast<std::size_t>(count_)};
    }
    [[nodiscard]] const T* begin() const { return items_.data(); }
    [[nodiscard]] const T* end() const { return items_.data() + count_; }

  protected:
    // The element after the list, the array grown by `step` elements when
    // there is none; it holds what was there before.
    T& Room(std::size_t step) {
        if (items_.size() <= static_cast<std::size_t>(count_)) {
            items_.resize(items_.size() + step);
        }
        return items_[static_cast<std::size_t>(count_)];
    }
    // The same element, counted into the list.
    T& Grow(std::size_t step) {
        T& element = Room(step);
        ++count_;
        return element;
    }

    std::vector<T, Allocator> items_;
    std::int32_t count_ = 0;
};

} // namespace lorvex::ntfs
