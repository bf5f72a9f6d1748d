#pragma once
#include <string>

namespace velmo {

struct Comment {
    std::string text;
    std::string author;  // empty when the comment names no known author
    bool operator==(const Comment&) const = default;
};

}  // namespace velmo
