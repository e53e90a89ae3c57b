// The binding layer's conversions and error translation, exercised in an embedded interpreter
// (most of them are reached from Python only through module functions that later work adds).
// The test itself uses the full API (PyRun_String, PyGILState_Check) to drive and inspect the
// interpreter, so it includes Python.h before the binding headers pin the limited API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/busy.h"
#include "binding/capsule.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/heap_type.h"
#include "binding/ref.h"
#include "binding/typed_wrapper.h"

namespace mb = morrow::binding;
using mb::ref;

namespace {

class interpreter : public ::testing::Environment {
public:
    void SetUp() override { Py_Initialize(); }
    // The interpreter is left running: finalising it would race the static destructors.
};
const auto* const g_env = ::testing::AddGlobalTestEnvironment(new interpreter);

ref eval(const char* expr) {
    ref globals(PyDict_New());
    PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins());
    ref result(PyRun_String(expr, Py_eval_input, globals.get(), globals.get()));
    if (!result) {
        PyErr_Print();
        ADD_FAILURE() << "could not evaluate " << expr;
    }
    return result;
}

// The pending Python error as "TypeName: message", cleared.
std::string take_error() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (type == nullptr) return "<none>";
    PyErr_NormalizeException(&type, &value, &tb);
    ref t(type), v(value), b(tb);
    ref name(PyObject_GetAttrString(type, "__name__"));
    ref text(PyObject_Str(value));
    return std::string(PyUnicode_AsUTF8AndSize(name.get(), nullptr)) + ": " +
           PyUnicode_AsUTF8AndSize(text.get(), nullptr);
}

template <class F>
std::string cast_message(F&& f) {
    try {
        f();
    } catch (const mb::cast_error& e) {
        return e.what();
    }
    return "<no cast_error>";
}

TEST(Conversions, Strings) {
    EXPECT_EQ(mb::to_string(eval("'h\\u00e9'").get()), "h\xc3\xa9");
    EXPECT_EQ(mb::to_string(eval("type('S', (str,), {})('sub')").get()), "sub");
    EXPECT_EQ(cast_message([] { mb::to_string(eval("b'x'").get()); }), "expected str, got bytes");
    EXPECT_EQ(cast_message([] { mb::to_string(eval("None").get()); }),
              "expected str, got NoneType");
}

TEST(Conversions, Integers) {
    struct row {
        const char* expr;
        const char* message64;  // nullptr: converts
        const char* message32;
    };
    const row rows[] = {
        {"0", nullptr, nullptr},
        {"True", nullptr, nullptr},
        {"2**31 - 1", nullptr, nullptr},
        {"-2**31", nullptr, nullptr},
        {"2**31", nullptr, "int out of range"},
        {"-2**31 - 1", nullptr, "int out of range"},
        {"2**63 - 1", nullptr, "int out of range"},
        {"2**63", "int out of range", "int out of range"},
        {"-2**63 - 1", "int out of range", "int out of range"},
        {"1.0", "expected int, got float", "expected int, got float"},
        {"'1'", "expected int, got str", "expected int, got str"},
    };
    for (const row& r : rows) {
        ref v = eval(r.expr);
        std::string m64 = cast_message([&] { mb::to_int64(v.get()); });
        std::string m32 = cast_message([&] { mb::to_int32(v.get()); });
        EXPECT_EQ(m64, r.message64 ? r.message64 : "<no cast_error>") << r.expr;
        EXPECT_EQ(m32, r.message32 ? r.message32 : "<no cast_error>") << r.expr;
    }
    EXPECT_EQ(mb::to_int64(eval("-2**63").get()), INT64_MIN);
    EXPECT_EQ(mb::to_int32(eval("-2**31").get()), INT32_MIN);
}

TEST(Conversions, TypeNameFallsBackToQuestionMark) {
    // A metaclass whose __name__ lookup raises: the name becomes "?" and no error is left.
    ref obj = eval(
        "type('M', (type,), {'__getattribute__': lambda c, n: (_ for _ in ()).throw("
        "AttributeError(n)) if n == '__name__' else type.__getattribute__(c, n)})"
        "('X', (), {})()");
    EXPECT_EQ(mb::type_name(obj.get()), "?");
    EXPECT_EQ(PyErr_Occurred(), nullptr);
}

TEST(Conversions, Text) {
    auto bytes = eval("b'a\\x00\\xff'");
    auto t = mb::to_text(bytes.get());
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->is_bytes);
    EXPECT_EQ(t->bytes, std::string_view("a\0\xff", 3));
    auto s = mb::to_text(eval("'\\u00e9'").get());
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->is_bytes);
    EXPECT_EQ(s->bytes, "\xc3\xa9");
    EXPECT_FALSE(mb::to_text(eval("bytearray(b'x')").get()));
    EXPECT_EQ(take_error(), "TypeError: expected str or bytes");
    EXPECT_FALSE(mb::to_text(eval("'\\ud800'").get()));
    EXPECT_EQ(take_error().rfind("UnicodeEncodeError", 0), 0u);
}

TEST(Conversions, ModeNames) {
    EXPECT_TRUE(mb::mode_names_arg(nullptr, "in_mode").empty());
    EXPECT_TRUE(mb::mode_names_arg(eval("None").get(), "in_mode").empty());
    EXPECT_EQ(mb::mode_names_arg(eval("('a', '', 'b')").get(), "in_mode"),
              (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(mb::mode_names_arg(eval("['x']").get(), "dfa_modes"),
              (std::vector<std::string>{"x"}));
    struct row {
        const char* expr;
        const char* message;
    };
    const row rows[] = {
        {"'abc'", "in_mode must be a sequence of mode names, not a bare str"},
        {"5", "in_mode must be a sequence of str"},
        {"{'a'}", "in_mode must be a sequence of str"},
        {"('a', 1)", "in_mode entries must be str"},
        {"[b'a']", "in_mode entries must be str"},
    };
    for (const row& r : rows) {
        try {
            mb::mode_names_arg(eval(r.expr).get(), "in_mode");
            ADD_FAILURE() << r.expr << " was accepted";
        } catch (const mb::mode_names_error& e) {
            EXPECT_STREQ(e.what(), r.message) << r.expr;
        }
        EXPECT_EQ(PyErr_Occurred(), nullptr) << r.expr;
    }
}

TEST(Capsules, RoundTripAndWrongName) {
    static int destroyed = 0;
    struct thing {
        int value = 42;
        ~thing() { ++destroyed; }
    };
    ref cap(mb::make_capsule(std::make_unique<thing>(), "tessel.lexer"));
    ASSERT_TRUE(cap);
    EXPECT_EQ(mb::capsule_object<thing>(cap.get(), "tessel.lexer").value, 42);
    EXPECT_EQ(cast_message([&] { mb::capsule_pointer(cap.get(), "tessel.stream"); }),
              "expected a tessel.stream handle");
    EXPECT_EQ(cast_message([&] { mb::capsule_pointer(eval("'x'").get(), "tessel.lexer"); }),
              "expected a tessel.lexer handle");
    EXPECT_EQ(PyErr_Occurred(), nullptr);
    cap = ref();
    EXPECT_EQ(destroyed, 1);
}

std::string translated(std::exception_ptr ex, PyObject* cls) {
    try {
        std::rethrow_exception(ex);
    } catch (...) {
        mb::translate_exception(cls);
    }
    return take_error();
}

TEST(Translation, EachKindOfException) {
    PyObject* cls = PyExc_ValueError;
    EXPECT_EQ(translated(std::make_exception_ptr(std::bad_alloc()), cls), "MemoryError: ");
    EXPECT_EQ(translated(std::make_exception_ptr(std::runtime_error("boom")), cls),
              "ValueError: boom");
    EXPECT_EQ(translated(std::make_exception_ptr(std::runtime_error("")), cls),
              "ValueError: internal error");
    EXPECT_EQ(translated(std::make_exception_ptr(42), cls), "ValueError: internal error");
    PyErr_SetString(PyExc_KeyError, "pending");
    EXPECT_EQ(translated(std::make_exception_ptr(mb::error_already_set()), cls),
              "KeyError: 'pending'");
    EXPECT_STREQ(mb::error_already_set().what(), "a Python error is already set");
}

std::vector<std::int32_t> pair_of(std::string a, std::int32_t b) {
    if (a == "throw") throw std::runtime_error("native failure");
    return {static_cast<std::int32_t>(a.size()), b};
}

TEST(TypedWrapper, CountsConvertsAndTranslates) {
    PyObject* (*fn)(PyObject*, PyObject*) = mb::typed_function<&pair_of>;
    ref ok(fn(nullptr, eval("('abc', 7)").get()));
    ASSERT_TRUE(ok);
    EXPECT_EQ(mb::to_string(ref(PyObject_Repr(ok.get())).get()), "[3, 7]");
    EXPECT_FALSE(fn(nullptr, eval("('abc',)").get()));
    EXPECT_EQ(take_error(), "TypeError: expected 2 argument(s), got 1");
    EXPECT_FALSE(fn(nullptr, eval("('a', 1, 2)").get()));
    EXPECT_EQ(take_error(), "TypeError: expected 2 argument(s), got 3");
    // Conversions run left to right: the first bad argument is the one reported.
    EXPECT_FALSE(fn(nullptr, eval("(3, 'x')").get()));
    EXPECT_EQ(take_error(), "TypeError: expected str, got int");
    EXPECT_FALSE(fn(nullptr, eval("('a', 2**40)").get()));
    EXPECT_EQ(take_error(), "TypeError: int out of range");
    PyObject* error = PyErr_NewException("tessel.error", PyExc_Exception, nullptr);
    mb::set_error_class(error);
    EXPECT_FALSE(fn(nullptr, eval("('throw', 1)").get()));
    EXPECT_EQ(take_error(), "error: native failure");
    mb::set_error_class(nullptr);
    Py_DECREF(error);
}

TEST(KeywordFunction, OneRegistrationPerGeneration) {
    mb::keyword_function record("tessel.Thing");
    mb::advance_generation();
    ref dflt(PyUnicode_FromString("d"));
    ASSERT_TRUE(record.fill({{"a", nullptr}, {"b", dflt.get()}, {"c", nullptr}}));
    EXPECT_EQ(record.format(), "O|OO:tessel.Thing");
    EXPECT_FALSE(record.fill({{"a", nullptr}}));
    EXPECT_EQ(take_error(),
              "SystemError: tessel.Thing: a function registered with keyword arguments takes "
              "one registration per module");
    mb::advance_generation();
    ASSERT_TRUE(record.fill({{"x", nullptr}, {"y", dflt.get()}}));
    EXPECT_EQ(record.format(), "O|O:tessel.Thing");
    PyObject* out[2];
    ref kwargs(PyDict_New());
    ASSERT_TRUE(record.parse(eval("(1,)").get(), kwargs.get(), out));
    EXPECT_EQ(out[1], dflt.get());
    EXPECT_FALSE(record.parse(eval("()").get(), kwargs.get(), out));
    EXPECT_NE(take_error().find("tessel.Thing() missing required argument 'x'"),
              std::string::npos);
}

TEST(WrappedType, UnregisteredTypeIsASystemError) {
    mb::wrapped_type never("tessel.Never", mb::record_layout::of<int>());
    EXPECT_THROW(mb::wrapped_record(never, eval("1").get()), mb::error_already_set);
    EXPECT_EQ(take_error(), "SystemError: wrapped type not registered");
    EXPECT_EQ(mb::new_wrapped<int>(never, 1), nullptr);
    EXPECT_EQ(take_error(), "SystemError: wrapped type not registered");
}

// A record that counts its lives, refuses to be built from a negative number, and wants the
// most alignment the object allocator gives (more than the header and pointer end on), so that
// the storage offset must be rounded up.
struct alignas(16) counted {
    static inline int alive = 0;
    explicit counted(int v) : value(v) {
        if (v < 0) throw std::runtime_error("negative");
        ++alive;
    }
    ~counted() { --alive; }
    int value;
};

mb::wrapped_type g_counted_type("tessel.Counted", mb::record_layout::of<counted>());

TEST(WrappedType, RecordLivesInsideTheObject) {
    static_assert(mb::record_layout::of<counted>().offset() % 16 == 0);
    static_assert(mb::record_layout::of<counted>().offset() >= sizeof(mb::wrapped_object));
    mb::type_slots slots;
    slots.dealloc = mb::dealloc_wrapped<counted>;
    ref module(PyModule_New("m"));
    ASSERT_TRUE(g_counted_type.add_to_module(module.get(), slots));

    ref obj(mb::new_wrapped<counted>(g_counted_type, 7));
    ASSERT_TRUE(obj);
    EXPECT_EQ(counted::alive, 1);
    void* record = reinterpret_cast<mb::wrapped_object*>(obj.get())->record;
    // The record pointer points into the object's own allocation, at the rounded offset.
    EXPECT_EQ(record, mb::record_storage(g_counted_type, obj.get()));
    EXPECT_EQ(static_cast<char*>(record) - reinterpret_cast<char*>(obj.get()),
              static_cast<std::ptrdiff_t>(mb::record_layout::of<counted>().offset()));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(record) % 16, 0u);
    EXPECT_EQ(static_cast<counted*>(mb::wrapped_record(g_counted_type, obj.get()))->value, 7);
    obj = ref();
    EXPECT_EQ(counted::alive, 0);  // destroyed in place by dealloc

    // A constructor that throws leaves no object and no record, and says why.
    EXPECT_EQ(mb::new_wrapped<counted>(g_counted_type, -1), nullptr);
    EXPECT_EQ(take_error(), "RuntimeError: negative");
    EXPECT_EQ(counted::alive, 0);

    // An object without a record is "uninitialized"; freeing it destroys nothing.
    ref bare(mb::alloc_wrapped(g_counted_type));
    ASSERT_TRUE(bare);
    EXPECT_EQ(cast_message([&] { mb::wrapped_record(g_counted_type, bare.get()); }),
              "uninitialized tessel.Counted");
    mb::emplace_record<counted>(g_counted_type, bare.get(), 3);
    EXPECT_EQ(counted::alive, 1);
    bare = ref();
    EXPECT_EQ(counted::alive, 0);
}

PyObject* throws_lexing_kind(PyObject*, PyObject* args) {
    if (args == nullptr) throw std::logic_error("special");
    throw std::runtime_error("plain");
}

void translate_special() noexcept {
    try {
        throw;
    } catch (const std::logic_error& e) {
        PyErr_SetString(PyExc_LookupError, e.what());
    } catch (...) {
        mb::translate_exception();
    }
}

TEST(GuardedFunction, TranslatesWithTheDefaultOrTheGivenRule) {
    PyObject* error = PyErr_NewException("tessel.error", PyExc_Exception, nullptr);
    mb::set_error_class(error);
    ref args(PyTuple_New(0));
    EXPECT_EQ((mb::guarded_function<throws_lexing_kind>(nullptr, args.get())), nullptr);
    EXPECT_EQ(take_error(), "error: plain");
    EXPECT_EQ((mb::guarded_function<throws_lexing_kind, translate_special>(nullptr, nullptr)), nullptr);
    EXPECT_EQ(take_error(), "LookupError: special");
    EXPECT_EQ((mb::guarded_function<throws_lexing_kind, translate_special>(nullptr, args.get())), nullptr);
    EXPECT_EQ(take_error(), "error: plain");
    mb::set_error_class(nullptr);
    Py_DECREF(error);
}

TEST(Translation, LibraryTextsNeverReachTheUser) {
    PyObject* cls = PyExc_ValueError;
    EXPECT_EQ(translated(std::make_exception_ptr(std::length_error("vector::reserve")), cls),
              "MemoryError: ");
    EXPECT_EQ(translated(std::make_exception_ptr(std::out_of_range("vector::_M_range_check")), cls),
              "ValueError: internal error: an index out of range");
}

TEST(Conversions, SequenceLengths) {
    EXPECT_EQ(mb::reserve_hint(-1), 0u);
    EXPECT_EQ(mb::reserve_hint(10), 10u);
    EXPECT_EQ(mb::reserve_hint(PY_SSIZE_T_MAX), 4096u);
    EXPECT_NO_THROW(mb::check_sequence_length(mb::max_sequence_items, "rules"));
    try {
        mb::check_sequence_length(mb::max_sequence_items + 1, "compile: the rule sequence");
        ADD_FAILURE() << "accepted";
    } catch (const mb::sequence_too_long& e) {
        EXPECT_STREQ(e.what(), "compile: the rule sequence (2147483648 items) is longer than tessel "
                               "accepts (at most 2147483647)");
    }
    ref huge = eval("type('H', (), {'__len__': lambda s: 2**62, '__getitem__': lambda s, i: 'a'})()");
    try {
        mb::mode_names_arg(huge.get(), "in_mode");
        ADD_FAILURE() << "accepted";
    } catch (const mb::mode_names_error& e) {
        EXPECT_STREQ(e.what(), "in_mode (4611686018427387904 items) is longer than tessel accepts "
                               "(at most 2147483647)");
    }
}

TEST(Busy, SecondHolderIsRefused) {
    std::atomic<bool> flag{false};
    {
        mb::busy_guard first(flag);
        EXPECT_TRUE(first.taken("busy"));
        mb::busy_guard second(flag);
        EXPECT_FALSE(second.taken("busy"));
        EXPECT_EQ(take_error(), "RuntimeError: busy");
    }
    EXPECT_FALSE(flag.load());  // the second guard did not release what it never held
    mb::busy_guard again(flag);
    EXPECT_TRUE(again.taken("busy"));
}

TEST(Gil, ReleasedOnlyAtTheThreshold) {
    EXPECT_FALSE(mb::should_release(4095));
    EXPECT_TRUE(mb::should_release(4096));
    {
        mb::gil_release kept(mb::should_release(10));
        EXPECT_FALSE(kept.released());
        EXPECT_EQ(PyGILState_Check(), 1);
    }
    {
        mb::gil_release released(mb::should_release(5000));
        EXPECT_TRUE(released.released());
        EXPECT_EQ(PyGILState_Check(), 0);
    }
    EXPECT_EQ(PyGILState_Check(), 1);
}

}  // namespace
