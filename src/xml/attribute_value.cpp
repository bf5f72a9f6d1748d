#include "xml/attribute_value.hpp"

#include "xml/tokenizer.hpp"

namespace velmo::xml {

Result<std::string_view> decode_attribute(std::string_view raw, std::string& scratch, std::size_t offset) {
    if (raw.find_first_of("\t\n\r") == std::string_view::npos) return decode(raw, scratch, offset);
    // References hold no white space, so spacing the literal characters first leaves them alone.
    std::string spaced;
    spaced.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ++i;
        spaced.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : c);
    }
    auto value = decode(spaced, scratch, offset);
    if (!value) return value;
    if (value->data() != spaced.data()) return value;
    scratch = std::move(spaced);
    return std::string_view(scratch);
}

}  // namespace velmo::xml
