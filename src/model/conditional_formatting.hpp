#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "model/styles.hpp"

namespace velmo {

struct ConditionalRule {
    std::string rule_type;
    std::vector<std::string> formulas;
    std::vector<std::pair<std::string, std::string>> extra_attributes;  // (name, value) as read
    std::string extra_children_xml;  // unmodelled child elements, verbatim
    std::optional<std::string> op;   // the "operator" of a cellIs rule
    std::optional<Dxf> dxf;
    std::optional<uint32_t> priority;
    std::optional<uint32_t> dxf_id;
    bool stop_if_true = false;

    static ConditionalRule formula(std::vector<std::string> formulas, Dxf dxf);
    static ConditionalRule cell_is(std::string op, std::vector<std::string> formulas, Dxf dxf);
};

struct ConditionalFormatting {
    std::string sqref;  // A1 ranges separated by white space
    std::vector<ConditionalRule> rules;
};

}  // namespace velmo
