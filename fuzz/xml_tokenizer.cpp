// The pull tokenizer and the attribute and text decoding readers rely on. The first byte picks
// the tokenizer options.

#include <cstdint>
#include <string>

#include "fuzz_support.hpp"
#include "xml/tokenizer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::xml;
    if (size == 0) return 0;
    TokenizerOptions options;
    options.trim_text = (data[0] & 1) != 0;
    options.allow_unclosed_at_eof = (data[0] & 2) != 0;
    options.fragment = (data[0] & 4) != 0;
    const std::string_view doc = velmo::fuzz::as_view(data + 1, size - 1);

    Tokenizer tok(doc, options);
    Event ev;
    std::string scratch;
    std::string joined;
    size_t last_offset = 0;
    while (tok.next(ev)) {
        FUZZ_CHECK(ev.offset >= last_offset);
        FUZZ_CHECK(ev.offset + ev.raw.size() <= doc.size());
        last_offset = ev.offset;
        if (ev.is_tag()) {
            AttrIter it(ev);
            Attribute a;
            for (;;) {
                auto more = it.next(a);
                if (!more || !*more) break;
                (void)decode(a.value, scratch, a.offset);
            }
            (void)attr_value(ev, "r", scratch);
        } else if (ev.kind == EventKind::Text || ev.kind == EventKind::CData) {
            (void)text_value(ev, scratch);
            if (joined.size() < (1u << 20)) (void)append_text(ev, joined);
        }
    }
    FUZZ_CHECK(ev.kind == EventKind::Eof);
    if (tok.ok() && !options.allow_unclosed_at_eof) FUZZ_CHECK(tok.depth() == 0);
    return 0;
}
