#include "writer/namespaces.hpp"

#include "reader/namespaces.hpp"

namespace velmo::writer {

void declare_ignorable(xml::XmlWriter& w, const std::vector<std::pair<std::string, std::string>>& ignorable) {
    if (ignorable.empty()) return;
    std::string listed;
    for (const auto& [prefix, uri] : ignorable) {
        if (!listed.empty()) listed += ' ';
        listed += prefix;
    }
    w.attr("xmlns:mc", reader::kMarkupCompatibilityNs).attr("mc:Ignorable", listed);
    for (const auto& [prefix, uri] : ignorable) w.attr("xmlns:" + prefix, uri);
}

}  // namespace velmo::writer
