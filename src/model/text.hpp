#pragma once
// The text of a String value. Immutable: a copy shares the characters, so a text read once from the
// shared strings costs its cells a reference each, not a copy each. A short text is held inside the
// object and costs nothing more.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace velmo {

class Text {
public:
    // Texts up to this many bytes are held inside the object.
    static constexpr size_t kInline = 30;
    // Past this many bytes a text costs more to copy or hash than to track by identity(): a values
    // read holds it rather than copying it, a save finds its index by where it is held.
    static constexpr size_t kLong = 256;

    Text() noexcept { bytes_[kTag] = 0; }
    Text(std::string_view s) { assign(s); }
    Text(const std::string& s) : Text(std::string_view(s)) {}
    Text(const char* s) : Text(std::string_view(s)) {}
    Text(const Text& o) noexcept {
        std::memcpy(bytes_, o.bytes_, sizeof bytes_);
        if (shared()) block()->refs.fetch_add(1, std::memory_order_relaxed);
    }
    Text(Text&& o) noexcept {
        std::memcpy(bytes_, o.bytes_, sizeof bytes_);
        o.bytes_[kTag] = 0;
    }
    Text& operator=(const Text& o) noexcept {
        if (this != &o) {
            Text copy(o);
            swap(copy);
        }
        return *this;
    }
    Text& operator=(Text&& o) noexcept {
        if (this != &o) {
            Text moved(std::move(o));
            swap(moved);
        }
        return *this;
    }
    ~Text() {
        if (shared()) release();
    }
    // A copy, for a reader filling a workbook that no other thread can reach yet: the count is raised
    // without the locked instruction a copy otherwise takes, which would stall the reader at every
    // cell that reads a long shared string.
    Text copy_unpublished() const {
        Text t;
        std::memcpy(t.bytes_, bytes_, sizeof bytes_);
        if (shared()) {
            std::atomic<uint64_t>& refs = block()->refs;
            refs.store(refs.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
        return t;
    }

    const char* data() const { return shared() ? block()->chars() : reinterpret_cast<const char*>(bytes_); }
    size_t size() const { return shared() ? shared_size() : bytes_[kTag]; }
    bool empty() const { return size() == 0; }
    std::string_view view() const {
        if (shared()) return {block()->chars(), shared_size()};
        return {reinterpret_cast<const char*>(bytes_), bytes_[kTag]};
    }
    operator std::string_view() const { return view(); }
    std::string str() const { return std::string(view()); }

    // Whether the two hold one and the same characters, not just equal ones: true only for copies of
    // one text held outside the object.
    bool same_characters(const Text& o) const { return shared() && o.shared() && block() == o.block(); }
    // The characters' place while this text, or a copy of it, lives: an identity of texts held outside
    // the object (null for a short text, which every copy holds itself).
    const void* identity() const { return shared() ? static_cast<const void*>(block()) : nullptr; }
    bool is_long() const { return size() > kLong; }

    void swap(Text& o) noexcept {
        unsigned char tmp[sizeof bytes_];
        std::memcpy(tmp, bytes_, sizeof bytes_);
        std::memcpy(bytes_, o.bytes_, sizeof bytes_);
        std::memcpy(o.bytes_, tmp, sizeof bytes_);
    }

    friend bool operator==(const Text& a, const Text& b) { return a.same_characters(b) || a.view() == b.view(); }
    friend bool operator==(const Text& a, std::string_view b) { return a.view() == b; }
    friend bool operator==(const Text& a, const std::string& b) { return a.view() == b; }
    friend bool operator==(const Text& a, const char* b) { return a.view() == b; }
    template <class Os>
    friend auto& operator<<(Os& os, const Text& t)
        requires requires { os << std::string_view(); }
    {
        return os << t.view();
    }

private:
    // The characters of a longer text follow the count of the texts that hold them.
    struct Block {
        std::atomic<uint64_t> refs;
        const char* chars() const { return reinterpret_cast<const char*>(this + 1); }
        char* chars() { return reinterpret_cast<char*>(this + 1); }
    };
    static constexpr size_t kTag = 31;          // the byte that tells which: a length up to kInline, or kShared
    static constexpr unsigned char kShared = 0xFF;

    bool shared() const { return bytes_[kTag] == kShared; }
    Block* block() const {
        Block* b;
        std::memcpy(&b, bytes_, sizeof b);
        return b;
    }
    size_t shared_size() const {
        size_t n;
        std::memcpy(&n, bytes_ + sizeof(Block*), sizeof n);
        return n;
    }
    void assign(std::string_view s);
    void release() noexcept;

    alignas(8) unsigned char bytes_[32];
};

static_assert(sizeof(Text) == 32);

}  // namespace velmo
