#pragma once
// What a loaded worksheet carries through a save besides what the model edits: the children of
// the source's worksheet element that the model does not hold, as the source's own XML, and the
// attributes of rows and columns beside their heights and widths.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

// Whether the workbook shows a sheet's tab: a very hidden sheet cannot be unhidden from the
// application's menus.
enum class SheetState : uint8_t { Visible, Hidden, VeryHidden };

// The children of a worksheet element, in the order the schema gives them; a save writes the
// elements of the model and the carried ones in this order.
enum class SheetChild : uint8_t {
    SheetPr,
    Dimension,
    SheetViews,
    SheetFormatPr,
    Cols,
    SheetData,
    SheetCalcPr,
    SheetProtection,
    ProtectedRanges,
    Scenarios,
    AutoFilter,
    SortState,
    DataConsolidate,
    CustomSheetViews,
    MergeCells,
    PhoneticPr,
    ConditionalFormatting,
    DataValidations,
    Hyperlinks,
    PrintOptions,
    PageMargins,
    PageSetup,
    HeaderFooter,
    RowBreaks,
    ColBreaks,
    CustomProperties,
    CellWatches,
    IgnoredErrors,
    SmartTags,
    Drawing,
    LegacyDrawing,
    LegacyDrawingHF,
    DrawingHF,
    Picture,
    OleObjects,
    Controls,
    WebPublishItems,
    TableParts,
    ExtLst,
    Other,  // an element the schema does not list
};

// One child of the source's worksheet element that the model does not hold.
struct CarriedElement {
    SheetChild kind = SheetChild::Other;
    // Where it is written: its own kind, or for an Other the kind of the element before it in the
    // source, so that it keeps its neighbour.
    SheetChild place = SheetChild::Other;
    // The element as the source wrote it; declarations of prefixes it uses from outside itself
    // are carried on its start tag.
    std::string xml;
    // Every relationship id it names: it is written only while they all still name what they did.
    std::vector<std::string> rel_ids;
    // The namespaces of the sheet's ignorable list (Worksheet::ignorable) that its names use, by
    // position, ascending: written, it has the part's root mark them ignorable again.
    std::vector<std::size_t> ignorable{};
    bool operator==(const CarriedElement&) const = default;
};

// What a row or column holds besides its height or width. Only lines that differ from the
// default have one.
struct LineFormat {
    std::optional<uint32_t> style;  // a row's style (its `s` under customFormat), a column's style
    uint8_t outline_level = 0;      // 0 to 7
    bool hidden = false;
    bool collapsed = false;
    bool best_fit = false;  // columns only
    bool phonetic = false;  // columns only
    // A row the source lists on a sheet that hides every row it does not list (zeroHeight): it is
    // written, so that it stays shown.
    bool listed = false;
    bool is_default() const { return *this == LineFormat{}; }
    bool operator==(const LineFormat&) const = default;
};

}  // namespace velmo
