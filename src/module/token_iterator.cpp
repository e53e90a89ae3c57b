// TokenIterator: the tokens of a text, lexed natively a batch at a time and handed out one by
// one through the iterator protocol.
//
// `for tok in tokenize(...)` pays for a list of every token before the first is used;
// `scan_next` pays a Python-level call per token.  The iterator sits between: each time its
// batch runs dry it runs the lexer's scan cursor for up to a batch of tokens (with the
// interpreter lock released when the text is 4096 bytes or more, as tokenize does), and each
// `__next__` then only turns one stored native token into a Token.  Batches start small, so
// that taking the first few tokens of a long text costs little, and double up to a bound that
// keeps the stored tokens in cache.
//
// The tokens and errors are tokenize's: a lexing error stops the batch where it happened; the
// tokens lexed before it are handed out first, and the error is raised by the `__next__` that
// reaches it.  After an error, or after a token that could not be made (a raw-byte rule that
// splits a character of a str text), the iterator is exhausted.  The iterator keeps strong
// references to the lexer handle and to the text object, so both live as long as it does, and
// it takes part in garbage collection through them (a str subclass instance could refer back).
//
// Threads: many iterators may run over one lexer at once, since the lexer is read-only.  One
// iterator must be advanced by one thread at a time; as for streams, a busy flag makes a second
// thread that calls `__next__` while the first is lexing with the lock released fail at once
// with RuntimeError instead of racing it.
//
// Tests: tests/python/test_token_iterator.py.
#include "module/token_iterator.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <string>
#include <vector>

#include "binding/busy.h"
#include "binding/convert.h"
#include "binding/errors.h"
#include "binding/gil.h"
#include "binding/heap_type.h"
#include "binding/ref.h"
#include "module/docstrings.h"
#include "module/functions.h"
#include "module/handles.h"
#include "module/value_types.h"
#include "tessel/stream.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::ref;

namespace {

// The first batch, and the bound the doubling stops at (2048 native tokens are 64 KiB).
constexpr std::size_t first_batch = 64;
constexpr std::size_t largest_batch = 2048;

struct token_iterator {
    ref handle;  // the lexer capsule
    ref text;    // the text object, whose bytes the cursor and the lexemes view
    ref spans;   // a bench_spans capsule replayed instead of lexing, or empty
    const tessel::lexer* lexer = nullptr;
    bool lexeme_bytes = false;
    bool release = false;  // lex with the interpreter lock released
    tessel::scan_cursor cursor;
    bool lexed_all = false;  // the cursor is exhausted or stopped by a failure
    std::vector<tessel::token> batch;
    std::size_t batch_size = first_batch;
    const tessel::token* next = nullptr;  // the next token to hand out
    const tessel::token* end = nullptr;
    std::exception_ptr failure;  // what stopped the lexing, raised once the tokens before it are out
    bool finished = false;       // nothing more, ever
    std::vector<ref> mode_names;  // one str per mode, made on first use
    std::atomic<bool> busy{false};

    void finish() noexcept {
        finished = true;
        lexed_all = true;
        failure = nullptr;
        next = end = nullptr;
    }
};

mb::wrapped_type g_iterator_type("tessel.TokenIterator", mb::record_layout::of<token_iterator>());

token_iterator& iterator_of(PyObject* self) {
    return *static_cast<token_iterator*>(mb::own_record(g_iterator_type, self));
}

// Runs the cursor for up to one batch.  No Python object is touched: the lock may be released.
void lex_batch(token_iterator& it) noexcept {
    it.batch.clear();
    try {
        it.batch.reserve(it.batch_size);
        while (it.batch.size() < it.batch_size) {
            it.cursor.advance();
            if (it.cursor.exhausted()) {
                it.lexed_all = true;
                break;
            }
            it.batch.push_back(it.cursor.current());
        }
    } catch (...) {
        it.failure = std::current_exception();
        it.lexed_all = true;
    }
    it.batch_size = std::min(it.batch_size * 2, largest_batch);
    it.next = it.batch.data();
    it.end = it.next + it.batch.size();
}

// Makes sure a token is ready to hand out.  False with no Python error at the end; throws the
// failure that stopped the lexing once every token before it is out.
bool refill(token_iterator& it) {
    while (it.next == it.end) {
        if (it.failure) {
            std::exception_ptr failure = it.failure;
            it.finish();
            std::rethrow_exception(failure);
        }
        if (it.lexed_all) {
            it.finish();
            return false;
        }
        mb::gil_release unlocked(it.release);
        lex_batch(it);
    }
    return true;
}

PyObject* mode_name(token_iterator& it, std::uint32_t mode) {
    if (mode >= it.mode_names.size()) it.mode_names.resize(mode + std::size_t{1});
    ref& name = it.mode_names.at(mode);
    if (!name) {
        name = ref(mb::to_python(std::string(it.lexer->mode_name(mode))));
        if (!name) throw mb::error_already_set();
    }
    return name.get();
}

PyObject* iterator_next(PyObject* self) noexcept {
    token_iterator* it = nullptr;
    try {
        it = &iterator_of(self);
        mb::busy_guard busy(it->busy);
        if (!busy.taken("a token iterator is being advanced by another thread")) return nullptr;
        if (it->finished || !refill(*it)) return nullptr;  // no error set: the iteration ends
        PyObject* token = make_token(*it->next, it->lexeme_bytes, mode_name(*it, it->next->mode));
        if (token == nullptr) {
            it->finish();
            return nullptr;
        }
        ++it->next;
        return token;
    } catch (...) {
        if (it != nullptr) it->finish();
        translate_module_exception();
        return nullptr;
    }
}

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    auto* record = static_cast<token_iterator*>(reinterpret_cast<mb::wrapped_object*>(self)->record);
    if (record != nullptr) {
        Py_VISIT(record->handle.get());
        Py_VISIT(record->text.get());
        Py_VISIT(record->spans.get());
    }
    return 0;
}

PyObject* iterator_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return mb::guarded_new([&]() -> PyObject* {
        static const char* keywords[] = {"handle", "text", "eof", nullptr};
        PyObject *handle, *text_obj;
        int eof = 0;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|p:TokenIterator", const_cast<char**>(keywords),
                                         &handle, &text_obj, &eof)) {
            return nullptr;
        }
        auto* h = static_cast<lexer_handle*>(PyCapsule_GetPointer(handle, lexer_capsule));
        if (h == nullptr) return nullptr;
        const auto text = mb::to_text(text_obj);
        if (!text) return nullptr;
        ref self(mb::alloc_wrapped(g_iterator_type));
        if (!self) return nullptr;
        token_iterator& it = mb::emplace_record<token_iterator>(g_iterator_type, self.get());
        it.handle = ref::borrow(handle);
        it.text = ref::borrow(text_obj);
        it.lexer = h->lexer.get();
        it.lexeme_bytes = text->is_bytes;
        it.release = mb::should_release(text->bytes.size());
        it.cursor = tessel::scan_cursor(h->lexer, text->bytes, eof != 0);  // refuses too long a text
        return self.release();
    });
}

}  // namespace

PyObject* replaying_iterator(PyObject* spans_capsule) noexcept {
    try {
        auto* spans = static_cast<bench_spans*>(PyCapsule_GetPointer(spans_capsule, bench_spans_capsule));
        if (spans == nullptr) return nullptr;
        ref self(mb::alloc_wrapped(g_iterator_type));
        if (!self) return nullptr;
        token_iterator& it = mb::emplace_record<token_iterator>(g_iterator_type, self.get());
        it.handle = spans->handle;
        it.text = spans->text;
        it.spans = ref::borrow(spans_capsule);
        it.lexer = lexer_of(spans->handle.get());
        it.lexeme_bytes = spans->lexeme_bytes;
        it.lexed_all = true;
        it.next = spans->tokens.data();
        it.end = it.next + spans->tokens.size();
        return self.release();
    } catch (...) {
        translate_module_exception();
        return nullptr;
    }
}

bool add_token_iterator_type(PyObject* module) noexcept {
    mb::type_slots slots;
    slots.dealloc = mb::dealloc_wrapped<token_iterator>;
    slots.new_object = iterator_new;
    slots.iternext = iterator_next;
    slots.traverse = iterator_traverse;
    slots.doc = doc::token_iterator;
    return g_iterator_type.add_to_module(module, slots);
}

}  // namespace tessel::module
