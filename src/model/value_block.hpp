#pragma once
// The values of a rectangle, copied out of a worksheet so that they can be turned into something else
// after the worksheet's lock is released. Compact: 16 bytes a value, and the texts of a band of lines
// in one buffer, but for long texts, which the band shares with their cells (a text read by many
// cells is not copied many times). Held in bands of whole lines, so that a reader can drop each band
// once it has used it and the copy never sits beside a whole second form of the same values.

#include <bit>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/text.hpp"
#include "model/value.hpp"

namespace velmo {

// One value. The low byte of `head` is the kind; the payload is in the rest of `head` and in `body`.
// All bits zero is Empty. A text's payload is its size and one bit that tells where it is: at an
// offset in the band's buffer, or at the address of a text the band holds.
class PackedValue {
public:
    // A formula is text that starts with "=", as a reader shows it; a text may start with one too.
    enum class Kind : uint8_t { Empty, Text, Number, Bool, Date, DateTime, Time, Duration };

    PackedValue() = default;
    // `v` packed; its text (a formula's with "=" before it) is appended to `texts`, but a long text is
    // not copied: `held` keeps it alive and the packed value points at it. Inline: it runs for every
    // value of a read.
    [[gnu::always_inline]] static PackedValue pack(const Value& v, std::string& texts, std::vector<Text>& held) {
        // Numbers, most of a sheet, before the others.
        if (const double* d = std::get_if<double>(&v)) [[likely]] return {Kind::Number, 0, std::bit_cast<uint64_t>(*d)};
        switch (kind_of(v)) {
            case ValueKind::Empty:
            case ValueKind::Number: return {};
            case ValueKind::String: {
                const Text& s = std::get<Text>(v);
                const std::string_view t = s.view();
                if (t.size() > Text::kLong) [[unlikely]] return hold(held, s);
                return {Kind::Text, t.size() << 1, append_text(texts, false, t)};
            }
            case ValueKind::Formula: {
                const auto& f = std::get<Formula>(v).text;
                return {Kind::Text, (f.size() + 1) << 1, append_text(texts, true, f)};
            }
            case ValueKind::Bool: return {Kind::Bool, std::get<bool>(v), 0};
            case ValueKind::Date: return {Kind::Date, key_of(std::get<velmo::Date>(v)), 0};
            case ValueKind::DateTime: {
                const auto& dt = std::get<velmo::DateTime>(v);
                return {Kind::DateTime, key_of(dt.date), bits_of(dt.time)};
            }
            case ValueKind::Time: return {Kind::Time, 0, bits_of(std::get<TimeOfDay>(v))};
            case ValueKind::Duration: {
                const auto& d = std::get<velmo::Duration>(v);
                return {Kind::Duration, d.nanos, static_cast<uint64_t>(d.secs)};
            }
        }
        return {};
    }

    Kind kind() const { return static_cast<Kind>(head_ & 0xff); }
    double number() const { return std::bit_cast<double>(body_); }
    bool boolean() const { return (head_ >> 8) != 0; }
    // A date as one number: equal for equal dates, so it can key a cache.
    uint32_t date_key() const { return static_cast<uint32_t>(head_ >> 8); }
    static velmo::Date date_of_key(uint32_t key) {
        return velmo::Date{std::chrono::year(static_cast<int>(key >> 16) - kYearOffset),
                           std::chrono::month((key >> 8) & 0xff), std::chrono::day(key & 0xff)};
    }
    velmo::Date date() const { return date_of_key(date_key()); }
    velmo::DateTime date_time() const { return {date(), time()}; }
    TimeOfDay time() const { return {static_cast<uint32_t>(body_ >> 32), static_cast<uint32_t>(body_)}; }
    velmo::Duration duration() const { return {static_cast<int64_t>(body_), static_cast<uint32_t>(head_ >> 8)}; }
    // The text within the buffer of the band the value belongs to, or the text the band holds.
    std::string_view text(const std::string& texts) const {
        const uint64_t size = head_ >> 9;
        if (held_text()) return {reinterpret_cast<const char*>(body_), size};
        return std::string_view(texts).substr(body_, size);
    }
    // Whether the text is one the band holds (shared with the cells it came from): equal pointers
    // then mean one and the same text.
    bool held_text() const { return (head_ >> 8) & 1; }
    const char* held_chars() const { return reinterpret_cast<const char*>(body_); }

private:
    // Years run from -32767 to 32767: offset, they fill the top 16 bits of a date's key without a sign.
    static constexpr int kYearOffset = 32768;
    static uint64_t key_of(const velmo::Date& d) {
        return static_cast<uint64_t>(int(d.year()) + kYearOffset) << 16 | uint64_t{unsigned(d.month())} << 8 |
               unsigned(d.day());
    }
    static uint64_t bits_of(const TimeOfDay& t) { return uint64_t{t.secs} << 32 | t.nanos; }
    // Appends the text (after "=" for a formula) and gives where it starts.
    [[gnu::noinline]] static uint64_t append_text(std::string& texts, bool formula, std::string_view text);
    // A long text: kept alive by `held` (once for a run of the same text).
    [[gnu::noinline]] static PackedValue hold(std::vector<Text>& held, const Text& text);
    PackedValue(Kind kind, uint64_t payload, uint64_t body)
        : head_(static_cast<uint64_t>(kind) | payload << 8), body_(body) {}

    uint64_t head_ = 0;
    uint64_t body_ = 0;
};

// Heap memory of a band's size may stay with the process once freed; a band's values are mapped from
// the system instead, so that they go back to it when released: a reader that releases each band as
// it goes holds at most one band beside what it makes of them.
struct BandRelease {
    size_t count = 0;
    void operator()(PackedValue* values) const;
};
using BandValues = std::unique_ptr<PackedValue[], BandRelease>;
// `count` values, all Empty.
BandValues band_values(size_t count);

// Whole lines of values: `lines` lines of the block's width, line after line, and their texts.
struct ValueBand {
    uint64_t lines = 0;
    BandValues values;
    std::string texts;
    std::vector<Text> held;  // the texts the values point at instead of copying them into `texts`
    // Gives the band's memory back; it holds no lines afterwards.
    void release() {
        lines = 0;
        values.reset();
        std::string().swap(texts);
        std::vector<Text>().swap(held);
    }
};

// `lines` lines (rows for a read by rows, columns for a read by columns) of `width` values each.
class ValueBlock {
public:
    ValueBlock() = default;
    // All Empty. A band holds as many lines as fit in about 64K values (at least one), a power of two.
    ValueBlock(uint64_t lines, uint64_t width);

    uint64_t lines() const { return lines_; }
    uint64_t width() const { return width_; }
    std::vector<ValueBand>& bands() { return bands_; }
    const std::vector<ValueBand>& bands() const { return bands_; }

    // Stores copies of values into their places, each place once. Holds what it needs in its own
    // fields, so that the stores of a long walk do not reload them.
    class Filler {
    public:
        explicit Filler(ValueBlock& block)
            : bands_(block.bands_.data()), width_(block.width_), shift_(block.shift_),
              mask_((uint64_t{1} << block.shift_) - 1) {}
        [[gnu::always_inline]] void set(uint64_t line, uint64_t i, const Value& v) const {
            ValueBand& band = bands_[line >> shift_];
            band.values[(line & mask_) * width_ + i] = PackedValue::pack(v, band.texts, band.held);
        }

    private:
        ValueBand* bands_;
        uint64_t width_;
        unsigned shift_;
        uint64_t mask_;
    };

private:
    uint64_t lines_ = 0;
    uint64_t width_ = 0;
    unsigned shift_ = 0;  // log2 of the lines of a band
    std::vector<ValueBand> bands_;
};

}  // namespace velmo
