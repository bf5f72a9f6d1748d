#pragma once
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
    bool operator==(const Comment&) const = default;
};

}  // namespace velmo
