#include "xml/loose_markup.hpp"

#include <cstring>

#include "xml/white_space.hpp"

namespace velmo::xml {

namespace {

constexpr std::size_t npos = std::string_view::npos;

constexpr bool ends_name(char c) { return is_space(c) || c == '/' || c == '>' || c == '<'; }

}  // namespace

std::size_t LooseMarkup::tag_end(std::size_t from) const {
    // Tags are short: a plain walk beats library calls here.
    const char* const base = doc_.data();
    const char* const end = base + doc_.size();
    char quote = 0;
    for (const char* p = base + from; p < end; ++p) {
        const char c = *p;
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '>') {
            return static_cast<std::size_t>(p - base);
        } else if (c == '"' || c == '\'') {
            quote = c;
        }
    }
    return npos;
}

bool LooseMarkup::next(LooseTag& tag) {
    const std::size_t size = doc_.size();
    while (pos_ < size) {
        // Text between tags is short too.
        std::size_t lt = pos_;
        while (lt < size && doc_[lt] != '<') ++lt;
        if (lt == size) break;
        const std::string_view rest = doc_.substr(lt);
        // Constructs that hold no tags: skipped whole, or the walk ends when one is left open.
        std::string_view closer;
        if (rest.starts_with("<!--")) closer = "-->";
        else if (rest.starts_with("<![CDATA[")) closer = "]]>";
        else if (rest.starts_with("<?")) closer = "?>";
        else if (rest.starts_with("<!")) closer = ">";
        if (!closer.empty()) {
            const std::size_t close = doc_.find(closer, lt + 2);
            if (close == npos) break;
            pos_ = close + closer.size();
            continue;
        }
        const bool is_end = rest.size() > 1 && rest[1] == '/';
        std::size_t i = lt + (is_end ? 2 : 1);
        const std::size_t name_begin = i;
        while (i < size && !ends_name(doc_[i])) ++i;
        if (i == name_begin || i == size) {
            // "<" not followed by a name is text.
            pos_ = lt + 1;
            continue;
        }
        const std::string_view name = doc_.substr(name_begin, i - name_begin);
        // The tag runs to the first ">" outside a quoted value.
        const std::size_t attrs_begin = i;
        i = tag_end(i);
        if (i == npos) break;
        const bool empty = !is_end && i > attrs_begin && doc_[i - 1] == '/';
        tag.kind = is_end ? EventKind::End : empty ? EventKind::Empty : EventKind::Start;
        tag.name = name;
        tag.local_name = local_name_of(name);
        tag.attrs = is_end ? std::string_view{} : doc_.substr(attrs_begin, i - attrs_begin - (empty ? 1 : 0));
        tag.begin = lt;
        tag.end = i + 1;
        pos_ = i + 1;
        return true;
    }
    pos_ = size;
    return false;
}

std::optional<std::string_view> loose_attr(std::string_view attrs, std::string_view name) {
    std::optional<std::string_view> value;
    loose_attrs(attrs, {&name, 1}, {&value, 1});
    return value;
}

void loose_attrs(std::string_view attrs, std::span<const std::string_view> names,
                 std::span<std::optional<std::string_view>> values) {
    Event ev;
    ev.kind = EventKind::Start;
    ev.attrs = attrs;
    ev.raw = attrs;
    AttrIter it(ev);
    Attribute a;
    for (;;) {
        auto more = it.next(a);
        if (!more || !*more) return;
        for (std::size_t i = 0; i < names.size() && i < values.size(); ++i)
            if (a.name == names[i] && !values[i]) values[i] = a.value;
    }
}

}  // namespace velmo::xml
