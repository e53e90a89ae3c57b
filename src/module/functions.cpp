// The module's method table and the small functions that have no file of their own.
//
// Functions are registered in one fixed order, which is also the order they are documented in;
// each later group of functions (lexing, streams, grammars, layout) takes its place here.
#include "module/functions.h"

namespace tessel::module {

namespace {

constexpr const char* kestrel_version_doc =
    "kestrel_version() -> str\n"
    "The KESTREL version this compiled extension was built against (kestrel/version), so a "
    "stale\n"
    "build or install can be detected by comparing it to the pinned kestrel-regex version.";

}  // namespace

PyObject* kestrel_version(PyObject*, PyObject*) noexcept {
    return PyUnicode_FromString(KESTREL_VERSION);
}

std::vector<PyMethodDef> method_table() {
    std::vector<PyMethodDef> table = lexer_methods_before_version();
    table.push_back({"kestrel_version", kestrel_version, METH_NOARGS, kestrel_version_doc});
    table.push_back(parse_grammar_method());
    for (const auto& group : {lexer_methods_after_grammar(), stream_methods()}) {
        table.insert(table.end(), group.begin(), group.end());
    }
    table.push_back(layout_method());
    const std::vector<PyMethodDef> resume = resume_methods();
    table.insert(table.end(), resume.begin(), resume.end());
    const std::vector<PyMethodDef> bench = bench_methods();
    table.insert(table.end(), bench.begin(), bench.end());
    return table;
}

}  // namespace tessel::module
