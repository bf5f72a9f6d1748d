#include "xml/loose_markup.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "xml/white_space.hpp"

namespace velmo::xml {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Bytes that end a tag's name, and bytes that matter while looking for the end of a tag.
constexpr auto kEndsName = [] {
    std::array<bool, 256> t{};
    for (const unsigned char c : {' ', '\t', '\n', '\r', '/', '>', '<'}) t[c] = true;
    return t;
}();
constexpr auto kInTag = [] {
    std::array<bool, 256> t{};
    for (const unsigned char c : {'>', '"', '\''}) t[c] = true;
    return t;
}();

constexpr bool ends_name(char c) { return kEndsName[static_cast<unsigned char>(c)]; }

}  // namespace

std::size_t LooseMarkup::tag_end(std::size_t from) const {
    // Tags are short: a plain walk beats library calls, except across a quoted value.
    const char* const base = doc_.data();
    const char* const end = base + doc_.size();
    for (const char* p = base + from; p < end; ++p) {
        if (!kInTag[static_cast<unsigned char>(*p)]) continue;
        if (*p == '>') return static_cast<std::size_t>(p - base);
        p = static_cast<const char*>(std::memchr(p + 1, *p, static_cast<std::size_t>(end - p - 1)));
        if (!p) return npos;
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
        if (rest.size() > 1 && (rest[1] == '!' || rest[1] == '?')) {
            if (rest.starts_with("<!--")) closer = "-->";
            else if (rest.starts_with("<![CDATA[")) closer = "]]>";
            else if (rest[1] == '?') closer = "?>";
            else closer = ">";
        }
        if (!closer.empty()) {
            const std::size_t close = doc_.find(closer, lt + 2);
            if (close == npos) break;
            pos_ = close + closer.size();
            continue;
        }
        const bool is_end = rest.size() > 1 && rest[1] == '/';
        std::size_t i = lt + (is_end ? 2 : 1);
        const std::size_t name_begin = i;
        std::size_t colon = 0;
        for (; i < size && !ends_name(doc_[i]); ++i)
            if (doc_[i] == ':' && !colon) colon = i;
        if (i == name_begin || i == size) {
            // "<" not followed by a name is text.
            pos_ = lt + 1;
            continue;
        }
        const std::string_view name = doc_.substr(name_begin, i - name_begin);
        const std::size_t i_name_end = i;
        // The tag runs to the first ">" outside a quoted value.
        const std::size_t attrs_begin = i;
        i = tag_end(i);
        if (i == npos) break;
        const bool empty = !is_end && i > attrs_begin && doc_[i - 1] == '/';
        tag.kind = is_end ? EventKind::End : empty ? EventKind::Empty : EventKind::Start;
        tag.name = name;
        tag.local_name = colon ? doc_.substr(colon + 1, i_name_end - colon - 1) : name;
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
    const std::size_t wanted = std::min(names.size(), values.size());
    std::size_t found = 0;
    while (found < wanted) {
        auto more = it.next(a);
        if (!more || !*more) return;
        for (std::size_t i = 0; i < wanted; ++i) {
            if (a.name == names[i] && !values[i]) {
                values[i] = a.value;
                ++found;
            }
        }
    }
}

}  // namespace velmo::xml
