#include "writer/comments_part.hpp"

#include <string_view>
#include <unordered_map>

#include "model/coords.hpp"
#include "xml/white_space.hpp"
#include "writer/namespaces.hpp"
#include "writer/text_check.hpp"
#include "xml/number_format.hpp"
#include "xml/xml_writer.hpp"

namespace velmo::writer {

namespace {

// The legacy drawing is a fixed text with only the shape numbers and anchors filled in.
constexpr std::string_view kVmlHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\"\n"
    "     xmlns:o=\"urn:schemas-microsoft-com:office:office\"\n"
    "     xmlns:x=\"urn:schemas-microsoft-com:office:excel\">\n"
    "  <o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"1\"/></o:shapelayout>\n"
    "  <v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" path=\"m,l,21600r21600,l21600,xe\">\n"
    "    <v:stroke joinstyle=\"miter\"/>\n"
    "    <v:path gradientshapeok=\"t\" o:connecttype=\"rect\"/>\n"
    "  </v:shapetype>\n"
    "  ";
constexpr std::string_view kVmlTail = "\n</xml>";

constexpr std::string_view kShapeOpen = "<v:shape id=\"_x0000_s";
constexpr std::string_view kShapeBody =
    "\" type=\"#_x0000_t202\" "
    "style=\"position:absolute;margin-left:80pt;margin-top:5pt;width:104pt;height:64pt;z-index:1;visibility:hidden\" "
    "fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
    "<v:fill color2=\"#ffffe1\"/>"
    "<v:shadow on=\"t\" color=\"black\" obscured=\"t\"/>"
    "<v:path o:connecttype=\"none\"/>"
    "<v:textbox style=\"mso-direction-alt:auto\"><div style=\"text-align:left\"></div></v:textbox>"
    "<x:ClientData ObjectType=\"Note\">"
    "<x:MoveWithCells/>"
    "<x:SizeWithCells/>"
    "<x:Anchor>1, 15, 0, 2, 3, 15, 4, 4</x:Anchor>"
    "<x:AutoFill>False</x:AutoFill>"
    "<x:Row>";
constexpr std::string_view kShapeColumn = "</x:Row><x:Column>";
constexpr std::string_view kShapeClose = "</x:Column></x:ClientData></v:shape>";

}  // namespace

bool has_comments(const Worksheet& ws) {
    for (const auto& [key, cell] : ws.cells())
        if (cell.comment()) return true;
    return false;
}

std::vector<SortedComment> sorted_comments(const SheetCellOrder& order) {
    std::vector<SortedComment> out;
    for (const OrderedCell& oc : order) {
        const Comment* c = oc.cell->comment();
        if (!c) continue;
        SortedComment sc;
        coords::append_a1(sc.ref, oc.row(), oc.col());
        sc.comment = c;
        sc.row = oc.row();
        sc.col = oc.col();
        out.push_back(std::move(sc));
    }
    return out;
}

std::string comments_part_name(size_t sheet_index) {
    return xml::numbered("xl/comments", static_cast<uint64_t>(sheet_index) + 1, ".xml");
}

std::string vml_drawing_part_name(size_t sheet_index) {
    return numbered_vml_drawing_part_name(static_cast<uint64_t>(sheet_index) + 1);
}

std::string numbered_vml_drawing_part_name(uint64_t number) {
    return xml::numbered("xl/drawings/vmlDrawing", number, ".vml");
}

Result<std::string> write_comments_xml(const Worksheet& ws, const SheetCellOrder& order) {
    const std::vector<SortedComment> comments = sorted_comments(order);

    std::vector<std::string_view> authors;
    std::unordered_map<std::string_view, size_t> author_ids;
    std::vector<size_t> comment_author;
    comment_author.reserve(comments.size());
    size_t text_bytes = 0;
    for (const SortedComment& sc : comments) {
        const auto where = [&] { return sheet_label(ws.name) + " comment at " + sc.ref; };
        if (auto ok = check_xml_text(sc.comment->text, where); !ok) return fail(std::move(ok.error()));
        if (auto ok = check_xml_text(sc.comment->author, where); !ok) return fail(std::move(ok.error()));
        const auto [it, fresh] = author_ids.try_emplace(sc.comment->author, authors.size());
        if (fresh) authors.push_back(sc.comment->author);
        comment_author.push_back(it->second);
        text_bytes += sc.comment->text.size();
    }

    auto w = xml::XmlWriter::with_declaration(256 + text_bytes + comments.size() * 64);
    w.start("comments", {{"xmlns", kMainNs}});
    w.start("authors");
    for (std::string_view author : authors) {
        w.start("author");
        w.text(author);
        w.end("author");
    }
    w.end("authors");
    w.start("commentList");
    for (size_t i = 0; i < comments.size(); ++i) {
        w.open("comment").attr("ref", comments[i].ref).attr("authorId", comment_author[i]).close_start();
        w.start("text");
        const std::string& text = comments[i].comment->text;
        if (xml::needs_space_preserve(text))
            w.start("t", {{"xml:space", "preserve"}});
        else
            w.start("t");
        w.text(text);
        w.end("t");
        w.end("text");
        w.end("comment");
    }
    w.end("commentList");
    w.end("comments");
    return std::move(w).finish();
}

std::string write_vml_drawing(const SheetCellOrder& order) {
    const std::vector<SortedComment> comments = sorted_comments(order);
    std::string out;
    out.reserve(kVmlHead.size() + kVmlTail.size() + comments.size() * 700);
    out += kVmlHead;
    uint64_t shape = 1024;
    for (const SortedComment& sc : comments) {
        out += kShapeOpen;
        xml::append_u64(out, shape++);
        out += kShapeBody;
        xml::append_u64(out, sc.row ? sc.row - 1 : 0);
        out += kShapeColumn;
        xml::append_u64(out, sc.col ? sc.col - 1 : 0);
        out += kShapeClose;
    }
    out += kVmlTail;
    return out;
}

}  // namespace velmo::writer
