#pragma once
// Reading a worksheet's comments part: each comment's plain text and its author's name, keyed by
// the cell reference exactly as written.

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "model/comments.hpp"
#include "model/error.hpp"

namespace velmo::reader {

using CommentMap = std::map<std::string, Comment, std::less<>>;

// A comment's text joins its runs' texts as shared strings do (xml:space="preserve" keeps white
// space, phonetic runs are left out, CDATA counts as text). Its author is the entry of the author
// list at its authorId (0 when absent or bad), empty when there is no such entry. A comment
// without a ref is skipped; a later comment on the same ref replaces an earlier one.
// Fails only with an XML error.
// A note's text with runs keeps its `text` element (Comment::rich_text), as a slice of `owner` when
// it holds the part (no copy per note), else of a copy of the part made on first need.
Result<CommentMap> parse_comments_xml(std::string_view xml, std::shared_ptr<const std::string> owner = nullptr);

}  // namespace velmo::reader
