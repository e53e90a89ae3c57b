// Position and Token; see value_types.h.
#include "module/value_types.h"

#include <cstring>
#include <memory>
#include <string>

#include "binding/convert.h"
#include "binding/ref.h"
#include "kestrel/utf8.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::cast_error;
using mb::ref;

namespace {

struct position_record {
    std::int64_t offset;
    std::int64_t line;
    std::int64_t column;
};

// A token keeps its start as plain numbers, so that a token made by the lexer needs no
// Position object until someone asks for one: `position` makes it on first access and keeps
// it.  A token built from Python keeps the Position it was given, and the same numbers copied
// from it (a Position never changes once made).  Equality, hashing, repr and the offset, line
// and column getters read the numbers, which give what the Position would give.
struct token_record {
    token_record(std::int32_t k, std::int64_t o, std::int64_t l, std::int64_t c, ref lx, ref pos,
                 ref m) noexcept
        : kind(k), offset(o), line(l), column(c), lexeme(std::move(lx)), position(std::move(pos)),
          mode(std::move(m)) {}
    std::int32_t kind;
    std::int64_t offset;
    std::int64_t line;
    std::int64_t column;
    ref lexeme;    // str or bytes
    ref position;  // a Position, or empty until first asked for
    ref mode;      // str
};

// Process-wide: the type objects are created once and shared by every module object.
mb::wrapped_type g_position_type("tessel.Position", mb::record_layout::of<position_record>());
mb::wrapped_type g_token_type("tessel.Token", mb::record_layout::of<token_record>());

constexpr std::uint32_t hash_multiplier = 1000003u;

// Reads a 32-bit hash as the signed value it is and keeps -1 free for "error".
Py_hash_t finish_hash(std::uint32_t h) noexcept {
    auto value = static_cast<std::int32_t>(h);
    return value == -1 ? -2 : static_cast<Py_hash_t>(value);
}

// The hash of a Position with these numbers; each contributes its low 32 bits.
Py_hash_t position_hash_of(std::int64_t offset, std::int64_t line, std::int64_t column) noexcept {
    std::uint32_t h = static_cast<std::uint32_t>(offset) ^ 0x345678u;
    h = h * hash_multiplier ^ static_cast<std::uint32_t>(line);
    h = h * hash_multiplier ^ static_cast<std::uint32_t>(column);
    h = h * hash_multiplier;
    return finish_hash(h);
}

// A str of UTF-8 bytes.  Most lexemes are ASCII, and for ASCII bytes Latin-1 decoding makes the
// same str by a plain copy, without the UTF-8 decoder's validation; the check for ASCII reads
// eight bytes at a time.
PyObject* str_of_utf8(const char* data, Py_ssize_t size) noexcept {
    if (kestrel::all_ascii(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size))) {
        return PyUnicode_DecodeLatin1(data, size, nullptr);
    }
    return PyUnicode_DecodeUTF8(data, size, nullptr);
}

// ---- Position ----------------------------------------------------------------------------

position_record& position_of(PyObject* self) {
    return *static_cast<position_record*>(mb::own_record(g_position_type, self));
}

int position_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return mb::guarded_init([&]() -> int {
        auto* obj = reinterpret_cast<mb::wrapped_object*>(self);
        if (obj->record != nullptr) {
            throw cast_error(g_position_type.qualified_name() + " cannot be re-initialized");
        }
        PyObject* a[3];
        if (!g_position_type.init_keywords().parse(args, kwargs, a)) return -1;
        // Column first, then line, then offset: with several bad arguments the message is
        // about the last one given.
        const std::int64_t column = mb::to_int64(a[2]);
        const std::int64_t line = mb::to_int64(a[1]);
        const std::int64_t offset = mb::to_int64(a[0]);
        mb::emplace_record<position_record>(g_position_type, self, position_record{offset, line, column});
        return 0;
    });
}

template <std::int64_t position_record::*Field>
PyObject* position_get(PyObject* self, void*) noexcept {
    return mb::guarded_getter([&] { return PyLong_FromLongLong(position_of(self).*Field); });
}

PyObject* position_repr(PyObject* self) noexcept {
    return mb::guarded_repr([&] {
        const position_record& p = position_of(self);
        return PyUnicode_FromFormat("Position(line=%lld, column=%lld, offset=%lld)",
                                    static_cast<long long>(p.line),
                                    static_cast<long long>(p.column),
                                    static_cast<long long>(p.offset));
    });
}

PyObject* position_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return mb::guarded_compare([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) ||
            !PyObject_TypeCheck(other, g_position_type.require_type())) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const position_record& a = position_of(self);
        const position_record& b = position_of(other);
        const bool equal = a.offset == b.offset && a.line == b.line && a.column == b.column;
        return PyBool_FromLong((op == Py_EQ) == equal);
    });
}

Py_hash_t position_hash(PyObject* self) noexcept {
    return mb::guarded_hash([&] {
        const position_record& p = position_of(self);
        return position_hash_of(p.offset, p.line, p.column);
    });
}

PyGetSetDef position_getset[] = {
    {"offset", position_get<&position_record::offset>, nullptr,
     "0-based byte offset of the position", nullptr},
    {"line", position_get<&position_record::line>, nullptr, "1-based line of the position",
     nullptr},
    {"column", position_get<&position_record::column>, nullptr,
     "1-based column of the position, in the lexer's column unit (bytes by default)", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Token -------------------------------------------------------------------------------

token_record& token_of(PyObject* self) {
    return *static_cast<token_record*>(mb::own_record(g_token_type, self));
}

int token_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return mb::guarded_init([&]() -> int {
        auto* obj = reinterpret_cast<mb::wrapped_object*>(self);
        if (obj->record != nullptr) {
            throw cast_error(g_token_type.qualified_name() + " cannot be re-initialized");
        }
        PyObject* a[4];
        if (!g_token_type.init_keywords().parse(args, kwargs, a)) return -1;
        const std::int32_t kind = mb::to_int32(a[0]);
        const std::string_view mode_text = mb::to_string_view(a[3]);
        ref mode(PyUnicode_FromStringAndSize(mode_text.data(),
                                             static_cast<Py_ssize_t>(mode_text.size())));
        if (!mode) throw mb::error_already_set();
        PyObject* lexeme = a[1];
        if (!PyUnicode_Check(lexeme) && !PyBytes_Check(lexeme)) {
            throw cast_error("Token lexeme must be str or bytes");
        }
        const auto& p = *static_cast<const position_record*>(mb::wrapped_record(g_position_type, a[2]));
        mb::emplace_record<token_record>(g_token_type, self, kind, p.offset, p.line, p.column,
                                         ref::borrow(lexeme), ref::borrow(a[2]), std::move(mode));
        return 0;
    });
}

PyObject* token_get_kind(PyObject* self, void*) noexcept {
    return mb::guarded_getter([&] { return PyLong_FromLong(token_of(self).kind); });
}

template <ref token_record::*Field>
PyObject* token_get_ref(PyObject* self, void*) noexcept {
    return mb::guarded_getter([&] { return ref::borrow((token_of(self).*Field).get()).release(); });
}

// The Position, made from the token's numbers on first access and kept, so that every access
// gives the same object.
PyObject* token_get_position(PyObject* self, void*) noexcept {
    return mb::guarded_getter([&]() -> PyObject* {
        token_record& t = token_of(self);
        if (!t.position) {
            PyObject* made = mb::new_wrapped<position_record>(
                g_position_type, position_record{t.offset, t.line, t.column});
            if (made == nullptr) return nullptr;
            // Should the allocation have let another thread in that made one first, keep that
            // one: every access must give the same object.
            if (!t.position) t.position = ref(made);
            else Py_DECREF(made);
        }
        return ref::borrow(t.position.get()).release();
    });
}

template <std::int64_t token_record::*Field>
PyObject* token_get_number(PyObject* self, void*) noexcept {
    return mb::guarded_getter([&] { return PyLong_FromLongLong(token_of(self).*Field); });
}

PyObject* token_repr(PyObject* self) noexcept {
    return mb::guarded_repr([&]() -> PyObject* {
        const token_record& t = token_of(self);
        ref text(PyUnicode_FromFormat("Token(kind=%d, lexeme=%R, line=%lld, column=%lld, mode=%R)",
                                      static_cast<int>(t.kind), t.lexeme.get(),
                                      static_cast<long long>(t.line), static_cast<long long>(t.column),
                                      t.mode.get()));
        if (!text) {
            PyErr_Clear();
            throw std::runtime_error("Token repr failed");
        }
        if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
            PyErr_Clear();
            throw std::runtime_error("Token repr encode failed");
        }
        return text.release();
    });
}

PyObject* token_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    return mb::guarded_compare([&]() -> PyObject* {
        if ((op != Py_EQ && op != Py_NE) ||
            !PyObject_TypeCheck(other, g_token_type.require_type())) {
            Py_RETURN_NOTIMPLEMENTED;
        }
        const token_record& a = token_of(self);
        const token_record& b = token_of(other);
        // Lexemes, then positions (by their numbers, as Position compares), then modes.
        const auto same = [](const ref& x, const ref& y) {
            int r = PyObject_RichCompareBool(x.get(), y.get(), Py_EQ);
            if (r < 0) {
                PyErr_Clear();
                throw std::runtime_error("Token comparison failed");
            }
            return r == 1;
        };
        const bool equal = a.kind == b.kind && same(a.lexeme, b.lexeme) && a.offset == b.offset &&
                           a.line == b.line && a.column == b.column && same(a.mode, b.mode);
        return PyBool_FromLong((op == Py_EQ) == equal);
    });
}

Py_hash_t token_hash(PyObject* self) noexcept {
    return mb::guarded_hash([&] {
        const token_record& t = token_of(self);
        const auto hash_of = [](const ref& part) {
            Py_hash_t ph = PyObject_Hash(part.get());
            if (ph == -1 && PyErr_Occurred() != nullptr) {
                PyErr_Clear();
                throw std::runtime_error("Token hash failed");
            }
            return static_cast<std::uint32_t>(ph);
        };
        std::uint32_t h = static_cast<std::uint32_t>(t.kind) ^ 0x9e3779b9u;
        h = h * hash_multiplier ^ hash_of(t.lexeme);
        h = h * hash_multiplier ^ static_cast<std::uint32_t>(position_hash_of(t.offset, t.line, t.column));
        h = h * hash_multiplier ^ hash_of(t.mode);
        h = h * hash_multiplier;
        return finish_hash(h);
    });
}

PyGetSetDef token_getset[] = {
    {"kind", token_get_kind, nullptr, "the token kind (int)", nullptr},
    {"lexeme", token_get_ref<&token_record::lexeme>, nullptr, "the matched text (str or bytes)",
     nullptr},
    {"position", token_get_position, nullptr,
     "the Position of the first byte", nullptr},
    {"mode", token_get_ref<&token_record::mode>, nullptr,
     "the name of the mode the token was lexed in", nullptr},
    {"offset", token_get_number<&token_record::offset>, nullptr,
     "position.offset \xe2\x80\x94 0-based byte offset", nullptr},
    {"line", token_get_number<&token_record::line>, nullptr, "position.line \xe2\x80\x94 1-based line",
     nullptr},
    {"column", token_get_number<&token_record::column>, nullptr,
     "position.column \xe2\x80\x94 1-based column, in the lexer's column unit", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool add_value_types(PyObject* module) noexcept {
    if (!g_position_type.init_keywords().fill(
            {{"offset", nullptr}, {"line", nullptr}, {"column", nullptr}})) {
        return false;
    }
    ref default_mode(PyUnicode_FromString("default"));
    if (!default_mode) return false;
    if (!g_token_type.init_keywords().fill({{"kind", nullptr},
                                            {"lexeme", nullptr},
                                            {"position", nullptr},
                                            {"mode", default_mode.get()}})) {
        return false;
    }
    mb::type_slots position_slots;
    position_slots.dealloc = mb::dealloc_wrapped<position_record>;
    position_slots.getset = position_getset;
    position_slots.repr = position_repr;
    position_slots.richcompare = position_richcompare;
    position_slots.hash = position_hash;
    position_slots.init = position_init;
    mb::type_slots token_slots;
    token_slots.dealloc = mb::dealloc_wrapped<token_record>;
    token_slots.getset = token_getset;
    token_slots.repr = token_repr;
    token_slots.richcompare = token_richcompare;
    token_slots.hash = token_hash;
    token_slots.init = token_init;
    return g_position_type.add_to_module(module, position_slots) &&
           g_token_type.add_to_module(module, token_slots);
}

PyObject* make_token(const tessel::token& tok, bool lexeme_bytes, PyObject* mode_name) noexcept {
    // An empty lexeme is made from an empty buffer, never from a null view.
    const char* data = tok.lexeme.empty() ? "" : tok.lexeme.data();
    const auto size = static_cast<Py_ssize_t>(tok.lexeme.size());
    ref lexeme(lexeme_bytes ? PyBytes_FromStringAndSize(data, size) : str_of_utf8(data, size));
    if (!lexeme) return nullptr;
    return mb::new_wrapped<token_record>(g_token_type, tok.kind, tok.pos.offset, tok.pos.line,
                                         tok.pos.column, std::move(lexeme), ref(),
                                         ref::borrow(mode_name));
}

PyObject* shifted_token(PyObject* tok, std::int64_t d_offset, std::int64_t d_line, std::int64_t column_line,
                        std::int64_t d_column) {
    const auto& t = *static_cast<const token_record*>(mb::wrapped_record(g_token_type, tok));
    return mb::new_wrapped<token_record>(g_token_type, t.kind, t.offset + d_offset, t.line + d_line,
                                         t.line == column_line ? t.column + d_column : t.column,
                                         ref::borrow(t.lexeme.get()), ref(), ref::borrow(t.mode.get()));
}

}  // namespace tessel::module
