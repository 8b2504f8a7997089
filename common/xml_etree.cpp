#include "xml_etree.hpp"

#include <vector>

namespace quillon::xml {

namespace {

struct EtreeNames {
    PyObject *element;     // xml.etree.ElementTree.Element
    PyObject *subelement;  // xml.etree.ElementTree.SubElement
    PyObject *text;
    PyObject *tail;
    PyObject *tag;
    PyObject *append;
};

EtreeNames *etree_names = nullptr;  // made by load_etree(), kept for the life of the process

const EtreeNames &names() { return *etree_names; }

}  // namespace

void load_etree() {
    if (etree_names) return;
    nb::module_ et = nb::module_::import_("xml.etree.ElementTree");
    auto interned = [](const char *text) {
        PyObject *s = PyUnicode_InternFromString(text);
        if (!s) throw nb::python_error();
        return s;
    };
    etree_names = new EtreeNames{nb::object(et.attr("Element")).release().ptr(),
                                 nb::object(et.attr("SubElement")).release().ptr(), interned("text"),
                                 interned("tail"), interned("tag"), interned("append")};
}

nb::object reduce_to(nb::handle element) {
    nb::object getitem = nb::module_::import_("operator").attr("getitem");
    return nb::make_tuple(getitem, nb::make_tuple(nb::make_tuple(element), 0));
}

nb::object to_etree(const Tree &tree, uint32_t node, const std::function<nb::object(uint32_t)> &reuse,
                    bool with_tail) {
    const EtreeNames &n = names();
    ReadLock lock(tree);
    std::vector<nb::object> tags(tree.tags.size());
    auto tag_of = [&](uint32_t id) -> nb::object {
        if (!tags[id].is_valid()) {
            const Tag &t = tree.tags[id];
            tags[id] = t.is_foreign() ? t.foreign
                                      : nb::steal(PyUnicode_DecodeUTF8(t.name.data(), (Py_ssize_t) t.name.size(), "surrogatepass"));
            if (!tags[id].is_valid()) throw nb::python_error();
        }
        return tags[id];
    };
    auto attributes_of = [&](const Node &nd) -> nb::dict {
        nb::dict attrib;
        for (uint32_t a = 0; a < nd.attribute_count; ++a) {
            const Attribute &at = tree.attributes[nd.first_attribute + a];
            const std::string shown = shown_name(tree.view(at.name));
            nb::str key(shown.data(), shown.size());
            attrib[key] = tree.text_object(at.value);
        }
        return attrib;
    };
    auto make = [&](uint32_t id, PyObject *parent) -> nb::object {
        const Node &nd = tree.nodes[id];
        nb::object tag = tag_of(nd.tag);
        nb::object e;
        if (parent) {
            e = nd.attribute_count ? nb::steal(PyObject_CallFunctionObjArgs(n.subelement, parent, tag.ptr(), attributes_of(nd).ptr(), nullptr))
                                   : nb::steal(PyObject_CallFunctionObjArgs(n.subelement, parent, tag.ptr(), nullptr));
        } else {
            e = nd.attribute_count ? nb::steal(PyObject_CallFunctionObjArgs(n.element, tag.ptr(), attributes_of(nd).ptr(), nullptr))
                                   : nb::steal(PyObject_CallOneArg(n.element, tag.ptr()));
        }
        if (!e.is_valid()) throw nb::python_error();
        if (!nd.text.is_none() && PyObject_SetAttr(e.ptr(), n.text, tree.text_object(nd.text).ptr()) < 0)
            throw nb::python_error();
        if (parent && !nd.tail.is_none() && PyObject_SetAttr(e.ptr(), n.tail, tree.text_object(nd.tail).ptr()) < 0)
            throw nb::python_error();
        return e;
    };

    nb::object root = make(node, nullptr);
    if (with_tail && !tree.nodes[node].tail.is_none() &&
        PyObject_SetAttr(root.ptr(), n.tail, tree.text_object(tree.nodes[node].tail).ptr()) < 0)
        throw nb::python_error();
    // Depth-first with an explicit stack of (element, next child to build).
    std::vector<std::pair<nb::object, uint32_t>> stack;
    stack.emplace_back(root, tree.nodes[node].first_child);
    while (!stack.empty()) {
        auto &top = stack.back();
        const uint32_t child = top.second;
        if (child == kNone) {
            stack.pop_back();
            continue;
        }
        top.second = tree.nodes[child].next_sibling;
        nb::object existing = reuse ? reuse(child) : nb::object();
        if (existing.is_valid()) {
            nb::object r = nb::steal(PyObject_CallMethodOneArg(top.first.ptr(), n.append, existing.ptr()));
            if (!r.is_valid()) throw nb::python_error();
            continue;
        }
        nb::object e = make(child, top.first.ptr());
        stack.emplace_back(std::move(e), tree.nodes[child].first_child);
    }
    return root;
}

TreePtr from_etree(nb::handle element) {
    const EtreeNames &n = names();
    auto tree = std::make_shared<Tree>();
    Tree &t = *tree;

    auto set_text = [&](Span &s, PyObject *value) {
        if (value == Py_None) return;
        if (PyUnicode_Check(value)) {
            Py_ssize_t len;
            const char *utf8 = PyUnicode_AsUTF8AndSize(value, &len);
            if (!utf8) {
                // Lone surrogates: keep the string object itself.
                PyErr_Clear();
            } else {
                if (t.chars.size() + (size_t) len >= Span::kIndent) throw std::bad_alloc();
                s.offset = (uint32_t) t.chars.size();
                s.length = (uint32_t) len;
                t.chars.append(utf8, (size_t) len);
                return;
            }
        }
        s.offset = Span::kForeign;
        s.length = (uint32_t) t.foreign.size();
        t.foreign.push_back(nb::borrow(value));
    };
    auto add = [&](nb::handle e, uint32_t parent, uint32_t previous, bool with_tail) -> uint32_t {
        nb::object tag = nb::steal(PyObject_GetAttr(e.ptr(), n.tag));
        if (!tag.is_valid()) throw nb::python_error();
        uint32_t tag_id;
        if (PyUnicode_Check(tag.ptr())) {
            Py_ssize_t len;
            const char *utf8 = PyUnicode_AsUTF8AndSize(tag.ptr(), &len);
            if (utf8) tag_id = t.intern_shown(std::string_view(utf8, (size_t) len));
            else {
                PyErr_Clear();
                tag_id = t.intern_foreign(tag);
            }
        } else {
            tag_id = t.intern_foreign(tag);
        }
        const uint32_t id = t.add_node(tag_id, parent, previous);
        nb::object text = nb::steal(PyObject_GetAttr(e.ptr(), n.text));
        if (!text.is_valid()) throw nb::python_error();
        set_text(t.nodes[id].text, text.ptr());
        if (with_tail) {
            nb::object tail = nb::steal(PyObject_GetAttr(e.ptr(), n.tail));
            if (!tail.is_valid()) throw nb::python_error();
            set_text(t.nodes[id].tail, tail.ptr());
        }
        return id;
    };

    add(element, kNone, kNone, false);
    struct Frame {
        nb::object element;
        uint32_t node;
        Py_ssize_t next;
        Py_ssize_t count;
        uint32_t last_child;
    };
    std::vector<Frame> stack;
    auto push = [&](nb::object e, uint32_t node) {
        const Py_ssize_t count = PySequence_Size(e.ptr());
        if (count < 0) throw nb::python_error();
        stack.push_back(Frame{std::move(e), node, 0, count, kNone});
    };
    push(nb::borrow(element), 0);
    while (!stack.empty()) {
        Frame &f = stack.back();
        if (f.next >= f.count) {
            stack.pop_back();
            continue;
        }
        nb::object child = nb::steal(PySequence_GetItem(f.element.ptr(), f.next++));
        if (!child.is_valid()) throw nb::python_error();
        const uint32_t id = add(child, f.node, f.last_child, true);
        f.last_child = id;
        push(std::move(child), id);
    }
    return tree;
}

}  // namespace quillon::xml
