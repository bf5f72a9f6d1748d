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
    bool kept_texts = false;
    for (const SortedComment& sc : comments) {
        const auto where = [&] { return sheet_label(ws.name) + " comment at " + sc.ref; };
        if (auto ok = check_utf8_text(sc.comment->text, where); !ok) return fail(std::move(ok.error()));
        if (auto ok = check_utf8_text(sc.comment->author, where); !ok) return fail(std::move(ok.error()));
        const auto [it, fresh] = author_ids.try_emplace(sc.comment->author, authors.size());
        if (fresh) authors.push_back(sc.comment->author);
        comment_author.push_back(it->second);
        text_bytes += sc.comment->rich_text ? sc.comment->rich_text.size : sc.comment->text.size();
        kept_texts |= static_cast<bool>(sc.comment->rich_text);
    }

    auto w = xml::XmlWriter::with_declaration(256 + text_bytes + comments.size() * 64);
    w.open("comments").attr("xmlns", kMainNs);
    // Kept texts may use "r" as their source's root bound it.
    if (kept_texts) w.attr("xmlns:r", kOfficeRelsNs);
    w.close_start();
    w.start("authors");
    for (std::string_view author : authors) {
        w.start("author");
        w.hex_text(author);
        w.end("author");
    }
    w.end("authors");
    w.start("commentList");
    for (size_t i = 0; i < comments.size(); ++i) {
        w.open("comment").attr("ref", comments[i].ref).attr("authorId", comment_author[i]).close_start();
        // A loaded note's runs, read from a well-formed part, go back as they stood.
        if (const KeptBytes& rich = comments[i].comment->rich_text) {
            w.raw(rich.view());
            w.end("comment");
            continue;
        }
        w.start("text");
        const std::string& text = comments[i].comment->text;
        if (xml::needs_space_preserve(text))
            w.start("t", {{"xml:space", "preserve"}});
        else
            w.start("t");
        w.hex_text(text);
        w.end("t");
        w.end("text");
        w.end("comment");
    }
    w.end("commentList");
    w.end("comments");
    return std::move(w).finish();
}

}  // namespace velmo::writer
