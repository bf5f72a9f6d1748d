#pragma once
// Small hand-made .xlsx packages for reader tests. Header-only.
//
//   velmo::test::Package p;
//   p.sheet("Data", "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>");
//   p.set("xl/sharedStrings.xml", "<sst>...</sst>");
//   std::string bytes = p.build();

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/zip_builder.hpp"

namespace velmo::test {

inline constexpr const char* kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr const char* kOfficeRelsNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr const char* kPackageRelsNs = "http://schemas.openxmlformats.org/package/2006/relationships";

inline std::string rel_type(std::string_view kind) { return std::string(kOfficeRelsNs) + "/" + std::string(kind); }

inline std::string relationship(std::string_view id, std::string_view type, std::string_view target,
                                std::optional<std::string_view> mode = std::nullopt) {
    std::string s = "<Relationship Id=\"" + std::string(id) + "\" Type=\"" + std::string(type) + "\" Target=\"" +
                    std::string(target) + "\"";
    if (mode) s += " TargetMode=\"" + std::string(*mode) + "\"";
    return s + "/>";
}

inline std::string relationships(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><Relationships xmlns=\"" + std::string(kPackageRelsNs) +
           "\">" + std::string(body) + "</Relationships>";
}

inline std::string worksheet(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><worksheet xmlns=\"" + std::string(kMainNs) +
           "\" xmlns:r=\"" + kOfficeRelsNs + "\">" + std::string(body) + "</worksheet>";
}

// Styles with one general cell format (index 0) and one date format (index 1, built-in id 14).
inline std::string default_styles() {
    return "<styleSheet xmlns=\"" + std::string(kMainNs) +
           "\"><fonts count=\"1\"><font><sz val=\"11\"/><name val=\"Calibri\"/></font></fonts>"
           "<fills count=\"1\"><fill><patternFill patternType=\"none\"/></fill></fills>"
           "<cellXfs count=\"2\"><xf fontId=\"0\" fillId=\"0\" numFmtId=\"0\"/><xf fontId=\"0\" fillId=\"0\" numFmtId=\"14\"/></cellXfs>"
           "</styleSheet>";
}

// Content types declaring every .xml part plain XML: enough for a load, which needs the part.
inline std::string content_types_xml() {
    return "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/></Types>";
}

class Package {
public:
    Package() { parts_["xl/styles.xml"] = default_styles(); }

    // Adds a worksheet "xl/worksheets/sheetN.xml" with the given content inside <worksheet>.
    Package& sheet(std::string name, std::string_view body) {
        const std::size_t n = sheets_.size() + 1;
        sheets_.push_back(std::move(name));
        parts_["xl/worksheets/sheet" + std::to_string(n) + ".xml"] = worksheet(body);
        return *this;
    }
    // Sets (or replaces) any entry.
    Package& set(std::string name, std::string content) {
        std::erase(skip_, name);
        parts_[std::move(name)] = std::move(content);
        return *this;
    }
    Package& remove(const std::string& name) {
        parts_.erase(name);
        skip_.push_back(name);
        return *this;
    }
    // Extra markup inside <workbook> before <sheets>.
    Package& workbook_head(std::string xml) {
        workbook_head_ = std::move(xml);
        return *this;
    }

    std::string workbook_xml() const {
        std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><workbook xmlns=\"" + std::string(kMainNs) +
                        "\" xmlns:r=\"" + kOfficeRelsNs + "\">" + workbook_head_ + "<sheets>";
        for (std::size_t i = 0; i < sheets_.size(); ++i)
            s += "<sheet name=\"" + sheets_[i] + "\" sheetId=\"" + std::to_string(i + 1) + "\" r:id=\"rId" + std::to_string(i + 1) +
                 "\"/>";
        return s + "</sheets></workbook>";
    }

    std::string workbook_rels_xml() const {
        std::string body;
        for (std::size_t i = 0; i < sheets_.size(); ++i)
            body += relationship("rId" + std::to_string(i + 1), rel_type("worksheet"), "worksheets/sheet" + std::to_string(i + 1) + ".xml");
        return relationships(body);
    }

    std::string build() const {
        std::map<std::string, std::string> all = parts_;
        all.try_emplace("xl/workbook.xml", workbook_xml());
        all.try_emplace("xl/_rels/workbook.xml.rels", workbook_rels_xml());
        all.try_emplace("[Content_Types].xml", content_types_xml());
        for (const auto& s : skip_) all.erase(s);
        ZipBuilder b;
        for (const auto& [name, content] : all) b.deflated(name, content);
        return b.build();
    }

private:
    std::vector<std::string> sheets_;
    std::map<std::string, std::string> parts_;
    std::vector<std::string> skip_;
    std::string workbook_head_;
};

}  // namespace velmo::test
