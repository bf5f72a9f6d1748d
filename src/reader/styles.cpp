#include "reader/styles.hpp"

#include <algorithm>
#include <string>

#include "reader/xml/numbers.hpp"

namespace velmo::reader {

namespace {

using xml::Event;
using xml::EventKind;

// The smallest numFmt element takes well over 16 bytes; no count from the file reserves more.
constexpr std::size_t kMinNumFmtBytes = 16;

Result<std::optional<std::string>> attr(const Event& ev, std::string_view name) { return xml::attr_string(ev, name); }

// A `b`, `i` or `strike` flag: set unless its `val` says false.
Result<bool> flag_value(const Event& ev) {
    std::string scratch;
    auto val = xml::attr_value(ev, "val", scratch);
    if (!val) return fail(val.error());
    if (!*val) return true;
    return !(**val == "0" || **val == "false");
}

class StylesParser {
public:
    // A part cut short keeps the records closed before the cut.
    explicit StylesParser(std::string_view doc)
        : tok_(doc, xml::TokenizerOptions{.allow_unclosed_at_eof = true}), doc_size_(doc.size()) {}

    Result<StyleSheet> run() {
        Event ev;
        while (tok_.next(ev)) {
            Result<void> r;
            switch (ev.kind) {
            case EventKind::Start: r = on_start(ev); break;
            case EventKind::Empty: r = on_empty(ev); break;
            case EventKind::End: on_end(ev.local_name); break;
            default: break;
            }
            if (!r) return fail(r.error());
        }
        if (!tok_.ok()) return fail(tok_.error());
        return std::move(out_);
    }

private:
    // The font that font children apply to, if any is open.
    Font* open_font() {
        if (in_font_) return &font_;
        if (in_dxf_font_) return &dxf_font_;
        return nullptr;
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
        const std::pair<std::string_view, std::uint32_t*> fields[] = {
            {"fontId", &xf.font_id}, {"fillId", &xf.fill_id}, {"numFmtId", &xf.num_fmt_id}};
        for (auto [name, field] : fields) {
            auto v = attr(ev, name);
            if (!v) return fail(v.error());
            if (*v) *field = xml::parse_u32(**v).value_or(0);
        }
        out_.cell_xfs.push_back(xf);
        return {};
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
        if (n == "fonts") { in_fonts_ = true; return {}; }
        if (n == "fills") { in_fills_ = true; return {}; }
        if (n == "cellXfs") { in_cell_xfs_ = true; return {}; }
        if (n == "dxfs") { in_dxfs_ = true; return {}; }
        if (n == "font") {
            if (in_fonts_) {
                font_ = Font{};
                in_font_ = true;
            } else if (in_dxf_) {
                dxf_font_ = Font{};
                in_dxf_font_ = true;
            }
            return {};
        }
        if (n == "b" || n == "i" || n == "strike" || n == "sz" || n == "name" || n == "color") return on_font_child(ev);
        if (n == "fill") {
            if (in_fills_) {
                fill_ = Fill{};
                in_fill_ = true;
            } else if (in_dxf_) {
                dxf_fill_ = Fill{};
                in_dxf_fill_ = true;
            }
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
        if (n == "xf") return on_xf(ev);
        if (n == "dxf") {
            if (in_dxfs_) {
                pending_font_.reset();
                pending_fill_.reset();
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
                out_.fonts.emplace_back();
            } else if (in_dxf_) {
                pending_font_ = Font{};
            }
            return {};
        }
        if (n == "b" || n == "i" || n == "strike" || n == "sz" || n == "name" || n == "color") return on_font_child(ev);
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
            if (in_dxfs_) out_.dxfs.emplace_back();
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
        else if (n == "font") {
            if (in_fonts_) {
                out_.fonts.push_back(std::move(font_));
                font_ = Font{};
                in_font_ = false;
            } else if (in_dxf_font_) {
                pending_font_ = std::move(dxf_font_);
                dxf_font_ = Font{};
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
            if (in_dxf_) {
                out_.dxfs.push_back(Dxf{std::move(pending_font_), std::move(pending_fill_)});
                pending_font_.reset();
                pending_fill_.reset();
                in_dxf_ = false;
            }
        }
    }

    xml::Tokenizer tok_;
    std::size_t doc_size_;
    StyleSheet out_;

    bool in_num_fmts_ = false, in_fonts_ = false, in_fills_ = false, in_cell_xfs_ = false, in_dxfs_ = false;
    bool in_font_ = false, in_fill_ = false, in_pattern_fill_ = false;
    bool in_dxf_ = false, in_dxf_font_ = false, in_dxf_fill_ = false, in_dxf_pattern_fill_ = false;

    Font font_, dxf_font_;
    Fill fill_, dxf_fill_;
    std::optional<Font> pending_font_;
    std::optional<Fill> pending_fill_;
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
