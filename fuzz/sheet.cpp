// The worksheet part reader (cells, rows, columns, merges, panes, filters, hyperlinks and
// conditional formatting), against a fixed shared-string table and style sheet so that both
// in-range and out-of-range indexes are reachable.

#include <cstdint>
#include <memory>

#include "fuzz_support.hpp"
#include "reader/sheet.hpp"
#include "reader/styles.hpp"

namespace {

constexpr std::string_view kStyles =
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"yyyy-mm-dd hh:mm\"/></numFmts>"
    "<fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/></font></fonts>"
    "<fills count=\"1\"><fill><patternFill patternType=\"none\"/></fill></fills>"
    "<cellXfs count=\"5\"><xf numFmtId=\"0\"/><xf numFmtId=\"14\"/><xf numFmtId=\"164\"/>"
    "<xf numFmtId=\"21\"/><xf numFmtId=\"46\"/></cellXfs>"
    "<dxfs count=\"2\"><dxf><font><b/></font></dxf><dxf><fill><patternFill><bgColor rgb=\"FFFF0000\"/>"
    "</patternFill></fill></dxf></dxfs></styleSheet>";

struct Fixture {
    velmo::reader::SharedStrings strings;
    std::shared_ptr<const velmo::StyleSheet> styles;
    std::vector<std::optional<velmo::TemporalKind>> kinds;

    Fixture() {
        strings.items = {"alpha", "", "gamma"};
        auto parsed = velmo::reader::parse_styles(kStyles);
        FUZZ_CHECK(parsed.has_value());
        styles = std::make_shared<const velmo::StyleSheet>(std::move(*parsed));
        kinds = velmo::reader::temporal_kinds_by_style(*styles);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const Fixture fx;
    if (size == 0) return 0;
    const bool date1904 = (data[0] & 1) != 0;
    auto sheet = velmo::reader::parse_sheet(velmo::fuzz::as_view(data + 1, size - 1), fx.strings, fx.styles,
                                            fx.kinds, date1904);
    if (!sheet) return 0;
    (void)sheet->worksheet.used_range();
    for (const auto& [key, cell] : sheet->worksheet.cells()) FUZZ_CHECK(cell.stylesheet != nullptr);
    return 0;
}
