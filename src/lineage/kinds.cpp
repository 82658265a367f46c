#include "lineage/kinds.hpp"

#include "interop/ops.hpp"
#include "lineage/names.hpp"
#include "lineage/state.hpp"
#include "lineage/tree.hpp"

#include <unordered_map>
#include <vector>

namespace qarvel::lineage {

namespace {

constexpr const char* kClassNames[] = {
#define QARVEL_LINEAGE_CLASS_NAME(name) #name,
    QARVEL_LINEAGE_CLASSES(QARVEL_LINEAGE_CLASS_NAME)
#undef QARVEL_LINEAGE_CLASS_NAME
};
constexpr int kClassCount = sizeof(kClassNames) / sizeof(kClassNames[0]);

kind classify(PyTypeObject* type) {
    for (int i = 0; i < kClassCount; ++i) {
        PyObject* cls = engine.classes[i].ptr();
        if (cls != nullptr && PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) {
            return static_cast<kind>(i + 1);
        }
    }
    return kind::not_expression;
}

static_assert(kClassCount <= kClassSlots, "engine_state::classes is too small");

}  // namespace

bool load_classes() {
    if (engine.classes_loaded) return true;
    try {
        py::object exp = py::checked(PyImport_ImportModule("sqlglot.expressions"));
        for (int i = 0; i < kClassCount; ++i) {
            py::object cls = py::optional_attr_string(exp, kClassNames[i]);
            if (cls && PyType_Check(cls.ptr())) engine.classes[i].reset(cls);
        }
        if (!engine.classes[static_cast<int>(kind::Expression) - 1]) {
            PyErr_SetString(PyExc_ImportError, "sqlglot.expressions has no Expression class");
            return false;
        }
        // From 28 on a SELECT keeps FROM and WITH under "from_" and "with_".
        py::object arg_types =
            py::getattr(engine.classes[static_cast<int>(kind::Select) - 1].ptr(), lk.arg_types);
        const bool trailing = py::contains(arg_types, lk.from_);
        engine.key_from = trailing ? lk.from_ : lk.from;
        engine.key_with = trailing ? lk.with_ : lk.with;
        const bool star_trailing =
            py::contains(py::getattr(engine.classes[static_cast<int>(kind::Star) - 1].ptr(),
                                     lk.arg_types),
                         lk.except_);
        engine.key_except = star_trailing ? lk.except_ : lk.except;
    } catch (const py::pending_error&) {
        return false;
    }
    engine.classes_loaded = true;
    return true;
}

// clang-format off
#define QARVEL_LINEAGE_STATEMENT_CLASSES(X)                                     \
    X(Query) X(DDL) X(DML) X(Command) X(Use) X(Set) X(Describe) X(Pragma)      \
    X(Transaction) X(Commit) X(Rollback) X(Grant) X(Revoke) X(Show) X(Analyze) \
    X(Copy) X(Cache) X(Uncache) X(Refresh) X(Alter) X(Drop) X(Merge) X(Comment) \
    X(Truncate) X(TruncateTable) X(Export) X(Declare) X(Values) X(Pivot)
// clang-format on

py::object statement_classes() {
    static constexpr const char* kNames[] = {
#define QARVEL_LINEAGE_STATEMENT_NAME(name) #name,
        QARVEL_LINEAGE_STATEMENT_CLASSES(QARVEL_LINEAGE_STATEMENT_NAME)
#undef QARVEL_LINEAGE_STATEMENT_NAME
    };
    py::object exp = py::checked(PyImport_ImportModule("sqlglot.expressions"));
    std::vector<py::object> found;
    for (const char* name : kNames) {
        py::object cls = py::optional_attr_string(exp, name);
        if (cls && PyType_Check(cls.ptr())) found.push_back(std::move(cls));
    }
    return py::tuple_from(found.data(), static_cast<Py_ssize_t>(found.size()));
}

kind kind_of(py::handle node) {
    if (!node) return kind::not_expression;
    PyTypeObject* type = Py_TYPE(node.ptr());
    auto& cache = engine.kind_cache;
    if (auto found = cache.find(type); found != cache.end()) return found->second;
    const kind k = classify(type);
    // The cache keeps the type alive, so its address cannot be reused by
    // another type while the entry stands.
    engine.cached_types.add(reinterpret_cast<PyObject*>(type));
    cache.emplace(type, k);
    return k;
}

py::handle class_of(kind k) {
    if (k == kind::not_expression) return {};
    return engine.classes[static_cast<int>(k) - 1].ptr();
}

py::object kind_label(py::handle node) {
    const kind k = kind_of(node);
    py::handle cls = class_of(k);
    py::object name = py::checked(
        PyType_GetName(cls && k != kind::Expression ? reinterpret_cast<PyTypeObject*>(cls.ptr())
                                                     : Py_TYPE(node.ptr())));
    py::object label = py::call_method(name, lk.upper);
    // CREATE TABLE / CREATE VIEW / DROP TABLE ...: with the kind of object.
    if (k == kind::Create || k == kind::Drop) {
        py::object what = arg_of(node, lk.kind);
        if (what && PyUnicode_Check(what.ptr())) {
            label = py::checked(PyUnicode_FromFormat("%U %U", label.ptr(), what.ptr()));
        }
    } else if (k == kind::Select && arg_of(node, lk.into)) {
        // SELECT ... INTO t makes t, as CREATE TABLE t AS SELECT does.
        label = py::object::borrow(lk.CREATE_TABLE);
    } else if (k == kind::Insert && truthy(arg_of(node, lk.overwrite))) {
        label = py::checked(PyUnicode_FromFormat("%U OVERWRITE", label.ptr()));
    } else if (k == kind::TruncateTable || k == kind::Truncate) {
        label = py::checked(PyUnicode_FromString("TRUNCATE TABLE"));
    } else if (k == kind::Command) {
        // Statements sqlglot keeps as text: their first word.
        py::object word = arg_of(node, lk.this_);
        if (word && PyUnicode_Check(word.ptr())) label = py::call_method(word, lk.upper);
    }
    return label;
}

}  // namespace qarvel::lineage
