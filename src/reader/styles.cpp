#include "reader/styles.hpp"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>

#include "reader/alternate_content.hpp"
#include "reader/ignorable.hpp"
#include "reader/kept_xml.hpp"
#include "reader/namespaces.hpp"
#include "xml/number_parse.hpp"

namespace velmo::reader {

namespace {

using xml::Event;
using xml::EventKind;
using Role = PartWalk::Role;

// The smallest numFmt element takes well over 16 bytes; no count from the file reserves more.
constexpr std::size_t kMinNumFmtBytes = 16;

// What every font read starts from.
const Font kReadFont = [] {
    Font f;
    f.loaded = true;
    return f;
}();

Result<std::optional<std::string>> attr(const Event& ev, std::string_view name) { return xml::attr_string(ev, name); }

// A `b`, `i` or `strike` flag: set unless its `val` says false.
Result<bool> flag_value(const Event& ev) {
    std::string scratch;
    auto val = xml::attr_value(ev, "val", scratch);
    if (!val) return fail(val.error());
    if (!*val) return true;
    return !(**val == "0" || **val == "false");
}

// The elements of the styles part the model carries as XML, and where each one goes.
enum class Target : uint8_t {
    Border, XfChild, Dxf, FontChild, Gradient, CellStyleXfs, CellStyles, TableStyles, Colors, ExtLst
};

std::optional<Target> block_target(std::string_view local) {
    if (local == "cellStyleXfs") return Target::CellStyleXfs;
    if (local == "cellStyles") return Target::CellStyles;
    if (local == "tableStyles") return Target::TableStyles;
    if (local == "colors") return Target::Colors;
    if (local == "extLst") return Target::ExtLst;
    return std::nullopt;
}

// One element being kept as XML, fed every event from its start tag to its end tag. One that
// cannot be kept (a prefix bound nowhere, a bad escape, invalid UTF-8) yields nothing: the
// element is left out, as before the model carried it, and the load goes on.
class Capture {
public:
    explicit Capture(const NamespaceScope& scope) : xml_(scope, "the styles part") {}

    bool active() const { return level_ > 0; }
    Target target() const { return target_; }

    void start(Target target) { target_ = target; }
    // A tag inside the element, or its own; true when a self-closing tag ends the element.
    bool open(const xml::Event& ev, bool empty) {
        if (!broken_ && !xml_.open(ev, empty, kNoHost)) broken_ = true;
        if (empty) return level_ == 0;
        ++level_;
        return false;
    }
    // An end tag; true when it ends the element.
    bool close() {
        if (!broken_) xml_.close();
        return --level_ == 0;
    }
    void text(const xml::Event& ev) {
        if (!broken_ && !xml_.text(ev)) broken_ = true;
    }
    // The finished element's XML; none when it could not be kept.
    std::optional<std::string> take() {
        std::string xml;
        if (!take_into(xml)) return std::nullopt;
        return xml;
    }
    // The same appended to `out`; false, appending nothing, when it could not be kept.
    bool take_into(std::string& out) {
        const bool broken = std::exchange(broken_, false);
        if (broken || !xml_.take_into(out)) {
            xml_.reset();
            return false;
        }
        return true;
    }

private:
    static inline const HostAttributes kNoHost{};
    KeptXml xml_;
    size_t level_ = 0;
    bool broken_ = false;
    Target target_ = Target::Border;
};

class StylesParser {
public:
    // A part cut short keeps the records closed before the cut.
    explicit StylesParser(std::string_view doc)
        : tok_(doc, xml::TokenizerOptions{.allow_unclosed_at_eof = true}), doc_size_(doc.size()) {}

    Result<StyleSheet> run() {
        out_.xf_children.emplace_back();
        Event ev;
        while (walk_.next(ev)) {
            // Records are read from the branch taken alone, while an element kept whole keeps
            // every branch as it stands: a wrapper, and all a branch not taken holds, start
            // nothing and are read for nothing.
            const bool content = walk_.role() == Role::Content;
            Result<void> r;
            switch (ev.kind) {
            case EventKind::Start:
            case EventKind::Empty: {
                const bool empty = ev.kind == EventKind::Empty;
                if (!empty && tok_.depth() == 1) out_.blocks.ignorable = ignorable_namespaces(ev, walk_.ns());
                keep_open(ev, empty, content);
                if (content) r = empty ? on_empty(ev) : on_start(ev);
                break;
            }
            case EventKind::End:
                keep_close();
                if (content) on_end(ev.local_name);
                break;
            case EventKind::Text:
            case EventKind::CData:
                for (Capture* c : {&block_, &dxf_, &part_})
                    if (c->active()) c->text(ev);
                break;
            default: break;
            }
            if (!r) return fail(r.error());
        }
        if (!tok_.ok()) return fail(tok_.error());
        return std::move(out_);
    }

private:
    // The depth of the element of the last tag seen, the wrappers of alternatives left out.
    size_t depth() const { return walk_.level(); }

    // The part-level element a tag starts keeping, if any: a border of the list, an alignment or
    // protection of a cell format, a font child the model does not interpret, a fill's gradient.
    std::optional<Target> part_target(const Event& ev) const {
        const auto n = ev.local_name;
        const size_t depth = this->depth();
        if ((in_font_ || in_dxf_font_) && depth == font_depth_ + 1 && !is_font_field(n)) return Target::FontChild;
        if ((in_fill_ || in_dxf_fill_) && depth == fill_depth_ + 1 && n == "gradientFill") return Target::Gradient;
        if (n == "border" && in_borders_) return Target::Border;
        if (xf_depth_ && depth == xf_depth_ + 1 && (n == "alignment" || n == "protection")) return Target::XfChild;
        return std::nullopt;
    }

    // Feeds a tag to the capture `c`; while it keeps nothing, a tag that `starts` and for which
    // `target` names a kind starts an element of that kind.
    void feed(Capture& c, const Event& ev, bool empty, bool starts, auto target) {
        if (!c.active()) {
            if (!starts) return;
            const std::optional<Target> t = target();
            if (!t) return;
            c.start(*t);
        }
        if (c.open(ev, empty)) finish(c);
    }

    // A tag goes into the elements being kept; one passed over starts none.
    void keep_open(const Event& ev, bool empty, bool starts) {
        feed(block_, ev, empty, starts, [&] { return depth() == 2 ? block_target(ev.local_name) : std::nullopt; });
        // Read before the tag itself: a `dxf` of the list is not open yet.
        feed(dxf_, ev, empty, starts, [&] {
            return in_dxfs_ && !in_dxf_ && ev.local_name == "dxf" ? std::optional(Target::Dxf) : std::nullopt;
        });
        feed(part_, ev, empty, starts, [&] { return part_target(ev); });
    }

    void keep_close() {
        for (Capture* c : {&block_, &dxf_, &part_})
            if (c->active() && c->close()) finish(*c);
    }

    void finish(Capture& c) {
        switch (c.target()) {
        case Target::Border: {
            // Every border keeps its position; one that cannot be kept draws nothing.
            auto xml = c.take();
            out_.borders.push_back(xml ? std::move(*xml) : std::string("<border/>"));
            return;
        }
        // The children of one record gather into one text.
        case Target::XfChild: c.take_into(xf_children_); return;
        case Target::FontChild:
            // A font nested inside the kept element may have closed the one it belonged to.
            if (Font* font = open_font()) c.take_into(font->children_xml);
            else c.take();
            return;
        default: break;
        }
        // The others replace an earlier one of their kind.
        if (auto xml = c.take()) *slot(c.target()) = std::move(*xml);
    }

    std::string* slot(Target t) {
        switch (t) {
        case Target::Dxf: return &pending_xml_;
        case Target::Gradient: return &open_fill().gradient_xml;
        case Target::CellStyleXfs: return &out_.blocks.cell_style_xfs;
        case Target::CellStyles: return &out_.blocks.cell_styles;
        case Target::TableStyles: return &out_.blocks.table_styles;
        case Target::Colors: return &out_.blocks.colors;
        default: return &out_.blocks.ext_lst;
        }
    }

    // The position of a cell format's alignment and protection among the distinct ones.
    uint32_t intern_xf_children() {
        if (xf_children_.empty()) return 0;
        auto [it, added] = xf_children_index_.try_emplace(xf_children_, static_cast<uint32_t>(out_.xf_children.size()));
        if (added) out_.xf_children.push_back(xf_children_);
        xf_children_.clear();
        return it->second;
    }

    // The font that font children apply to, if any is open.
    Font* open_font() {
        if (in_font_) return &font_;
        if (in_dxf_font_) return &dxf_font_;
        return nullptr;
    }
    // The fill a gradient belongs to; one is open.
    Fill& open_fill() { return in_fill_ ? fill_ : dxf_fill_; }

    // The font children the model reads into fields of its own.
    static bool is_font_field(std::string_view n) {
        return n == "b" || n == "i" || n == "strike" || n == "sz" || n == "name" || n == "color";
    }

    Result<void> on_font_child(const Event& ev) {
        Font* f = open_font();
        if (!f) return {};
        const auto n = ev.local_name;
        if (n == "b" || n == "i" || n == "strike") {
            auto on = flag_value(ev);
            if (!on) return fail(on.error());
            (n == "b" ? f->bold : n == "i" ? f->italic : f->strike) = *on;
        } else if (n == "sz") {
            auto v = attr(ev, "val");
            if (!v) return fail(v.error());
            if (*v) f->size = xml::parse_f64(**v).value_or(0.0);
        } else if (n == "name") {
            auto v = attr(ev, "val");
            if (!v) return fail(v.error());
            if (*v) f->name = std::move(**v);
        } else if (n == "color") {
            auto c = parse_color(ev);
            if (!c) return fail(c.error());
            f->color = std::move(*c);
        }
        return {};
    }

    Result<void> set_pattern_type(Fill& fill, const Event& ev) {
        auto v = attr(ev, "patternType");
        if (!v) return fail(v.error());
        fill.pattern_type = *v ? std::move(**v) : std::string("none");
        return {};
    }

    Result<void> set_fill_color(Fill& fill, const Event& ev) {
        auto c = parse_color(ev);
        if (!c) return fail(c.error());
        (ev.local_name == "fgColor" ? fill.fg_color : fill.bg_color) = std::move(*c);
        return {};
    }

    Result<void> on_num_fmt(const Event& ev) {
        if (!in_num_fmts_) return {};
        auto id = attr(ev, "numFmtId");
        if (!id) return fail(id.error());
        auto code = attr(ev, "formatCode");
        if (!code) return fail(code.error());
        if (!*id || !*code) return {};
        auto n = xml::parse_u32(**id);
        if (n) out_.num_fmts[*n] = std::move(**code);
        return {};
    }

    Result<void> on_xf(const Event& ev) {
        if (!in_cell_xfs_) return {};
        CellXf xf;
        std::string scratch;
        xml::AttrIter it(ev);
        xml::Attribute a;
        uint32_t seen = 0;  // the first of two attributes of one name counts
        for (;;) {
            auto more = it.next(a);
            if (!more) return fail(std::move(more.error()));
            if (!*more) break;
            const auto field = xf_field(a.name);
            if (!field || (seen & (1u << *field))) continue;
            seen |= 1u << *field;
            auto v = xml::decode(a.value, scratch, a.offset);
            if (!v) return fail(std::move(v.error()));
            if (*field < kXfIdFields) {
                uint32_t* ids[] = {&xf.font_id, &xf.fill_id, &xf.num_fmt_id, &xf.border_id, &xf.xf_id};
                *ids[*field] = xml::parse_u32(*v).value_or(0);
            } else if (*v == "1" || *v == "true" || *v == "0" || *v == "false") {
                xf.set_flag(static_cast<XfFlag>(*field - kXfIdFields), *v == "1" || *v == "true");
            }
        }
        out_.cell_xfs.push_back(xf);
        return {};
    }

    // Attributes of a cell format: its five ids, then the flags in XfFlag order.
    static constexpr uint32_t kXfIdFields = 5;
    static std::optional<uint32_t> xf_field(std::string_view name) {
        static constexpr std::string_view kIds[] = {"fontId", "fillId", "numFmtId", "borderId", "xfId"};
        for (uint32_t i = 0; i < kXfIdFields; ++i)
            if (name == kIds[i]) return i;
        for (uint32_t i = 0; i < std::size(kXfFlagNames); ++i)
            if (name == kXfFlagNames[i]) return kXfIdFields + i;
        return std::nullopt;
    }

    // Sizes a list in advance from its `count`, never for more memory than the part takes: a
    // count far above the records present costs nothing. One that does not read sizes nothing.
    template <class T>
    void reserve_by_count(std::vector<T>& list, const Event& ev) {
        std::string scratch;
        const auto count = xml::attr_value(ev, "count", scratch);
        if (!count || !*count) return;
        if (const auto n = xml::parse_u64(**count))
            list.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*n, doc_size_ / sizeof(T))));
    }

    Result<void> on_start(const Event& ev) {
        const auto n = ev.local_name;
        if (n == "numFmts") {
            in_num_fmts_ = true;
            auto c = attr(ev, "count");
            if (!c) return fail(c.error());
            if (*c) {
                if (auto count = xml::parse_u64(**c)) {
                    out_.num_fmts.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(*count, doc_size_ / kMinNumFmtBytes)));
                }
            }
            return {};
        }
        if (n == "numFmt") return on_num_fmt(ev);
        if (n == "fonts") { in_fonts_ = true; reserve_by_count(out_.fonts, ev); return {}; }
        if (n == "fills") { in_fills_ = true; reserve_by_count(out_.fills, ev); return {}; }
        if (n == "cellXfs") { in_cell_xfs_ = true; reserve_by_count(out_.cell_xfs, ev); return {}; }
        if (n == "dxfs") {
            // Those of an extension list number their own formats and travel with it; read into
            // the main list too, they would be written there again at every save.
            if (!block_.active() || block_.target() != Target::ExtLst) in_dxfs_ = true;
            return {};
        }
        if (n == "borders") { in_borders_ = true; return {}; }
        if (n == "font") {
            if (in_fonts_) {
                font_ = kReadFont;
                in_font_ = true;
            } else if (in_dxf_ && nested_dxfs_ == 0) {
                dxf_font_ = kReadFont;
                in_dxf_font_ = true;
            }
            font_depth_ = depth();
            return {};
        }
        if (is_font_field(n)) return on_font_child(ev);
        if (n == "fill") {
            if (in_fills_) {
                fill_ = Fill{};
                in_fill_ = true;
            } else if (in_dxf_ && nested_dxfs_ == 0) {
                dxf_fill_ = Fill{};
                in_dxf_fill_ = true;
            }
            fill_depth_ = depth();
            return {};
        }
        if (n == "patternFill") {
            if (in_fill_) {
                in_pattern_fill_ = true;
                return set_pattern_type(fill_, ev);
            }
            if (in_dxf_fill_) {
                in_dxf_pattern_fill_ = true;
                return set_pattern_type(dxf_fill_, ev);
            }
            return {};
        }
        if (n == "fgColor" || n == "bgColor") {
            if (in_pattern_fill_) return set_fill_color(fill_, ev);
            if (in_dxf_pattern_fill_) return set_fill_color(dxf_fill_, ev);
            return {};
        }
        if (n == "xf") {
            if (in_cell_xfs_ && !xf_depth_) xf_depth_ = depth();
            return on_xf(ev);
        }
        if (n == "dxf") {
            // One inside a format's extension list belongs to the extension, kept with the format.
            if (in_dxf_) {
                ++nested_dxfs_;
            } else if (in_dxfs_) {
                pending_font_.reset();
                pending_fill_.reset();
                pending_xml_.clear();
                in_dxf_ = true;
            }
            return {};
        }
        return {};
    }

    Result<void> on_empty(const Event& ev) {
        const auto n = ev.local_name;
        if (n == "numFmt") return on_num_fmt(ev);
        if (n == "font") {
            if (in_fonts_) {
                out_.fonts.push_back(kReadFont);
            } else if (in_dxf_) {
                pending_font_ = kReadFont;
            }
            return {};
        }
        if (is_font_field(n)) return on_font_child(ev);
        if (n == "fill") {
            if (in_fills_) {
                out_.fills.emplace_back();
            } else if (in_dxf_) {
                pending_fill_ = Fill{};
            }
            return {};
        }
        if (n == "patternFill") {
            if (in_fill_) return set_pattern_type(fill_, ev);
            if (in_dxf_fill_) return set_pattern_type(dxf_fill_, ev);
            return {};
        }
        if (n == "fgColor" || n == "bgColor") {
            // A colour written straight inside the fill counts as well as one inside its patternFill.
            if (in_fill_) return set_fill_color(fill_, ev);
            if (in_dxf_pattern_fill_) return set_fill_color(dxf_fill_, ev);
            return {};
        }
        if (n == "xf") return on_xf(ev);
        if (n == "dxf") {
            if (in_dxfs_ && !in_dxf_) out_.dxfs.push_back(Dxf{std::nullopt, std::nullopt, std::exchange(pending_xml_, {})});
            return {};
        }
        return {};
    }

    void on_end(std::string_view n) {
        if (n == "numFmts") in_num_fmts_ = false;
        else if (n == "fonts") in_fonts_ = false;
        else if (n == "fills") in_fills_ = false;
        else if (n == "cellXfs") in_cell_xfs_ = false;
        else if (n == "dxfs") in_dxfs_ = false;
        else if (n == "borders") in_borders_ = false;
        else if (n == "xf") {
            if (xf_depth_ && depth() == xf_depth_) {
                if (!out_.cell_xfs.empty()) out_.cell_xfs.back().children = intern_xf_children();
                xf_depth_ = 0;
            }
        } else if (n == "font") {
            if (in_fonts_) {
                out_.fonts.push_back(std::move(font_));
                font_ = kReadFont;
                in_font_ = false;
            } else if (in_dxf_font_) {
                pending_font_ = std::move(dxf_font_);
                dxf_font_ = kReadFont;
                in_dxf_font_ = false;
            }
        } else if (n == "fill") {
            if (in_fills_) {
                out_.fills.push_back(std::move(fill_));
                fill_ = Fill{};
                in_fill_ = false;
                in_pattern_fill_ = false;
            } else if (in_dxf_fill_) {
                pending_fill_ = std::move(dxf_fill_);
                dxf_fill_ = Fill{};
                in_dxf_fill_ = false;
                in_dxf_pattern_fill_ = false;
            }
        } else if (n == "patternFill") {
            in_pattern_fill_ = false;
            in_dxf_pattern_fill_ = false;
        } else if (n == "dxf") {
            if (nested_dxfs_ > 0) {
                --nested_dxfs_;
            } else if (in_dxf_) {
                out_.dxfs.push_back(Dxf{std::move(pending_font_), std::move(pending_fill_), std::exchange(pending_xml_, {})});
                pending_font_.reset();
                pending_fill_.reset();
                in_dxf_ = false;
            }
        }
    }

    xml::Tokenizer tok_;
    std::size_t doc_size_;
    StyleSheet out_;
    PartWalk walk_{tok_, {.walk_dropped = true}};
    Capture block_{walk_.ns()};  // a top-level element carried whole
    Capture dxf_{walk_.ns()};    // a differential format of the list, carried whole
    Capture part_{walk_.ns()};   // a border, a child of a cell format or of a font, a gradient

    bool in_num_fmts_ = false, in_fonts_ = false, in_fills_ = false, in_cell_xfs_ = false, in_dxfs_ = false;
    bool in_font_ = false, in_fill_ = false, in_pattern_fill_ = false;
    bool in_dxf_ = false, in_dxf_font_ = false, in_dxf_fill_ = false, in_dxf_pattern_fill_ = false;
    size_t nested_dxfs_ = 0;  // open `dxf` elements inside the open one
    bool in_borders_ = false;
    size_t xf_depth_ = 0;   // depth of the open cell format of cellXfs; 0 when none is open
    size_t font_depth_ = 0;  // depth of the open font, of either kind
    size_t fill_depth_ = 0;  // depth of the open fill, of either kind

    Font font_, dxf_font_;
    Fill fill_, dxf_fill_;
    std::optional<Font> pending_font_;
    std::optional<Fill> pending_fill_;
    std::string pending_xml_;                     // the open differential format as written
    std::string xf_children_;                     // the open cell format's kept children
    std::unordered_map<std::string, uint32_t> xf_children_index_;
};

}  // namespace

// GCC 12 under the sanitizers reports moving an optional variant holding a string as possibly
// uninitialised (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<std::optional<Color>> parse_color(const xml::Event& ev) {
    std::optional<Color> color;
    auto rgb = xml::attr_string(ev, "rgb");
    if (!rgb) return fail(rgb.error());
    if (*rgb) {
        color.emplace(std::in_place_type<ColorArgb>, std::move(**rgb));
        return color;
    }

    std::string scratch;
    auto indexed = xml::attr_value(ev, "indexed", scratch);
    if (!indexed) return fail(indexed.error());
    if (*indexed) {
        if (auto n = xml::parse_u32(**indexed)) {
            color.emplace(std::in_place_type<ColorIndexed>, *n);
            return color;
        }
    }

    auto theme = xml::attr_value(ev, "theme", scratch);
    if (!theme) return fail(theme.error());
    if (!*theme) return color;
    auto t = xml::parse_u32(**theme);
    if (!t) return color;

    auto tint = xml::attr_value(ev, "tint", scratch);
    if (!tint) return fail(tint.error());
    color.emplace(std::in_place_type<ColorTheme>, *t, *tint ? xml::parse_f64(**tint) : std::nullopt);
    return color;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

Result<StyleSheet> parse_styles(std::string_view doc) { return StylesParser(doc).run(); }

}  // namespace velmo::reader
