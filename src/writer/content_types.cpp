#include "writer/content_types.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <utility>

#include "reader/content_types.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {
namespace {

std::string sheet_part(size_t n) { return xml::numbered("/xl/worksheets/sheet", n, ".xml"); }
std::string comments_part(size_t n) { return xml::numbered("/xl/comments", n, ".xml"); }
std::string table_part(size_t k) { return xml::numbered("/xl/tables/table", k, ".xml"); }

constexpr std::string_view kWorkbookPart = "/xl/workbook.xml";
constexpr std::string_view kStylesPart = "/xl/styles.xml";
constexpr std::string_view kSharedStringsPart = "/xl/sharedStrings.xml";

// `prefix` is the root's ("ct:", or empty): an element added in no namespace would declare nothing.
void append_override(std::string& out, std::string_view prefix, std::string_view part, std::string_view type) {
    out += '<';
    out += prefix;
    out += "Override PartName=\"";
    xml::append_escaped_attr(out, part);
    out += "\" ContentType=\"";
    xml::append_escaped_attr(out, type);
    out += "\"/>";
}

void append_default(std::string& out, std::string_view prefix, std::string_view ext, std::string_view type) {
    out += '<';
    out += prefix;
    out += "Default Extension=\"";
    out += ext;
    out += "\" ContentType=\"";
    out += type;
    out += "\"/>";
}

// Source text from `begin` to `end` replaced by `text`.
struct Splice {
    size_t begin = 0;
    size_t end = 0;
    std::string text;
};

}  // namespace

std::string generated_content_types_xml(const WrittenParts& parts) {
    xml::XmlWriter w = xml::XmlWriter::with_declaration(1024 + 160 * (parts.sheet_count + parts.table_parts.size()));
    w.start("Types", {{"xmlns", kContentTypesNs}});
    w.empty("Default", {{"Extension", "rels"}, {"ContentType", content_type::kRels}});
    w.empty("Default", {{"Extension", "xml"}, {"ContentType", content_type::kXml}});
    if (!parts.comment_sheets.empty() || parts.vml_drawings)
        w.empty("Default", {{"Extension", "vml"}, {"ContentType", content_type::kVml}});
    w.empty("Override", {{"PartName", kWorkbookPart}, {"ContentType", content_type::kWorkbook}});
    w.empty("Override", {{"PartName", kStylesPart}, {"ContentType", content_type::kStyles}});
    if (parts.has_strings)
        w.empty("Override", {{"PartName", kSharedStringsPart}, {"ContentType", content_type::kSharedStrings}});
    for (size_t n = 1; n <= parts.sheet_count; ++n)
        w.empty("Override", {{"PartName", sheet_part(n)}, {"ContentType", content_type::kWorksheet}});
    for (size_t n : parts.comment_sheets)
        w.empty("Override", {{"PartName", comments_part(n)}, {"ContentType", content_type::kComments}});
    for (const uint64_t k : parts.table_parts)
        w.empty("Override", {{"PartName", table_part(k)}, {"ContentType", content_type::kTable}});
    w.end("Types");
    return std::move(w.buffer());
}

std::string generated_package_rels_xml() {
    xml::XmlWriter w = xml::XmlWriter::with_declaration(320);
    w.start("Relationships", {{"xmlns", kPackageRelsNs}});
    w.empty("Relationship", {{"Id", "rId1"}, {"Type", kOfficeDocumentRelType}, {"Target", "xl/workbook.xml"}});
    w.end("Relationships");
    return std::move(w.buffer());
}

Result<std::string> patch_content_types(std::string_view source, const WrittenParts& parts, const PartNameSet& package) {
    auto read = reader::read_content_types(source);
    if (!read) return fail(std::move(read.error()));
    const std::unordered_set<std::string>& default_exts = read->default_extensions;
    const std::vector<reader::ContentTypeOverride>& overrides = read->overrides;
    const size_t root_end = read->root_end;
    const std::string_view prefix = read->prefix;

    // Table parts are numbered afresh at every save, so no old declaration of one this save writes
    // can be right (a part of the same folder that it copies keeps its own); a declaration of a
    // part the package no longer holds would name nothing; and a part may be declared once only,
    // whatever the spellings of its name.
    PartNameSet tables;
    for (const uint64_t k : parts.table_parts) tables.add(table_part(k));
    std::unordered_map<std::string_view, const reader::ContentTypeOverride*, zip::PartNameHash, zip::PartNameEqual> declared;
    std::vector<Splice> splices;
    for (const auto& o : overrides) {
        if (!o.part_name) continue;
        if (tables.contains(*o.part_name) || !package.contains(*o.part_name) ||
            !declared.try_emplace(*o.part_name, &o).second) {
            splices.push_back({o.begin, o.end, {}});
        }
    }

    std::string added;
    if (!default_exts.contains("rels")) append_default(added, prefix, "rels", content_type::kRels);
    if ((!parts.comment_sheets.empty() || parts.vml_drawings) && !default_exts.contains("vml"))
        append_default(added, prefix, "vml", content_type::kVml);
    auto declare = [&](const std::string& part, std::string_view type) {
        const auto found = declared.find(part);
        if (found == declared.end()) return append_override(added, prefix, part, type);
        // Declared under another spelling of the name: the declaration names the part as this
        // save writes it, for readers that match names exactly, and keeps the source's content
        // type (a macro-enabled workbook stays one).
        const reader::ContentTypeOverride& o = *found->second;
        if (*o.part_name == part) return;
        Splice respelled{o.begin, o.end, {}};
        append_override(respelled.text, prefix, part, o.content_type ? std::string_view(*o.content_type) : type);
        splices.push_back(std::move(respelled));
    };
    declare(std::string(kWorkbookPart), content_type::kWorkbook);
    declare(std::string(kStylesPart), content_type::kStyles);
    for (size_t n = 1; n <= parts.sheet_count; ++n) declare(sheet_part(n), content_type::kWorksheet);
    for (size_t n : parts.comment_sheets) declare(comments_part(n), content_type::kComments);
    for (const uint64_t k : parts.table_parts) append_override(added, prefix, table_part(k), content_type::kTable);
    if (parts.has_strings) declare(std::string(kSharedStringsPart), content_type::kSharedStrings);

    std::string out;
    out.reserve(source.size() + added.size());
    std::sort(splices.begin(), splices.end(), [](const Splice& a, const Splice& b) { return a.begin < b.begin; });
    size_t at = 0;
    for (const auto& [begin, end, text] : splices) {
        out.append(source.substr(at, begin - at));
        out += text;
        at = end;
    }
    out.append(source.substr(at, root_end - at));
    out += added;
    out.append(source.substr(root_end));
    return out;
}

}  // namespace velmo::writer
