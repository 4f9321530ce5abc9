// SPDX-License-Identifier: GPL-3.0-or-later
// A vector that grows without zeroing what it adds, for buffers whose every element is written before
// it is read (samples, bytes read from a socket): the zeroing would be a pass over the memory as
// costly as the copy that follows it.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace base {

template <class T>
struct UninitializedAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        if constexpr (sizeof...(Args) == 0)
            ::new (static_cast<void*>(p)) U;
        else
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using UninitializedVector = std::vector<T, UninitializedAllocator<T>>;

}  // namespace base
