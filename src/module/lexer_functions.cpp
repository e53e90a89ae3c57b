// The lexer functions of the module: compile, the three inspection wrappers, end_of, eager
// tokenize and the lazy scan.
//
// Each converts its arguments with the binding layer, calls the lexer and converts results
// back; each is registered through the module's one guard (functions.h), which turns a
// lexing error into LexError and anything else unexpected into the one translation rule.  tokenize gives
// the interpreter lock up for texts of 4096 bytes or more: the lexer is immutable, and the
// text's bytes are read through the pointer taken before the release, so no Python object is
// touched meanwhile.
#include <cstdint>
#include <string>
#include <unordered_map>

#include "binding/capsule.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/ref.h"
#include "binding/typed_wrapper.h"
#include "kestrel/regex_error.h"
#include "module/docstrings.h"
#include "module/exceptions.h"
#include "module/functions.h"
#include "module/handles.h"
#include "module/value_types.h"
#include "tessel/mode_dfa.h"
#include "tessel/position.h"
#include "tessel/runtime.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::ref;

const tessel::lexer* lexer_of(PyObject* handle) noexcept {
    auto* h = static_cast<lexer_handle*>(PyCapsule_GetPointer(handle, lexer_capsule));
    return h != nullptr ? h->lexer.get() : nullptr;
}

PyObject* token_object(const tessel::lexer& lx, const tessel::token& tok, bool lexeme_bytes) noexcept {
    const std::string_view name = lx.mode_name(tok.mode);
    ref mode(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!mode) return nullptr;
    return make_token(tok, lexeme_bytes, mode.get());
}

PyObject* token_list(const tessel::lexer& lx, const std::vector<tessel::token>& tokens,
                     bool lexeme_bytes) noexcept {
    try {
        // One str per mode that occurs, made when it first does (sized by the modes seen, so
        // a lexer of many modes costs nothing extra per call).
        std::vector<ref> names;
        ref list(PyList_New(static_cast<Py_ssize_t>(tokens.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < tokens.size(); ++i) {
            if (tokens[i].mode >= names.size()) names.resize(tokens[i].mode + std::size_t{1});
            ref& name = names[tokens[i].mode];
            if (!name) {
                const std::string_view text = lx.mode_name(tokens[i].mode);
                name = ref(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
                if (!name) return nullptr;
            }
            PyObject* tok = make_token(tokens[i], lexeme_bytes, name.get());
            if (tok == nullptr) return nullptr;
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tok);  // steals tok
        }
        return list.release();
    } catch (...) {
        mb::translate_exception();
        return nullptr;
    }
}

PyObject* raise_lex_error(const tessel::lex_error& e, PyObject* tokens) noexcept {
    return raise_positioned(e.what(), "LexError", e.where.offset, e.where.line, e.where.column, tokens);
}

namespace {

// The rule tuple's fifth field.
std::optional<tessel::transition> convert_action(PyObject* action) {
    if (action == nullptr || action == Py_None) return std::nullopt;
    const char* first = nullptr;
    const char* second = nullptr;
    if (!PyTuple_Check(action) || !PyArg_ParseTuple(action, "s|s", &first, &second)) {
        PyErr_Clear();
        throw std::runtime_error(
            "action must be None or a tuple (\"push\", mode) / (\"set\", mode) / (\"pop\",)");
    }
    const std::string kind = first;
    tessel::transition t;
    if (kind == "push" || kind == "set") {
        if (second == nullptr) throw std::runtime_error("'" + kind + "' action needs a target mode");
        t.kind = kind == "push" ? tessel::transition_kind::push : tessel::transition_kind::set;
        t.target = second;
        return t;
    }
    if (kind == "pop") {
        if (second != nullptr) throw std::runtime_error("'pop' action takes no extra argument");
        t.kind = tessel::transition_kind::pop;
        return t;
    }
    throw std::runtime_error("unknown action '" + kind + "' (expected push, pop or set)");
}

PyObject* compile(PyObject*, PyObject* args) {
    PyObject* rules = nullptr;
    PyObject* dfa_modes = nullptr;
    const char* errors = nullptr;
    const char* columns = nullptr;
    const char* dfa = nullptr;
    if (!PyArg_ParseTuple(args, "O|Ozzz:compile", &rules, &dfa_modes, &errors, &columns, &dfa)) {
        return nullptr;
    }
    tessel::lexer_options options;
    const std::string dfa_text = dfa != nullptr ? dfa : "auto";
    if (dfa_text != "auto" && dfa_text != "requested") {
        return PyErr_Format(PyExc_ValueError, "dfa must be 'auto' or 'requested', not '%s'", dfa);
    }
    options.dfa = dfa_text == "auto" ? tessel::dfa_choice::automatic : tessel::dfa_choice::requested;
    options.dfa_modes = mb::mode_names_arg(dfa_modes, "dfa_modes");
    const std::string errors_text = errors != nullptr ? errors : "raise";
    if (errors_text == "raise") {
        options.errors = tessel::error_policy::raise;
    } else if (errors_text == "token") {
        options.errors = tessel::error_policy::token;
    } else {
        return PyErr_Format(PyExc_ValueError, "errors must be 'raise' or 'token', not '%s'", errors);
    }
    const std::string columns_text = columns != nullptr ? columns : "bytes";
    if (columns_text == "bytes") {
        options.columns = tessel::column_unit::bytes;
    } else if (columns_text == "codepoints") {
        options.columns = tessel::column_unit::codepoints;
    } else if (columns_text == "utf16") {
        options.columns = tessel::column_unit::utf16;
    } else {
        return PyErr_Format(PyExc_ValueError,
                            "columns must be 'bytes', 'codepoints', or 'utf16', not '%s'", columns);
    }

    const Py_ssize_t count = PySequence_Size(rules);
    if (count < 0) return nullptr;
    std::vector<tessel::rule> native;
    mb::check_sequence_length(count, "compile: the rule sequence");
    native.reserve(mb::reserve_hint(count));
    std::unordered_map<std::string, kestrel::regex> compiled;
    for (Py_ssize_t i = 0; i < count; ++i) {
        ref item(PySequence_GetItem(rules, i));
        if (!item) return nullptr;
        // The argument parser would report a non-tuple as an internal SystemError; say
        // what is wrong instead.
        if (!PyTuple_Check(item.get())) {
            return PyErr_Format(PyExc_TypeError,
                                "rule %zd must be a tuple (kind, pattern, skip[, in_mode[, action]]), not %s",
                                i, mb::type_name(item.get()).c_str());
        }
        int kind = 0;
        const char* pattern = nullptr;
        int skip = 0;
        PyObject* in_mode = nullptr;
        PyObject* action = nullptr;
        if (!PyArg_ParseTuple(item.get(), "isp|OO", &kind, &pattern, &skip, &in_mode, &action)) {
            return nullptr;
        }
        std::vector<std::string> modes = mb::mode_names_arg(in_mode, "in_mode");
        std::optional<tessel::transition> transition = convert_action(action);
        // A pattern that an earlier rule already has shares that rule's compiled program.
        auto known = compiled.find(pattern);
        if (known == compiled.end()) {
            try {
                known = compiled.emplace(std::string(pattern), kestrel::regex(pattern)).first;
            } catch (const kestrel::regex_error& e) {
                PyErr_Format(mb::error_class(), "rule %zd: %s", i, e.what());
                return nullptr;
            }
        }
        native.push_back(tessel::rule{kind, pattern, known->second, skip != 0, std::move(modes),
                                      std::move(transition)});
    }
    auto handle = std::make_unique<lexer_handle>();
    try {
        handle->lexer = std::make_shared<const tessel::lexer>(std::move(native), std::move(options));
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(mb::error_class(), e.what());
        return nullptr;
    }
    return mb::make_capsule(std::move(handle), lexer_capsule);
}

std::vector<std::string> dfa_modes_active(const lexer_handle& h) { return h.lexer->dfa_modes_active(); }

std::vector<std::int32_t> pike_rules(const lexer_handle& h, std::string mode) {
    return h.lexer->pike_rules(mode);
}

std::string column_unit(const lexer_handle& h) {
    switch (h.lexer->columns()) {
    case tessel::column_unit::codepoints: return "codepoints";
    case tessel::column_unit::utf16: return "utf16";
    default: return "bytes";
    }
}

PyObject* end_of(PyObject*, PyObject* args) {
    PyObject *handle, *text_obj, *lexeme_obj;
    Py_ssize_t offset, line, column;
    if (!PyArg_ParseTuple(args, "OOOnnn:end_of", &handle, &text_obj, &lexeme_obj, &offset, &line, &column)) {
        return nullptr;
    }
    const tessel::lexer* lx = lexer_of(handle);
    if (lx == nullptr) return nullptr;
    const auto text = mb::to_text(text_obj);
    if (!text) return nullptr;
    const auto lexeme = mb::to_text(lexeme_obj);
    if (!lexeme) return nullptr;
    const std::string_view t = text->bytes;
    const std::string_view l = lexeme->bytes;
    const bool valid = offset >= 0 && line > 0 && column > 0 && line <= UINT32_MAX &&
                       column <= UINT32_MAX && t.size() <= tessel::max_text_bytes &&
                       static_cast<std::size_t>(offset) <= t.size() &&
                       l.size() <= t.size() - static_cast<std::size_t>(offset) &&
                       t.compare(static_cast<std::size_t>(offset), l.size(), l) == 0;
    if (!valid) {
        PyErr_SetString(PyExc_ValueError, "end_of: the token was not lexed from this source");
        return nullptr;
    }
    tessel::position pos{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(line),
                         static_cast<std::uint32_t>(column)};
    // The end must still fit the 32-bit line and column counters (only a made-up position
    // can fail this: each byte adds at most one line or one column).
    if (!tessel::advance_fits(pos, l.size())) {
        PyErr_SetString(PyExc_ValueError, tessel::end_past_limit_message);
        return nullptr;
    }
    if (!l.empty()) {
        tessel::advance_position(reinterpret_cast<const std::uint8_t*>(t.data()),
                                 static_cast<std::uint32_t>(t.size()), pos,
                                 static_cast<std::uint32_t>(l.size()), lx->columns());
    }
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(pos.offset), static_cast<Py_ssize_t>(pos.line),
                         static_cast<Py_ssize_t>(pos.column));
}

PyObject* tokenize(PyObject*, PyObject* args) {
    PyObject *handle, *text_obj;
    int eof = 0;
    if (!PyArg_ParseTuple(args, "OO|p:tokenize", &handle, &text_obj, &eof)) return nullptr;
    const tessel::lexer* lx = lexer_of(handle);
    if (lx == nullptr) return nullptr;
    const auto text = mb::to_text(text_obj);
    if (!text) return nullptr;
    std::vector<tessel::token> tokens;
    {
        mb::gil_release unlocked(mb::should_release(text->bytes.size()));
        tokens = tessel::tokenize(*lx, text->bytes, eof != 0);
    }
    return token_list(*lx, tokens, text->is_bytes);
}

PyObject* scan_start(PyObject*, PyObject* args) {
    PyObject *handle, *text_obj;
    int eof = 0;
    if (!PyArg_ParseTuple(args, "OO|p:scan_start", &handle, &text_obj, &eof)) return nullptr;
    auto* h = static_cast<lexer_handle*>(PyCapsule_GetPointer(handle, lexer_capsule));
    if (h == nullptr) return nullptr;
    const auto text = mb::to_text(text_obj);
    if (!text) return nullptr;
    auto holder = std::make_unique<scan_holder>();
    holder->handle = ref::borrow(handle);
    holder->text = ref::borrow(text_obj);
    holder->lexeme_bytes = text->is_bytes;
    holder->cursor = tessel::scan_cursor(h->lexer, text->bytes, eof != 0);
    holder->cursor.advance();  // a lexing error here discards the cursor
    return mb::make_capsule(std::move(holder), scan_capsule);
}

// Leaves a scan cursor at its end state unless dismissed: whatever makes scan_next fail (a
// lexing error, a lexeme that cannot become a str, memory) finishes the cursor, so that every
// later call returns None instead of going on after the failure.
class finish_on_failure {
public:
    explicit finish_on_failure(scan_holder& s) noexcept : s_(&s) {}
    finish_on_failure(const finish_on_failure&) = delete;
    finish_on_failure& operator=(const finish_on_failure&) = delete;
    ~finish_on_failure() {
        if (s_ != nullptr) s_->cursor = s_->end;
    }
    PyObject* succeed(PyObject* result) noexcept {
        if (result != nullptr) s_ = nullptr;
        return result;
    }

private:
    scan_holder* s_;
};

PyObject* scan_next(PyObject*, PyObject* args) {
    PyObject* capsule;
    if (!PyArg_ParseTuple(args, "O:scan_next", &capsule)) return nullptr;
    auto* s = static_cast<scan_holder*>(PyCapsule_GetPointer(capsule, scan_capsule));
    if (s == nullptr) return nullptr;
    if (s->cursor == s->end) Py_RETURN_NONE;
    finish_on_failure finish(*s);
    if (s->returned) {
        s->cursor.advance();
        if (s->cursor.exhausted()) Py_RETURN_NONE;  // at the end state anyway
    }
    s->returned = true;
    const tessel::lexer& lx = *static_cast<lexer_handle*>(
        PyCapsule_GetPointer(s->handle.get(), lexer_capsule))->lexer;
    return finish.succeed(token_object(lx, s->cursor.current(), s->lexeme_bytes));
}

constexpr const char* dfa_report_doc =
    "dfa_report(handle) -> list[tuple[str, list[tuple[int, str, str]]]]\n"
    "Where each rule of each mode runs: for every mode, in mode order, its name and a list of\n"
    "(rule index, 'dfa' or 'per-rule', reason).  The reason is empty for a rule on the DFA;\n"
    "otherwise it says why the rule stays on the per-rule path: the construct a DFA cannot\n"
    "represent, the longest-agreement check's answer, or why the mode has no DFA.";

PyObject* dfa_report(PyObject*, PyObject* args) {
    PyObject* handle;
    if (!PyArg_ParseTuple(args, "O:dfa_report", &handle)) return nullptr;
    const tessel::lexer* lx = lexer_of(handle);
    if (lx == nullptr) return nullptr;
    ref modes(PyList_New(0));
    if (!modes) return nullptr;
    for (const tessel::mode_placement& place : lx->placements()) {
        ref rules(PyList_New(0));
        if (!rules) return nullptr;
        for (const tessel::rule_placement& p : place.rules) {
            ref entry(Py_BuildValue("(nss#)", static_cast<Py_ssize_t>(p.rule), p.on_dfa ? "dfa" : "per-rule",
                                    p.reason.data(), static_cast<Py_ssize_t>(p.reason.size())));
            if (!entry || PyList_Append(rules.get(), entry.get()) < 0) return nullptr;
        }
        const std::string_view name = lx->mode_name(place.mode);
        ref item(Py_BuildValue("(s#O)", name.data(), static_cast<Py_ssize_t>(name.size()), rules.get()));
        if (!item || PyList_Append(modes.get(), item.get()) < 0) return nullptr;
    }
    return modes.release();
}

}  // namespace

std::vector<PyMethodDef> lexer_methods_before_version() {
    return {
        {"compile", guarded<compile>, METH_VARARGS, doc::compile},
        {"dfa_modes_active", mb::typed_function<&dfa_modes_active>, METH_VARARGS, doc::dfa_modes_active},
        {"pike_rules", mb::typed_function<&pike_rules>, METH_VARARGS, doc::pike_rules},
        {"column_unit", mb::typed_function<&column_unit>, METH_VARARGS, doc::column_unit},
        {"dfa_report", guarded<dfa_report>, METH_VARARGS, dfa_report_doc},
    };
}

std::vector<PyMethodDef> lexer_methods_after_grammar() {
    return {
        {"end_of", guarded<end_of>, METH_VARARGS, doc::end_of},
        {"tokenize", guarded<tokenize>, METH_VARARGS, doc::tokenize},
        {"scan_start", guarded<scan_start>, METH_VARARGS, doc::scan_start},
        {"scan_next", guarded<scan_next>, METH_VARARGS, doc::scan_next},
    };
}

}  // namespace tessel::module
