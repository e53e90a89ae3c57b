// parse_grammar and layout: the module's entries to the .lex reader and the layout pass.
//
// parse_grammar hands back plain rule tuples that compile() accepts as they are, so a grammar
// file and a rule list in code are interchangeable.  layout takes plain tuples too (the six
// token fields), numbers their mode names ("default" first, then by first appearance), runs
// the pass with the interpreter lock held (it is linear and cheap), and returns Token objects
// with str lexemes.
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/ref.h"
#include "module/docstrings.h"
#include "module/exceptions.h"
#include "module/functions.h"
#include "module/value_types.h"
#include "tessel/grammar/grammar.h"
#include "tessel/layout.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::ref;

namespace {

PyObject* rule_tuple(const tessel::rule& r) {
    ref modes(PyList_New(static_cast<Py_ssize_t>(r.in_mode.size())));
    if (!modes) return nullptr;
    for (std::size_t i = 0; i < r.in_mode.size(); ++i) {
        PyObject* name = mb::to_python(r.in_mode[i]);
        if (name == nullptr) return nullptr;
        PyList_SetItem(modes.get(), static_cast<Py_ssize_t>(i), name);
    }
    ref action;
    if (!r.action) {
        action = ref::borrow(Py_None);
    } else if (r.action->kind == tessel::transition_kind::pop) {
        action = ref(Py_BuildValue("(s)", "pop"));
    } else {
        const char* kind = r.action->kind == tessel::transition_kind::push ? "push" : "set";
        action = ref(Py_BuildValue("(ss#)", kind, r.action->target.data(),
                                   static_cast<Py_ssize_t>(r.action->target.size())));
    }
    if (!action) return nullptr;
    return Py_BuildValue("(is#OOO)", static_cast<int>(r.kind), r.pattern.data(),
                         static_cast<Py_ssize_t>(r.pattern.size()), r.skip ? Py_True : Py_False,
                         modes.get(), action.get());
}

PyObject* parse_grammar(PyObject*, PyObject* args) {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    const char* origin = "<string>";
    if (!PyArg_ParseTuple(args, "s#|s:parse_grammar", &text, &size, &origin)) return nullptr;
    tessel::grammar g;
    try {
        g = tessel::parse_grammar(std::string_view(text, static_cast<std::size_t>(size)), origin);
    } catch (const tessel::grammar_error& e) {
        return raise_grammar_error(e.what(), static_cast<std::int64_t>(e.line),
                                   static_cast<std::int64_t>(e.column), e.cause);
    }
    ref rules(PyList_New(static_cast<Py_ssize_t>(g.rules.size())));
    if (!rules) return nullptr;
    for (std::size_t i = 0; i < g.rules.size(); ++i) {
        PyObject* t = rule_tuple(g.rules[i]);
        if (t == nullptr) return nullptr;
        PyList_SetItem(rules.get(), static_cast<Py_ssize_t>(i), t);
    }
    ref names(mb::to_python(g.names));
    if (!names) return nullptr;
    return PyTuple_Pack(2, rules.get(), names.get());
}

bool fits_position(Py_ssize_t offset, Py_ssize_t line, Py_ssize_t column) {
    return offset >= 0 && line >= 0 && column >= 0 && static_cast<std::uint64_t>(offset) <= UINT32_MAX &&
           static_cast<std::uint64_t>(line) <= UINT32_MAX && static_cast<std::uint64_t>(column) <= UINT32_MAX;
}

PyObject* layout(PyObject*, PyObject* args) {
    PyObject* tokens_obj = nullptr;
    PyObject* insignificant = nullptr;
    const char* source = nullptr;
    Py_ssize_t source_size = 0;
    const char* tabs = "columns";
    if (!PyArg_ParseTuple(args, "O|Oz#s:layout", &tokens_obj, &insignificant, &source, &source_size, &tabs)) {
        return nullptr;
    }
    const std::string tabs_text = tabs;
    if (tabs_text != "columns" && tabs_text != "python") {
        return PyErr_Format(PyExc_ValueError, "tabs must be 'columns' or 'python', not '%s'", tabs);
    }
    if (tabs_text == "python" && source == nullptr) {
        PyErr_SetString(PyExc_ValueError, "tabs='python' measures the source's indentation: pass source=");
        return nullptr;
    }
    const Py_ssize_t count = PySequence_Size(tokens_obj);
    if (count < 0) return nullptr;
    const std::vector<std::string> quiet = mb::mode_names_arg(insignificant, "insignificant_modes");

    // The items stay referenced for the whole call: the lexemes point into them.
    mb::check_sequence_length(count, "layout: the token sequence");
    std::vector<ref> items;
    items.reserve(mb::reserve_hint(count));
    std::vector<tessel::token> tokens;
    tokens.reserve(mb::reserve_hint(count));
    std::vector<std::string> mode_names{"default"};
    std::unordered_map<std::string, std::uint32_t> mode_index{{"default", 0}};
    for (Py_ssize_t i = 0; i < count; ++i) {
        ref item(PySequence_GetItem(tokens_obj, i));
        if (!item) return nullptr;
        // The argument parser would report a non-tuple as an internal SystemError.
        if (!PyTuple_Check(item.get())) {
            return PyErr_Format(PyExc_TypeError,
                                "layout: token %zd must be a tuple (kind, lexeme, offset, line, column[, mode]), not %s",
                                i, mb::type_name(item.get()).c_str());
        }
        int kind = 0;
        const char* lexeme = nullptr;
        Py_ssize_t lexeme_size = 0, offset = 0, line = 0, column = 0;
        const char* mode = "default";
        if (!PyArg_ParseTuple(item.get(), "is#nnn|s", &kind, &lexeme, &lexeme_size, &offset, &line, &column, &mode)) {
            return nullptr;
        }
        if (!fits_position(offset, line, column)) {
            return PyErr_Format(PyExc_ValueError, "layout: token %zd has a negative or too large offset, line or column", i);
        }
        auto [it, added] = mode_index.try_emplace(mode, static_cast<std::uint32_t>(mode_names.size()));
        if (added) mode_names.emplace_back(mode);
        tessel::token t;
        t.kind = kind;
        t.lexeme = std::string_view(lexeme, static_cast<std::size_t>(lexeme_size));
        t.pos = {static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(line), static_cast<std::uint32_t>(column)};
        t.mode = it->second;
        tokens.push_back(t);
        items.push_back(std::move(item));
    }
    std::vector<bool> significant(mode_names.size(), true);
    for (const std::string& name : quiet) {
        if (auto it = mode_index.find(name); it != mode_index.end()) significant[it->second] = false;
    }
    std::vector<tessel::token> out;
    try {
        std::optional<std::string_view> src;
        if (source != nullptr) src = std::string_view(source, static_cast<std::size_t>(source_size));
        out = tessel::layout(tokens, significant, src,
                             tabs_text == "python" ? tessel::tab_rule::python : tessel::tab_rule::columns);
    } catch (const tessel::layout_error& e) {
        return raise_positioned(e.what(), "LayoutError", e.where.offset, e.where.line, e.where.column);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
        return nullptr;
    }
    std::vector<ref> names(mode_names.size());
    ref list(PyList_New(static_cast<Py_ssize_t>(out.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < out.size(); ++i) {
        ref& name = names[out[i].mode];
        if (!name) {
            name = ref(mb::to_python(mode_names[out[i].mode]));
            if (!name) return nullptr;
        }
        PyObject* tok = make_token(out[i], false, name.get());
        if (tok == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tok);
    }
    return list.release();
}

}  // namespace

PyMethodDef parse_grammar_method() {
    return {"parse_grammar", guarded<parse_grammar>, METH_VARARGS, doc::parse_grammar};
}

PyMethodDef layout_method() { return {"layout", guarded<layout>, METH_VARARGS, doc::layout}; }

}  // namespace tessel::module
