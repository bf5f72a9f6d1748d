#pragma once
#include <memory>
#include <optional>
#include <string>

#include "model/coords.hpp"

namespace velmo {

struct Comment {
    std::string text;
    std::string author;  // empty when the comment names no known author
    // The cell it was read on: a save finds the note's own box in the source's legacy drawing
    // under that position. None for a comment made through the API, which gets the standard box.
    std::optional<coords::CellPos> loaded_at{};
    // A loaded note's `text` element as the source wrote it, when it has runs of its own formatting
    // or a phonetic reading: written back in place of `text` while the text and author are the
    // ones it was read with. `text` is its plain text.
    std::shared_ptr<const std::string> rich_text{};
    bool operator==(const Comment&) const = default;
};

}  // namespace velmo
