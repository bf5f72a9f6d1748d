#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "model/coords.hpp"

namespace velmo {

// Bytes kept as a source wrote them: a slice of a buffer that many records share (the notes of one
// comments part share the part), so that keeping them costs no allocation of its own.
struct KeptBytes {
    std::shared_ptr<const std::string> buffer;
    std::size_t offset = 0;
    std::size_t size = 0;

    // Bytes of their own.
    static KeptBytes owning(std::string bytes) {
        const std::size_t n = bytes.size();
        return {std::make_shared<const std::string>(std::move(bytes)), 0, n};
    }
    explicit operator bool() const { return buffer != nullptr; }
    std::string_view view() const { return buffer ? std::string_view(*buffer).substr(offset, size) : std::string_view(); }
    bool operator==(const KeptBytes& o) const { return !buffer == !o.buffer && view() == o.view(); }
};

struct Comment {
    std::string text;
    std::string author;  // empty when the comment names no known author
    // The cell it was read on: a save finds the note's own box in the source's legacy drawing
    // under that position. None for a comment made through the API, which gets the standard box.
    std::optional<coords::CellPos> loaded_at{};
    // A loaded note's `text` element as the source wrote it, when it has runs of its own formatting
    // or a phonetic reading: written back in place of `text` while the text and author are the
    // ones it was read with. `text` is its plain text.
    KeptBytes rich_text{};
    bool operator==(const Comment&) const = default;
};

}  // namespace velmo
