// Benchmark entries: the floor under tokenize and the token iterator.
//
// _bench_spans lexes a text once and keeps its native tokens; _bench_floor then builds the same
// Token objects from those spans without lexing, as a list the way tokenize does, or through a
// TokenIterator that replays them.  Timing these beside tokenize and the iterator shows how
// much of their cost is lexing and how much is making Python objects.  Their names begin with
// "_": they are not part of the module's documented functions.
#include "binding/capsule.h"
#include "binding/convert.h"
#include "binding/ref.h"
#include "module/docstrings.h"
#include "module/functions.h"
#include "module/handles.h"
#include "module/token_iterator.h"
#include "tessel/runtime.h"

namespace tessel::module {

namespace mb = morrow::binding;
using mb::ref;

namespace {

PyObject* bench_spans_of(PyObject*, PyObject* args) {
    PyObject *handle, *text_obj;
    int eof = 0;
    if (!PyArg_ParseTuple(args, "OO|p:_bench_spans", &handle, &text_obj, &eof)) return nullptr;
    const tessel::lexer* lx = lexer_of(handle);
    if (lx == nullptr) return nullptr;
    const auto text = mb::to_text(text_obj);
    if (!text) return nullptr;
    auto spans = std::make_unique<bench_spans>();
    spans->handle = ref::borrow(handle);
    spans->text = ref::borrow(text_obj);
    spans->lexeme_bytes = text->is_bytes;
    spans->tokens = tessel::tokenize(*lx, text->bytes, eof != 0);
    return mb::make_capsule(std::move(spans), bench_spans_capsule);
}

PyObject* bench_floor(PyObject*, PyObject* args) {
    PyObject* capsule;
    int iterate = 0;
    if (!PyArg_ParseTuple(args, "O|p:_bench_floor", &capsule, &iterate)) return nullptr;
    auto* spans = static_cast<bench_spans*>(PyCapsule_GetPointer(capsule, bench_spans_capsule));
    if (spans == nullptr) return nullptr;
    if (iterate != 0) return replaying_iterator(capsule);
    return token_list(*lexer_of(spans->handle.get()), spans->tokens, spans->lexeme_bytes);
}

}  // namespace

std::vector<PyMethodDef> bench_methods() {
    return {
        {"_bench_spans", guarded<bench_spans_of>, METH_VARARGS, doc::bench_spans},
        {"_bench_floor", guarded<bench_floor>, METH_VARARGS, doc::bench_floor},
    };
}

}  // namespace tessel::module
