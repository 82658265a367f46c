// One analysis: a statement's tree read once, read-only, into query_info
// values, then turned into the result objects.
#pragma once

#include "interop/object.hpp"
#include "lineage/kinds.hpp"
#include "lineage/model.hpp"

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace qarvel::lineage {

// How the dialect compares unquoted and quoted names (sqlglot's
// normalisation strategies).
enum class strategy : int {
    lowercase = 0,
    uppercase = 1,
    case_sensitive = 2,
    case_insensitive = 3,
    case_insensitive_uppercase = 4,
};

struct profile {
    strategy rule = strategy::lowercase;
    bool ascii_only = false;
    // BigQuery: the parts of a qualified table name keep their case.
    bool qualified_tables_case_sensitive = false;
};

struct table_ref {
    PyObject* catalog;  // null when not named
    PyObject* db;
    PyObject* name;
};

struct physical_column {
    int table;       // index in the table registry
    PyObject* name;  // normalised, interned
};

struct unresolved_entry {
    PyObject* text;   // the reference as written ("c", "t.*")
    PyObject* table;  // the table it names, or null
    std::string reason;
};

// Where an unqualified name may also name a select-list alias.
enum class clause : std::uint8_t { plain, select_list, group_having, order_by };

struct cte_env {
    PyObject* name;
    const query_info* q;
    const cte_env* next;
};

class analysis;

// A source of a query: a physical table, a derived one (CTE, sub-query,
// UNNEST, VALUES, table function: its columns are a query_info's outputs),
// or one whose columns are not traced (PIVOT).
struct source {
    enum type : std::uint8_t { physical, derived, opaque };
    type kind = physical;
    PyObject* alias = nullptr;      // what qualifies its columns (normalised), may be null
    int table = -1;                 // physical: index in the table registry
    const query_info* q = nullptr;  // derived
    std::string reason;             // opaque
    std::string label;              // its name in messages

    bool columns_known(analysis& an) const;
};

// The names visible to the expressions of one query.
struct scope {
    std::vector<source> sources;
    scope* outer = nullptr;
    const cte_env* env = nullptr;
    const std::vector<output>* outputs = nullptr;  // the select list, for alias references
    std::vector<PyObject*> using_names;            // columns of USING joins
    std::vector<PyObject*> lambda_params;
    py::object windows;                            // the WINDOW clause's named windows
    bool hierarchical = false;                     // CONNECT BY: LEVEL and its kind exist
};

// What a statement writes, and the lineage of each column it writes.
struct statement_info {
    std::vector<output> outputs;
    lineage all;
    bool has_target = false;
    table_ref target{};
};

class analysis {
  public:
    analysis(const profile& rules, py::handle schema);

    // The lineage of a query node (Select, set operation, Subquery, Values).
    const query_info* query(py::handle node, scope* outer, const cte_env* env);
    // The lineage of any statement: a query's, or what a writing statement
    // (INSERT, CREATE ... AS, MERGE, UPDATE, DELETE) writes; nothing for others.
    statement_info statement(py::handle root);
    // Whether a name other than an output column's came from a literal's
    // value; output columns named by a literal say so themselves
    // (output::literal_name).
    bool literal_elsewhere() const noexcept { return literal_elsewhere_; }
    // Whether a table is read (a source of the statement).
    bool read(int table) const noexcept { return read_[static_cast<std::size_t>(table)] != 0; }

    // Registries, in order of first appearance.
    const std::vector<table_ref>& tables() const noexcept { return tables_; }
    const std::vector<unresolved_entry>& unresolved() const noexcept { return unresolved_; }
    const std::vector<physical_column>& columns() const noexcept { return columns_; }

    // --- used by the statement layer (writes) -------------------------------------
    PyObject* name_of(py::handle identifier, bool qualified_table = false);
    int table_index(py::handle table_node);
    col_id column_of(int table, PyObject* name);
    std::uint32_t note(PyObject* text, PyObject* table, std::string reason);
    PyObject* schema_columns(int table);
    void expression(py::handle node, scope& sc, mode m, lineage& out, clause where);

  private:
    statement_info insert(py::handle root);
    statement_info create(py::handle root);
    statement_info merge(py::handle root);
    statement_info update(py::handle root);
    statement_info remove(py::handle root);
    table_ref target_of(py::handle table_node);
    PyObject* schema_of(const table_ref& t);
    // The columns the schema index gives a table (a tuple of str), or empty.
    py::object schema_lookup(PyObject* catalog, PyObject* db, PyObject* name);
    source target_source(py::handle table_node);
    bool open_target(py::handle root, py::handle target, statement_info& s, scope& sc);
    void from_and_joins(py::handle args, scope& sc, query_info& q);

    PyObject* keep(py::object name);
    PyObject* normalise(PyObject* text, bool quoted, bool keep_case);
    PyObject* intern_text(py::object text);
    PyObject* canonical(py::handle text);

    const query_info* select(py::handle node, scope* outer, const cte_env* env);
    const query_info* set_operation(py::handle node, kind k, scope* outer, const cte_env* env);
    const query_info* values(py::handle node, scope& sc);
    const cte_env* with_clause(py::handle node, scope* outer, const cte_env* env);
    void add_source(py::handle node, scope& sc, query_info& q);
    void unnest_source(py::handle node, py::handle alias, scope& sc, query_info& q, bool lateral_view);
    void join_conditions(py::handle join, scope& sc, query_info& q);
    void select_list(py::handle node, scope& sc, query_info& q);
    void star(py::handle star_node, PyObject* qualifier, scope& sc, query_info& q);
    void modifiers(py::handle node, scope& sc, query_info& q, bool has_group_aliases);
    void column_ref(py::handle node, scope& sc, mode m, lineage& out, clause where);
    bool resolve_in(const source& src, PyObject* name, mode m, lineage& out);
    bool has_column(const source& src, PyObject* name);
    const query_info* renamed(const query_info* q, const std::vector<PyObject*>& names);
    PyObject* generated_name(std::size_t index);
    void nested_joins(py::handle node, scope& sc, query_info& q);
    void walk(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_children(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void subquery(py::handle node, scope& sc, mode m, lineage& out);
    bool alias_reference(PyObject* name, scope& sc, mode m, lineage& out, clause where);
    PyObject* output_name(py::handle item, kind k);
    std::string table_text(int table) const;

    profile rules_;
    py::object schema_;  // dict of (catalog, db, name) -> (key, columns); None -> depth
    int schema_depth_ = 4;
    std::vector<py::object> kept_;
    py::object names_;  // text -> the one object of that text
    std::deque<query_info> queries_;
    std::vector<table_ref> tables_;
    std::vector<char> read_;
    std::vector<physical_column> columns_;
    std::unordered_map<std::string, col_id> column_ids_;
    std::vector<unresolved_entry> unresolved_;
    std::unordered_map<std::string, std::uint32_t> unresolved_ids_;
    // Nodes walked, and how often (a mask) pending signals are looked for.
    std::uint32_t steps_ = 0;
    static constexpr std::uint32_t kSignalEvery = 0xFFF;
    std::vector<py::object> schema_entries_;  // per table: the schema's columns or empty
    std::deque<cte_env> envs_;
    // Names read from literals: while an output is named, and elsewhere.
    bool naming_output_ = false;
    bool output_literal_ = false;
    bool literal_elsewhere_ = false;
    void read_literal_name() noexcept {
        if (naming_output_) {
            output_literal_ = true;
        } else {
            literal_elsewhere_ = true;
        }
    }
    int query_depth_ = 0;
};

}  // namespace qarvel::lineage
