#include "model/conditional_formatting.hpp"

namespace velmo {

ConditionalRule ConditionalRule::formula(std::vector<std::string> formulas, Dxf dxf) {
    ConditionalRule r;
    r.rule_type = "expression";
    r.formulas = std::move(formulas);
    r.dxf = std::move(dxf);
    return r;
}

ConditionalRule ConditionalRule::cell_is(std::string op, std::vector<std::string> formulas, Dxf dxf) {
    ConditionalRule r = formula(std::move(formulas), std::move(dxf));
    r.rule_type = "cellIs";
    r.op = std::move(op);  // present even when empty
    return r;
}

}  // namespace velmo
