#include "section_holder.hpp"

#include "xml_etree.hpp"

namespace quillon::varenna {

namespace {

int section_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    NativeSection *ns = nb::inst_ptr<NativeSection>(self);
    Py_VISIT(ns->etree.ptr());
    return 0;
}

int section_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    nb::object etree = std::move(nb::inst_ptr<NativeSection>(self)->etree);
    return 0;
}

PyType_Slot section_slots[] = {
    {Py_tp_traverse, (void *) section_traverse},
    {Py_tp_clear, (void *) section_clear},
    {0, nullptr},
};

}  // namespace

void register_section_holder(nb::module_ &m) {
    nb::class_<NativeSection>(m, "_NativeSection",
                              "A section element of a natively parsed result document.",
                              nb::type_slots(section_slots))
        .def("__reduce_ex__", [](nb::handle self, nb::handle) { return xml::reduce_to(native_section_etree(self)); })
        .def("__deepcopy__", [](nb::handle self, nb::handle memo) {
            return nb::module_::import_("copy").attr("deepcopy")(native_section_etree(self), memo);
        });
}

bool is_native_section(nb::handle obj) { return nb::isinstance<NativeSection>(obj); }

nb::object wrap_native_section(const xml::TreePtr &tree, uint32_t node) {
    return nb::cast(NativeSection{tree, node, {}}, nb::rv_policy::move);
}

nb::object native_section_etree(nb::handle holder) {
    NativeSection &ns = nb::cast<NativeSection &>(holder);
    if (!ns.etree.is_valid()) ns.etree = xml::to_etree(*ns.tree, ns.node);
    return ns.etree;
}

void clear_native_section(nb::handle holder) {
    NativeSection &ns = nb::cast<NativeSection &>(holder);
    xml::clear_when_unread(*ns.tree, ns.node);
    if (ns.etree.is_valid()) {
        nb::object etree = ns.etree;
        etree.attr("clear")();
    }
}

}  // namespace quillon::varenna
