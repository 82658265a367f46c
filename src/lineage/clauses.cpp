#include "lineage/clauses.hpp"

#include "interop/ops.hpp"
#include "lineage/kinds.hpp"
#include "lineage/text.hpp"
#include "lineage/tree.hpp"

#include <array>
#include <unordered_map>

namespace qarvel::lineage {

namespace {

constexpr clause_use R = clause_use::read;
constexpr clause_use N = clause_use::no_lineage;
constexpr clause_use U = clause_use::untraced;

// Both spellings of the keys sqlglot 28 renamed ("from_", "with_"...) are
// listed: the engine runs on sqlglot 27 too.
#define QARVEL_WITH {"with", R, ""}, {"with_", R, ""}

// The modifiers every query shape has (sqlglot's QUERY_MODIFIERS) and how
// `analysis::modifiers` reads them.
#define QARVEL_ROW_MODIFIERS                                                            \
    {"prewhere", R, ""}, {"where", R, ""}, {"group", R, ""}, {"having", R, ""},         \
    {"qualify", R, ""}, {"connect", R, ""}, {"order", R, ""}, {"limit", R, ""},         \
    {"offset", R, ""}, {"sort", R, ""}, {"cluster", R, ""}, {"sample", R, ""},          \
    {"distribute", N, "which worker receives each row"},                                \
    {"locks", N, "row locks (FOR UPDATE)"},                                             \
    {"settings", N, "execution settings"},                                              \
    {"format", N, "the encoding of the result"},                                        \
    {"options", N, "query hints (OPTION (...))"},                                       \
    {"for_", U, "FOR XML / FOR JSON"}, {"for", U, "FOR XML / FOR JSON"}

const clause_rule kSelect[] = {
    QARVEL_WITH, {"from", R, ""}, {"from_", R, ""}, {"kind", R, ""}, {"expressions", R, ""},
    {"distinct", R, ""}, {"into", R, ""}, {"laterals", R, ""}, {"joins", R, ""}, {"windows", R, ""},
    {"match", R, ""},
    {"hint", N, "an optimizer hint"},
    {"operation_modifiers", N, "execution options (SQL_CALC_FOUND_ROWS, ...)"},
    {"exclude", U, "SELECT ... EXCLUDE"},
    {"pivots", U, "PIVOT"},
    QARVEL_ROW_MODIFIERS,
};

const clause_rule kSetOperation[] = {
    QARVEL_WITH, {"this", R, ""}, {"expression", R, ""}, {"by_name", R, ""}, {"side", R, ""},
    {"kind", R, ""}, {"on", R, ""},
    {"distinct", N, "duplicates removed: the output values themselves decide"},
    {"windows", N, "named windows, read where a window names them"},
    {"match", U, "MATCH_RECOGNIZE"}, {"laterals", U, "LATERAL"}, {"joins", U, "JOIN"}, {"pivots", U, "PIVOT"},
    QARVEL_ROW_MODIFIERS,
};

const clause_rule kSubquery[] = {
    QARVEL_WITH, {"this", R, ""}, {"alias", R, ""}, {"joins", R, ""}, {"pivots", R, ""},
    {"windows", N, "named windows, read where a window names them"},
    {"match", U, "MATCH_RECOGNIZE"}, {"laterals", U, "LATERAL"},
    QARVEL_ROW_MODIFIERS,
};

const clause_rule kValues[] = {
    {"expressions", R, ""}, {"alias", R, ""}, {"pivots", R, ""},
    {"order", N, "orders constant rows"}, {"limit", N, "counts constant rows"},
    {"offset", N, "counts constant rows"},
};

const clause_rule kWith[] = {
    {"expressions", R, ""}, {"recursive", R, ""},
    {"search", N, "SEARCH: the order a recursive CTE is read in"},
    {"cycle", N, "CYCLE: stops the loops of a recursive CTE"},
    {"udfs", N, "functions defined for the query"},
};

const clause_rule kCte[] = {
    {"this", R, ""}, {"alias", R, ""},
    {"materialized", N, "a planner hint"},
    {"scalar", U, "a WITH expression"},
    {"key_expressions", U, "USING KEY"},
};

const clause_rule kFrom[] = {{"this", R, ""}, {"expressions", R, ""}};

const clause_rule kJoin[] = {
    {"this", R, ""}, {"on", R, ""}, {"kind", R, ""}, {"using", R, ""}, {"method", R, ""},
    {"expressions", R, ""}, {"match_condition", R, ""}, {"nearest", R, ""},
    {"side", N, "keeps unmatched rows with nulls"},
    {"global", N, "where the join runs (GLOBAL)"}, {"global_", N, "where the join runs (GLOBAL)"},
    {"hint", N, "a join hint"}, {"directed", N, "a join-order hint"},
    {"pivots", U, "PIVOT"},
};

const clause_rule kTable[] = {
    {"this", R, ""}, {"alias", R, ""}, {"db", R, ""}, {"catalog", R, ""}, {"joins", R, ""},
    {"pivots", R, ""}, {"rows_from", R, ""}, {"sample", R, ""},
    {"hints", N, "table hints (WITH (NOLOCK), USE INDEX)"},
    {"system_time", N, "time travel: which version of the same columns"},
    {"version", N, "time travel: which version of the same columns"},
    {"when", N, "time travel: which version of the same columns"},
    {"changes", N, "change tracking of the same columns"},
    {"format", N, "the file format of a path"}, {"pattern", N, "the files of a path"},
    {"only", N, "ONLY: without inheriting tables"},
    {"partition", N, "the named partitions of the same table"},
    {"indexed", N, "an index hint"},
    {"laterals", U, "LATERAL"},
    {"ordinality", U, "WITH ORDINALITY"},
};

const clause_rule kUnnest[] = {
    {"expressions", R, ""}, {"alias", R, ""}, {"offset", R, ""}, {"explode_array", R, ""},
};

const clause_rule kLateral[] = {
    {"this", R, ""}, {"view", R, ""}, {"alias", R, ""},
    {"outer", N, "keeps rows without elements, with nulls"},
    {"cross_apply", N, "CROSS / OUTER APPLY, read as LATERAL"},
    {"ordinality", U, "WITH ORDINALITY"},
};

const clause_rule kPivot[] = {
    {"this", R, ""}, {"alias", R, ""}, {"expressions", R, ""}, {"fields", R, ""}, {"unpivot", R, ""},
    {"using", R, ""}, {"group", R, ""}, {"columns", R, ""}, {"value_columns_first", R, ""},
    {"include_nulls", R, ""},
    {"default_on_null", N, "a constant for null values"},
    {"identify_pivot_strings", N, "how output columns are named"},
    {"prefixed_pivot_columns", N, "how output columns are named"},
    {"pivot_column_naming", N, "how output columns are named"},
    {"into", U, "UNPIVOT INTO"}, {"with", U, "WITH"}, {"with_", U, "WITH"},
};

const clause_rule kInsert[] = {
    QARVEL_WITH, {"this", R, ""}, {"expression", R, ""}, {"overwrite", R, ""}, {"by_name", R, ""},
    {"hint", N, "an optimizer hint"},
    {"returning", N, "rows given back, not written"},
    {"exists", N, "IF [NOT] EXISTS"},
    {"alternative", N, "OR REPLACE / OR IGNORE: what happens to clashing rows"},
    {"ignore", N, "IGNORE: errors skipped"},
    {"stored", N, "the file format"},
    {"partition", N, "the partition written"},
    {"settings", N, "execution settings"},
    {"default", N, "DEFAULT VALUES: constants"},
    {"is_function", U, "INSERT INTO FUNCTION"},
    {"conflict", U, "ON CONFLICT / ON DUPLICATE KEY"},
    {"where", U, "REPLACE WHERE"},
    {"source", U, "INSERT ... FROM a file"},
    {"using", U, "INSERT ... USING"},
};

const clause_rule kCreate[] = {
    QARVEL_WITH, {"this", R, ""}, {"kind", R, ""}, {"expression", R, ""}, {"properties", R, ""},
    {"exists", N, "IF NOT EXISTS"}, {"replace", N, "OR REPLACE"}, {"refresh", N, "when it is refreshed"},
    {"unique", N, "a constraint"}, {"indexes", N, "indexes"},
    {"no_schema_binding", N, "WITH NO SCHEMA BINDING"}, {"begin", N, "a body's opening"},
    {"end", N, "a body's end"}, {"concurrently", N, "CONCURRENTLY"}, {"clustered", N, "an index's layout"},
    {"clone", U, "CLONE"},
};

const clause_rule kMerge[] = {
    QARVEL_WITH, {"this", R, ""}, {"using", R, ""}, {"on", R, ""}, {"whens", R, ""},
    {"returning", N, "rows given back, not written"},
    {"using_cond", U, "MERGE ... USING condition"},
};

const clause_rule kWhen[] = {
    {"matched", R, ""}, {"condition", R, ""}, {"then", R, ""},
    {"source", N, "BY SOURCE / BY TARGET: which side is unmatched"},
};

const clause_rule kUpdate[] = {
    QARVEL_WITH, {"this", R, ""}, {"expressions", R, ""}, {"from", R, ""}, {"from_", R, ""}, {"where", R, ""},
    {"returning", N, "rows given back, not written"}, {"options", N, "query hints"}, {"hint", N, "an optimizer hint"},
    {"order", U, "UPDATE ... ORDER BY"}, {"limit", U, "UPDATE ... LIMIT"},
};

const clause_rule kDelete[] = {
    QARVEL_WITH, {"this", R, ""}, {"using", R, ""}, {"where", R, ""},
    {"returning", N, "rows given back, not written"}, {"cluster", N, "ON CLUSTER: where it runs"},
    {"hint", N, "an optimizer hint"},
    {"order", U, "DELETE ... ORDER BY"}, {"limit", U, "DELETE ... LIMIT"}, {"tables", U, "DELETE of several tables"},
};

const clause_rule kMatchRecognize[] = {
    {"partition_by", R, ""}, {"order", R, ""}, {"measures", R, ""}, {"rows", R, ""}, {"pattern", R, ""},
    {"define", R, ""}, {"alias", R, ""},
    {"after", N, "where the next match is looked for: decided by the same rows"},
};

const clause_rule kTableFromRows[] = {
    {"this", R, ""}, {"alias", R, ""}, {"joins", R, ""}, {"pivots", R, ""}, {"sample", R, ""},
};

const clause_rule kSemanticView[] = {
    {"this", R, ""}, {"facts", R, ""}, {"dimensions", R, ""}, {"metrics", R, ""}, {"where", R, ""},
};

#undef QARVEL_WITH
#undef QARVEL_ROW_MODIFIERS

struct node_rules {
    const char* class_name;
    kind k;
    const clause_rule* rules;
    std::size_t count;
};

#define QARVEL_NODE(name, table) node_rules{#name, kind::name, table, sizeof(table) / sizeof(table[0])}
const node_rules kNodes[] = {
    QARVEL_NODE(Select, kSelect),     QARVEL_NODE(Union, kSetOperation), QARVEL_NODE(Intersect, kSetOperation),
    QARVEL_NODE(Except, kSetOperation), QARVEL_NODE(Subquery, kSubquery), QARVEL_NODE(Values, kValues),
    QARVEL_NODE(With, kWith),         QARVEL_NODE(CTE, kCte),            QARVEL_NODE(From, kFrom),
    QARVEL_NODE(Join, kJoin),         QARVEL_NODE(Table, kTable),        QARVEL_NODE(Unnest, kUnnest),
    QARVEL_NODE(Lateral, kLateral),   QARVEL_NODE(Pivot, kPivot),        QARVEL_NODE(Insert, kInsert),
    QARVEL_NODE(Create, kCreate),     QARVEL_NODE(Merge, kMerge),        QARVEL_NODE(When, kWhen),
    QARVEL_NODE(Update, kUpdate),     QARVEL_NODE(Delete, kDelete),      QARVEL_NODE(MatchRecognize, kMatchRecognize),
    QARVEL_NODE(TableFromRows, kTableFromRows), QARVEL_NODE(SemanticView, kSemanticView),
};
#undef QARVEL_NODE

constexpr std::size_t kNodeCount = sizeof(kNodes) / sizeof(kNodes[0]);

const node_rules* rules_of(kind k) {
    for (const node_rules& n : kNodes) {
        if (n.k == k) return &n;
    }
    return nullptr;
}

// Each node's rules by key, made once.
const std::unordered_map<std::string_view, const clause_rule*>& keyed(const node_rules* n) {
    static const auto maps = [] {
        std::array<std::unordered_map<std::string_view, const clause_rule*>, kNodeCount> made;
        for (std::size_t i = 0; i < kNodeCount; ++i) {
            for (std::size_t j = 0; j < kNodes[i].count; ++j) made[i].emplace(kNodes[i].rules[j].key, &kNodes[i].rules[j]);
        }
        return made;
    }();
    return maps[static_cast<std::size_t>(n - kNodes)];
}

// Whether a value of args says the clause is there.
bool is_set(PyObject* value) {
    if (value == Py_None || value == Py_False) return false;
    if (PyList_Check(value)) return PyList_GET_SIZE(value) > 0;
    if (PyTuple_Check(value)) return PyTuple_GET_SIZE(value) > 0;
    return true;
}

}  // namespace

std::vector<std::string> unread_clauses(py::handle node, kind k) {
    std::vector<std::string> found;
    const node_rules* table = rules_of(k);
    if (table == nullptr) return found;
    py::object args = args_of(node);
    if (!args) return found;
    // The keys and values are borrowed: nothing in this loop runs Python
    // code (type checks, UTF-8 views, the kind cache, type names), so the
    // dict cannot change under it.
    Py_ssize_t at = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(args.ptr(), &at, &key, &value)) {
        if (!is_set(value) || !PyUnicode_Check(key)) continue;
        std::string_view name;
        if (!utf8_view_of(key, name)) {
            PyErr_Clear();
            continue;
        }
        const auto& rules = keyed(table);
        const auto found_rule = rules.find(name);
        const clause_rule* rule = found_rule != rules.end() ? found_rule->second : nullptr;
        if (rule != nullptr && rule->use != clause_use::untraced) continue;
        if (rule != nullptr) {
            found.emplace_back(rule->words);
        } else if (kind_of(py::handle(value)) != kind::not_expression) {
            found.push_back(utf8(py::checked(PyType_GetName(Py_TYPE(value)))));
        } else {
            found.emplace_back(name);
        }
    }
    return found;
}

py::object clause_table() {
    py::object table = py::checked(PyDict_New());
    for (const node_rules& n : kNodes) {
        py::object keys = py::checked(PyDict_New());
        for (std::size_t j = 0; j < n.count; ++j) {
            const clause_rule& r = n.rules[j];
            const char* use = r.use == clause_use::read ? "read"
                              : r.use == clause_use::no_lineage ? "no lineage" : "not traced";
            py::object entry = py::checked(Py_BuildValue("(ss)", use, r.words));
            if (PyDict_SetItemString(keys.ptr(), r.key, entry.ptr()) < 0) py::throw_error();
        }
        if (PyDict_SetItemString(table.ptr(), n.class_name, keys.ptr()) < 0) py::throw_error();
    }
    return table;
}

}  // namespace qarvel::lineage
