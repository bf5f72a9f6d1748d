#pragma once
// The package's "[Content_Types].xml" as a save patches it: its Default extensions and where each
// Override lies. Read at load as well, so that a workbook whose content types a save could not
// patch is refused there, rather than loaded and then refused by every save.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "model/error.hpp"

namespace velmo::reader {

inline constexpr std::string_view kContentTypesPart = "[Content_Types].xml";

// An Override element: where it lies in the text, what it names and declares it to be.
struct ContentTypeOverride {
    size_t begin = 0;
    size_t end = 0;
    std::optional<std::string> part_name;
    std::optional<std::string> content_type;
};

struct ContentTypes {
    std::unordered_set<std::string> default_extensions;  // as part names compare them
    std::vector<ContentTypeOverride> overrides;           // in document order
    size_t root_end = 0;                                  // where "</Types>" starts
    std::string prefix;  // the root's, with its colon ("ct:"); what a save adds is written with it
};

// The content types in `text`, which must be a UTF-8 document whose root is a Types element with
// an end tag. Errors name the part: Xml for what is no UTF-8 XML document, Zip for another root or
// one without an end tag, Io for text that is not UTF-8 where the tokenizer does not look.
Result<ContentTypes> read_content_types(std::string_view text);

}  // namespace velmo::reader
