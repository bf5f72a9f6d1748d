#pragma once
// The tags of markup that need not be well-formed XML: the VML a desktop application writes for
// legacy drawings leaves HTML's <br> open inside text boxes, may lack a declaration, and may end
// elements it never started. Nothing here fails: a tag that cannot be read as one is taken as
// text, and a construct left open at the end of the input ends the walk. End tags are not matched
// against start tags; that is the reader's affair.

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "xml/tokenizer.hpp"

namespace velmo::xml {

struct LooseTag {
    EventKind kind = EventKind::Eof;  // Start, Empty or End
    std::string_view name;            // qualified, as written
    std::string_view local_name;      // after the first ":"
    std::string_view attrs;           // Start, Empty: between the name and ">" or "/>", still escaped
    std::size_t begin = 0;            // offset of "<"
    std::size_t end = 0;              // one past ">"
};

class LooseMarkup {
public:
    explicit LooseMarkup(std::string_view doc) : doc_(doc) {}
    // The next tag; comments, CDATA, processing instructions and declarations are skipped. False
    // at the end of the input.
    bool next(LooseTag& tag);

private:
    // The offset of the ">" that ends a tag whose attributes start at `from`, quoted values
    // skipped; npos when there is none.
    std::size_t tag_end(std::size_t from) const;

    std::string_view doc_;
    std::size_t pos_ = 0;
};

// The value of the first attribute of `attrs` named exactly `name`, as written (still escaped);
// none when absent or when the attributes before it cannot be read.
std::optional<std::string_view> loose_attr(std::string_view attrs, std::string_view name);

// The same for several names in one walk, which stops once each is found: values[i] receives the
// value of names[i].
void loose_attrs(std::string_view attrs, std::span<const std::string_view> names,
                 std::span<std::optional<std::string_view>> values);

}  // namespace velmo::xml
