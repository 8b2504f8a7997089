#include "parser_names.hpp"

namespace quillon::varenna {

ParserNames &parser_names() {
    static ParserNames *names = [] {
        auto *n = new ParserNames();  // never freed: the module's functions use it to the end
        n->s_root = nb::steal(PyUnicode_InternFromString("_root"));
        n->s_section_element = nb::steal(PyUnicode_InternFromString("_section_element"));
        n->s_element_to_dict = nb::steal(PyUnicode_InternFromString("_element_to_dict"));
        return n;
    }();
    return *names;
}

}  // namespace quillon::varenna
