#include "writer/styles_collect.hpp"

#include <algorithm>
#include <array>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "model/temporal.hpp"

namespace velmo::writer {

namespace {

// ---- hashing of style records, consistent with their operator== ----

void mix(size_t& seed, size_t h) { seed ^= h + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2); }

size_t hash_double(double d) {
    // 0 and -0 compare equal; NaN equals nothing, so any hash will do for it.
    return std::hash<double>{}(d == 0.0 ? 0.0 : d);
}

size_t hash_color(const std::optional<Color>& c) {
    if (!c) return 0x51ed27;
    size_t h = c->index() + 1;
    std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, ColorArgb>) mix(h, std::hash<std::string_view>{}(v.argb));
            else if constexpr (std::is_same_v<T, ColorIndexed>) mix(h, v.index);
            else {
                mix(h, v.theme);
                mix(h, v.tint ? hash_double(*v.tint) : 0x7f3);
            }
        },
        *c);
    return h;
}

struct FontHash {
    size_t operator()(const Font& f) const {
        size_t h = std::hash<std::string_view>{}(f.name);
        mix(h, hash_double(f.size));
        mix(h, (f.bold ? 1u : 0u) | (f.italic ? 2u : 0u) | (f.strike ? 4u : 0u) | (f.loaded ? 8u : 0u));
        mix(h, hash_color(f.color));
        mix(h, std::hash<std::string_view>{}(f.children_xml));
        return h;
    }
};

struct FillHash {
    size_t operator()(const Fill& f) const {
        size_t h = std::hash<std::string_view>{}(f.pattern_type);
        mix(h, hash_color(f.fg_color));
        mix(h, hash_color(f.bg_color));
        mix(h, std::hash<std::string_view>{}(f.gradient_xml));
        return h;
    }
};

struct DxfHash {
    size_t operator()(const Dxf& d) const {
        size_t h = d.font ? FontHash{}(*d.font) : 0x1d;
        mix(h, d.fill ? FillHash{}(*d.fill) : 0x2e);
        mix(h, std::hash<std::string_view>{}(d.xml));
        return h;
    }
};

struct CellXfHash {
    size_t operator()(const CellXf& x) const {
        size_t h = x.font_id;
        mix(h, x.fill_id);
        mix(h, x.num_fmt_id);
        mix(h, x.border_id);
        mix(h, x.xf_id);
        mix(h, x.children);
        mix(h, x.flags);
        return h;
    }
};

// `base` with the font, fill and number format a cell needs. An apply flag written as false for
// a part the cell now sets would tell an application to take that part from the cell style.
CellXf derive_xf(CellXf base, uint32_t font_id, uint32_t fill_id, uint32_t num_fmt_id) {
    const std::pair<XfFlag, bool> changed[] = {{XfFlag::ApplyFont, font_id != base.font_id},
                                               {XfFlag::ApplyFill, fill_id != base.fill_id},
                                               {XfFlag::ApplyNumberFormat, num_fmt_id != base.num_fmt_id}};
    for (auto [f, differs] : changed)
        if (differs && base.flag(f) == false) base.set_flag(f, true);
    base.font_id = font_id;
    base.fill_id = fill_id;
    base.num_fmt_id = num_fmt_id;
    return base;
}

// A list whose records are found through a hash index of their positions, built on the first
// look-up: most saves look nothing up, and a loaded list can hold thousands of records. Entries
// already in the list (copied from a source, duplicates included) are found at their first
// position.
template <class T, class Hash>
class IndexedList {
public:
    explicit IndexedList(std::vector<T>& list) : list_(list), index_(0, ByPosition{&list}, ByPosition{&list}) {}
    uint32_t find_or_add(const T& record) {
        if (!built_) {
            index_.reserve(list_.size());
            for (size_t i = 0; i < list_.size(); ++i) index_.insert(static_cast<uint32_t>(i));
            built_ = true;
        }
        if (auto it = index_.find(record); it != index_.end()) return *it;
        const auto pos = static_cast<uint32_t>(list_.size());
        list_.push_back(record);
        index_.insert(pos);
        return pos;
    }

private:
    // Hashes and compares a position as the record it holds, so that a record finds its position.
    struct ByPosition {
        using is_transparent = void;
        const std::vector<T>* list;
        const T& at(uint32_t pos) const { return (*list)[pos]; }
        size_t operator()(uint32_t pos) const { return Hash{}(at(pos)); }
        size_t operator()(const T& r) const { return Hash{}(r); }
        bool operator()(uint32_t a, uint32_t b) const { return at(a) == at(b); }
        bool operator()(const T& r, uint32_t b) const { return r == at(b); }
        bool operator()(uint32_t a, const T& r) const { return at(a) == r; }
    };
    std::vector<T>& list_;
    std::unordered_set<uint32_t, ByPosition, ByPosition> index_;
    bool built_ = false;
};

std::string_view code_for(ValueKind kind) {
    switch (kind) {
    case ValueKind::Date: return kDateFormatCode;
    case ValueKind::DateTime: return kDateTimeFormatCode;
    case ValueKind::Time: return kTimeFormatCode;
    default: return kDurationFormatCode;
    }
}

bool is_temporal_kind(ValueKind k) {
    return k == ValueKind::Date || k == ValueKind::DateTime || k == ValueKind::Time || k == ValueKind::Duration;
}

// Custom number formats: found by code (first id wins), new ids above every id in the list.
class NumFmtTable {
public:
    explicit NumFmtTable(std::vector<std::pair<uint32_t, std::string>>& list) : list_(list) {
        for (const auto& [id, code] : list) {
            by_code_.emplace(code, id);
            add_id(id, code);
            max_id_ = std::max(max_id_, id);
        }
    }

    Result<uint32_t> id_for(std::string_view code) {
        if (auto it = by_code_.find(std::string(code)); it != by_code_.end()) return it->second;
        uint32_t id = kFirstCustomNumFmtId;
        if (!list_.empty()) {
            if (max_id_ == UINT32_MAX) return fail(VelmoError::invalid_format("number format ID space exhausted"));
            id = std::max(max_id_, kFirstCustomNumFmtId - 1) + 1;
        }
        list_.emplace_back(id, std::string(code));
        by_code_.emplace(std::string(code), id);
        add_id(id, code);
        max_id_ = std::max(max_id_, id);
        return id;
    }

    // Whether `id` shows a number as a date, time or duration (a built-in id wins over a custom
    // format stored under the same id).
    bool is_temporal(uint32_t id) const {
        if (temporal::builtin_format_kind(id)) return true;
        const auto it = temporal_by_id_.find(id);
        return it != temporal_by_id_.end() && it->second;
    }

private:
    // The first code under an id decides; judged once, as every date cell of a sheet asks.
    void add_id(uint32_t id, std::string_view code) {
        if (!temporal_by_id_.contains(id)) temporal_by_id_.emplace(id, temporal::format_kind(code).has_value());
    }

    std::vector<std::pair<uint32_t, std::string>>& list_;
    std::unordered_map<std::string, uint32_t> by_code_;
    std::unordered_map<uint32_t, bool> temporal_by_id_;  // whether the id's code shows a date or time
    uint32_t max_id_ = 0;
};

std::vector<uint32_t>& derived_for(CollectedStyles& out, size_t sheet, size_t cells) {
    auto& ids = out.cell_xf_ids[sheet];
    if (ids.empty()) ids.assign(cells, CollectedStyles::kOwnStyle);
    return ids;
}

}  // namespace

Result<CollectedStyles> collect_styles(const Workbook& wb, bool has_source, const std::vector<SheetCellOrder>& orders) {
    CollectedStyles out;
    const size_t sheets = std::min(wb.sheets.size(), orders.size());
    const bool from_source = has_source && wb.stylesheet;

    // The starting tables: the source's own, kept in place, or the minimal set of a new package.
    if (from_source) {
        const StyleSheet& ss = *wb.stylesheet;
        out.fonts = ss.fonts;
        out.fills = ss.fills;
        out.cell_xfs = ss.cell_xfs;
        out.num_fmts = ss.num_fmts_vec();
        // The map's order is arbitrary; by id, the first format of a code is the same every time.
        std::sort(out.num_fmts.begin(), out.num_fmts.end());
        out.dxfs = ss.dxfs;
        out.borders = ss.borders;
        out.xf_children = ss.xf_children;
        out.blocks = ss.blocks;
        // Every cell without a format of its own points at the first entry of each list; a source
        // that lacks one must not hand that place to the first record this save appends (plain
        // numbers would show as dates).
        if (out.fonts.empty()) out.fonts.push_back(Font{});
        if (out.fills.empty()) {
            out.fills.push_back(Fill{"none", std::nullopt, std::nullopt});
            out.fills.push_back(Fill{"gray125", std::nullopt, std::nullopt});
        }
        if (out.cell_xfs.empty()) out.cell_xfs.push_back(CellXf{});
    } else {
        out.fonts.push_back(Font{});
        out.fills.push_back(Fill{"none", std::nullopt, std::nullopt});
        out.fills.push_back(Fill{"gray125", std::nullopt, std::nullopt});
        out.cell_xfs.push_back(CellXf{});
    }
    out.cell_xf_ids.resize(sheets);
    out.rule_dxf_ids.resize(sheets);

    IndexedList<Font, FontHash> fonts(out.fonts);
    IndexedList<Fill, FillHash> fills(out.fills);
    IndexedList<CellXf, CellXfHash> xfs(out.cell_xfs);
    IndexedList<Dxf, DxfHash> dxfs(out.dxfs);
    NumFmtTable num_fmts(out.num_fmts);

    // Cells with a direct font or fill get a cell format of their own.
    for (size_t s = 0; s < sheets; ++s) {
        const SheetCellOrder& order = orders[s];
        if (!order.has_extras) continue;
        for (size_t i = 0; i < order.size(); ++i) {
            const Cell& cell = *order[i].cell;
            const Font* own_font = cell.font();
            const Fill* own_fill = cell.fill();
            if (!own_font && !own_fill) continue;
            const CellXf base = cell.style_index < out.cell_xfs.size() ? out.cell_xfs[cell.style_index] : CellXf{};
            Font font = own_font ? *own_font : base.font_id < out.fonts.size() ? out.fonts[base.font_id] : Font{};
            Fill fill = own_fill ? *own_fill : base.fill_id < out.fills.size() ? out.fills[base.fill_id] : Fill{};
            const uint32_t font_id = fonts.find_or_add(font);
            const uint32_t fill_id = fills.find_or_add(fill);
            derived_for(out, s, order.size())[i] = xfs.find_or_add(derive_xf(base, font_id, fill_id, base.num_fmt_id));
        }
    }

    // Temporal values get a date or time format unless theirs already is one.
    std::array<std::optional<uint32_t>, 4> kind_fmt{};  // Date, DateTime, Time, Duration
    for (size_t s = 0; s < sheets; ++s) {
        const SheetCellOrder& order = orders[s];
        if (!order.has_temporal) continue;
        for (size_t i = 0; i < order.size(); ++i) {
            const Cell& cell = *order[i].cell;
            const ValueKind kind = kind_of(cell.value);
            if (!is_temporal_kind(kind)) continue;
            const auto derived = out.derived_xf(s, i);
            const uint64_t current = derived ? *derived : cell.style_index;
            CellXf base;
            if (current < out.cell_xfs.size()) {
                base = out.cell_xfs[current];
                // A source format that already shows the value as a date or time stays; any other
                // (a number or text format) would read the value back as a plain number.
                if (has_source && base.num_fmt_id != 0 && num_fmts.is_temporal(base.num_fmt_id)) continue;
            }
            auto& fmt = kind_fmt[static_cast<size_t>(kind) - static_cast<size_t>(ValueKind::Date)];
            if (!fmt) {
                auto id = num_fmts.id_for(code_for(kind));
                if (!id) return fail(std::move(id.error()));
                fmt = *id;
            }
            derived_for(out, s, order.size())[i] = xfs.find_or_add(derive_xf(base, base.font_id, base.fill_id, *fmt));
        }
    }

    // Differential formats of conditional formatting rules; a rule read with a dxfId but no
    // format keeps its id as it is.
    for (size_t s = 0; s < sheets; ++s) {
        const auto& blocks = wb.sheets[s].conditional_formatting;
        auto& sheet_ids = out.rule_dxf_ids[s];
        sheet_ids.resize(blocks.size());
        for (size_t b = 0; b < blocks.size(); ++b) {
            const auto& rules = blocks[b].rules;
            sheet_ids[b].resize(rules.size());
            for (size_t r = 0; r < rules.size(); ++r) {
                if (rules[r].dxf) sheet_ids[b][r] = dxfs.find_or_add(*rules[r].dxf);
                else sheet_ids[b][r] = rules[r].dxf_id;
            }
        }
    }

    // Custom formats are written in id order.
    std::stable_sort(out.num_fmts.begin(), out.num_fmts.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return out;
}

}  // namespace velmo::writer
