#include "reader/raw_element.hpp"

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/kept_namespaces.hpp"
#include "xml/utf8.hpp"

namespace velmo::reader {

namespace {

// Writes an element back from its events. The text is later appended inside a part the writer
// regenerates, whose root binds only the main namespace (as default) and "r" (relationships).
class RawCapture {
public:
    RawCapture(xml::Tokenizer& tok, ElementScopes& scopes)
        : tok_(tok), ns_(scopes.ns, {.root_binds_r = true, .carries_xmlns = false, .escape_gt = false}),
          scopes_(scopes) {}

    Result<std::string> run(const xml::Event& root) {
        const std::string_view src = tok_.source();
        open_tag(root);
        write_tag(root);
        root_name_end_ = 1 + element_name(root.name).size();
        std::size_t done = root.offset + root.raw.size();
        if (root.kind == xml::EventKind::Start) {
            std::size_t depth = 1;
            xml::Event ev;
            while (depth > 0) {
                if (!tok_.next(ev)) {
                    if (!tok_.ok()) return fail(tok_.error());
                    return fail(
                        VelmoError::invalid_format("unterminated <" + std::string(root.local_name) + "> element"));
                }
                // Comments and processing instructions are skipped by the tokenizer: they are
                // what lies between two events.
                out_.append(src.substr(done, ev.offset - done));
                done = ev.offset + ev.raw.size();
                switch (ev.kind) {
                case xml::EventKind::Start:
                case xml::EventKind::Empty:
                    scopes_.enter(ev);
                    open_tag(ev);
                    write_tag(ev);
                    if (ev.kind == xml::EventKind::Start) {
                        ++depth;
                    } else {
                        close_tag();
                    }
                    break;
                case xml::EventKind::End:
                    out_ += "</";
                    out_.append(element_name(ev.name));
                    out_ += '>';
                    close_tag();
                    --depth;
                    break;
                default:
                    if (ev.kind == xml::EventKind::Text) {
                        if (auto ok = xml::unescape(ev.raw, scratch_, ev.offset); !ok) note(std::move(ok.error()));
                    }
                    out_.append(ev.raw);
                    break;
                }
                scopes_.sync(tok_.depth());
            }
        }
        // The tokenizer finds the tags but leaves attributes and texts unchecked: a copy of what
        // does not decode would make the part it lands in unreadable.
        if (error_) return fail(std::move(*error_));
        ns_.write_carried(out_, root_name_end_);
        if (const auto bad = xml::check_utf8(out_))
            return fail(VelmoError::invalid_format(xml::utf8_error_message(*bad)));
        return std::move(out_);
    }

private:
    // Records the declarations a tag of the element makes, then the prefixes it uses.
    void open_tag(const xml::Event& ev) {
        // After an error nothing is written, so what the tag needs no longer matters.
        if (auto ok = ns_.open(ev); !ok) note(std::move(ok.error()));
        for (const auto p : ns_.attribute_prefixes()) (void)ns_.need(p, false);
        const auto p = xml::prefix_of(ev.name);
        drops_.push_back(!p.empty() && ns_.need(p, true) == KeptNamespaces::Need::Drop);
        need_required(ev);
    }

    // A markup-compatibility choice names in a value the prefixes it requires ("x14"): unbound
    // where the element lands, they would make an application skip the choice.
    void need_required(const xml::Event& ev) {
        if (ev.local_name != "Choice" || ns_.uri_of(xml::prefix_of(ev.name)) != kMarkupCompatibilityNs) return;
        std::string scratch;
        auto required = xml::attr_value(ev, "Requires", scratch);
        if (!required || !*required) return;
        for (const std::string_view prefix : listed_prefixes(**required)) (void)ns_.need(prefix, false);
    }

    void note(VelmoError e) {
        if (!error_) error_ = std::move(e);
    }

    void close_tag() {
        if (drops_.empty()) return;
        ns_.close();
        drops_.pop_back();
    }

    void write_tag(const xml::Event& ev) {
        out_ += '<';
        out_.append(element_name(ev.name));
        out_.append(ev.raw.substr(1 + ev.name.size()));
    }

    // The element name as written out: for the innermost open tag's name, its drop decision.
    std::string_view element_name(std::string_view qname) const {
        if (!drops_.empty() && drops_.back()) return xml::local_name_of(qname);
        return qname;
    }

    xml::Tokenizer& tok_;
    KeptNamespaces ns_;
    ElementScopes& scopes_;
    std::string out_;
    std::size_t root_name_end_ = 0;
    std::vector<bool> drops_;  // whether each open tag's name is written unprefixed
    std::string scratch_;
    std::optional<VelmoError> error_;
};

}  // namespace

Result<std::string> capture_raw_element(xml::Tokenizer& tok, ElementScopes& scopes, const xml::Event& root) {
    return RawCapture(tok, scopes).run(root);
}

}  // namespace velmo::reader
