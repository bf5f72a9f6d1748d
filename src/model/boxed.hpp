#pragma once
// An optional value held on the heap: a pointer's size while empty, copied deeply. For the rarely
// set members of a structure whose size every instance pays.

#include <memory>
#include <optional>
#include <utility>

namespace velmo {

template <class T>
class Boxed {
public:
    Boxed() = default;
    Boxed(const Boxed& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
    Boxed(Boxed&&) noexcept = default;
    Boxed& operator=(const Boxed& o) {
        if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
        return *this;
    }
    Boxed& operator=(Boxed&&) noexcept = default;
    Boxed& operator=(T v) {
        if (p_) *p_ = std::move(v);
        else p_ = std::make_unique<T>(std::move(v));
        return *this;
    }
    Boxed& operator=(std::optional<T> v) {
        if (v) return *this = std::move(*v);
        p_.reset();
        return *this;
    }

    explicit operator bool() const noexcept { return p_ != nullptr; }
    T& operator*() noexcept { return *p_; }
    const T& operator*() const noexcept { return *p_; }
    T* operator->() noexcept { return p_.get(); }
    const T* operator->() const noexcept { return p_.get(); }
    void reset() noexcept { p_.reset(); }

private:
    std::unique_ptr<T> p_;
};

}  // namespace velmo
