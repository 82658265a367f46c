// One analysis: a statement's tree read once, read-only, into query_info
// values, then turned into the result objects.
//
// Where each construct is read:
//   analysis.cpp      names, normalisation and the registries (tables,
//                     columns, unresolved entries)
//   query.cpp         queries: SELECT, set operations, WITH, the clauses
//                     after FROM, the select list
//   sources.cpp       FROM and JOIN: one function per kind of source
//   generators.cpp    row generators: UNNEST, explode, inline, LATERAL VIEW,
//                     FLATTEN, ARRAY JOIN, and the rows they decide
//   pivot.cpp         PIVOT / UNPIVOT applied to a source
//   expressions.cpp   expressions: the walk and one handler per family
//   structs.cpp       struct values: the constructors that name their fields
//   fields.cpp        reading one field: accessors, typed columns, s.*
//   resolution.cpp    column references and select-list aliases
//   stars.cpp         stars, their modifiers and COLUMNS(...)
//   selectors.cpp     the patterns and conditions that pick columns by name
//   statement.cpp     statements that write (INSERT, CREATE, MERGE, ...)
//   scope.hpp/.cpp    the sources visible to a query and their look-ups
#pragma once

#include "interop/object.hpp"
#include "lineage/kinds.hpp"
#include "lineage/model.hpp"
#include "lineage/scope.hpp"
#include "lineage/stars.hpp"

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

// The schema index as an analysis reads it: `entries` maps every way a
// statement can name a table, (catalog, db, name), to ((catalog, db, name),
// columns); `depth` says how deeply the schema nests (2: tables, 3: dbs,
// 4: catalogs).  No entries: no schema.
struct schema_view {
    py::object entries;
    int depth = 4;
    // By a table's full key, {column: sqlglot DataType} of its struct
    // columns; may be empty.
    py::object types;
};

struct profile {
    strategy rule = strategy::lowercase;
    bool ascii_only = false;
    // BigQuery: the parts of a qualified table name keep their case.
    bool qualified_tables_case_sensitive = false;
    // a.b where no table is called a reads field b of a column a (BigQuery,
    // DuckDB, Hive and Spark, Presto and Trino).
    bool dotted_fields = false;
    // UNNEST of an array of structs has a column per field (BigQuery).
    bool unnest_fields = false;
    // Table names keep their case (MySQL); other names follow `rule`.
    bool tables_case_sensitive = false;
};

// Every name below is borrowed: from the analysis's table of names, the
// schema's entries it holds, or the constant table, all of which outlive it.
struct table_ref {
    py::handle catalog;  // empty when not named
    py::handle db;
    py::handle name;
};

struct physical_column {
    int table;        // index in the table registry
    py::handle name;  // normalised
};

struct unresolved_entry {
    py::handle text;   // the reference as written ("c", "t.*")
    py::handle table;  // the table it names, or empty
    cause why;
};

// What a statement writes, and the lineage of each column it writes.
// What a statement does to the tables a script has seen: the script layer
// keeps one action per effect (_script.py, _ACTIONS).
//   define   CREATE: the target's columns are `defined` (or its outputs), its content the outputs
//   write    INSERT, UPDATE, MERGE: the outputs are added to the target
//   replace  INSERT OVERWRITE: the outputs replace the target's content
//   filter   DELETE ... WHERE: the WHERE decides which rows stay
//   empty    TRUNCATE, DELETE without WHERE: the `named` tables are emptied
//   drop     DROP: the `named` tables are gone
//   rename   ALTER ... RENAME TO, RENAME TABLE: `named` holds (old, new) pairs
#define QARVEL_LINEAGE_EFFECTS(X) \
    X(none) X(define) X(write) X(replace) X(filter) X(empty) X(drop) X(rename)

enum class effect : std::uint8_t {
#define QARVEL_LINEAGE_EFFECT(name) name,
    QARVEL_LINEAGE_EFFECTS(QARVEL_LINEAGE_EFFECT)
#undef QARVEL_LINEAGE_EFFECT
};

struct statement_info {
    std::vector<output> outputs;
    lineage all;
    bool has_target = false;
    table_ref target{};
    effect does = effect::none;
    std::vector<table_ref> named;  // the tables a DROP or a TRUNCATE names
    bool has_defined = false;      // CREATE TABLE t (a INT, ...) without a query
    std::vector<py::handle> defined;
};

// What an alias gives a source: its name and its column list (t AS a(x, y)).
struct source_alias {
    py::handle name;
    std::vector<py::handle> columns;
};

class analysis {
  public:
    analysis(const profile& rules, schema_view schema);

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

  private:
    // --- names and registries (analysis.cpp) ----------------------------------------
    py::handle name_of(py::handle identifier, bool qualified_table = false);
    // The name of a column (its own name) or of an identifier.
    py::handle column_name(py::handle node);
    py::handle item_name(py::handle item, py::object& value);
    // The name an alias gives: a TableAlias's, or a plain identifier's.
    py::handle alias_name(py::handle alias);
    // The names of an alias's column list (t AS a(x, y)).
    std::vector<py::handle> alias_columns(py::handle alias);
    std::vector<py::handle> alias_columns_of(py::handle list);
    // The names of a list of identifiers.
    std::vector<py::handle> names_in(py::handle list);
    // The parts of a table node's name.
    table_ref table_name(py::handle table_node);
    int table_index(py::handle table_node);
    // The columns the schema index gives a table (a tuple of str), or empty.
    py::object schema_lookup(const table_ref& t);
    py::handle schema_columns(int table);
    // The fields of a struct column of a physical table, from the schema's
    // type (each field that column's part, `s.f`), or null.
    const field_list* typed_fields(int table, py::handle column);
    const field_list* type_fields(int table, const std::string& path, py::handle type, int depth);
    const field_list* column_fields(const source& src, py::handle column);
    col_id column_of(int table, py::handle name);
    std::uint32_t note(py::handle text, py::handle table, cause why);
    // Every clause of `node` the engine does not read and that changes its
    // rows or values: one "not traced" entry each, deciding every row of
    // `all` (clauses.hpp).  True when there was one.
    bool untraced(py::handle node, kind k, lineage& all);
    std::string table_text(int table) const;
    py::handle table_label(int table);
    py::handle normalise(py::handle text, bool quoted, bool keep_case);
    py::handle intern_text(py::object text);
    py::handle canonical(py::handle text);
    py::handle text_name(const std::string& text);
    py::handle generated_name(std::size_t index);

    // --- queries (query.cpp) ---------------------------------------------------------
    const query_info* parenthesised(py::handle node, scope* outer, const cte_env* env);
    const query_info* select(py::handle node, scope* outer, const cte_env* env);
    const query_info* set_operation(py::handle node, kind k, scope* outer, const cte_env* env);
    const query_info* with_modifiers(py::handle node, scope* outer, const cte_env* env, query_info& q);
    const query_info* union_chain(py::handle node, scope* outer, const cte_env* env);
    void by_name(py::handle args, const query_info* left, const query_info* right, query_info& q);
    const query_info* values(py::handle node, scope& sc);
    const cte_env* with_clause(py::handle node, scope* outer, const cte_env* env);
    const query_info* recursive_cte(py::handle name, py::handle body, const std::vector<py::handle>& columns,
                                    scope* outer, const cte_env* env);
    const query_info* renamed(const query_info* q, const std::vector<py::handle>& names);
    output unnamed_after_star(py::handle name, const output& star);
    void select_list(py::handle node, scope& sc, query_info& q);
    py::handle output_name(py::handle item, kind k);
    void modifiers(py::handle node, scope& sc, query_info& q, bool has_group_aliases);
    void group_by(py::handle group, scope& sc, query_info& q, clause where);
    void distinct_keys(py::handle on, scope& sc, query_info& q);
    bool by_position(py::handle item, scope& sc, query_info& q, mode m);

    // --- sources (sources.cpp, pivot.cpp) --------------------------------------------
    void from_and_joins(py::handle args, scope& sc, query_info& q);
    void joins(py::handle list, scope& sc, query_info& q);
    void match_recognize(py::handle node, scope& sc, query_info& q);
    void join_conditions(py::handle join, scope& sc, query_info& q);
    void using_columns(const std::vector<py::handle>& names, scope& sc, query_info& q);
    void natural_join(scope& sc, query_info& q);
    std::vector<py::handle> column_names(const source& src);
    void add_source(py::handle node, scope& sc, query_info& q);
    bool table_reference(py::handle node, py::handle args, const source_alias& alias, scope& sc, query_info& q,
                         source& src);
    source physical_table(int table, py::handle alias);
    bool semantic_view(py::handle node, const source_alias& alias, scope& sc, query_info& q, source& src);
    source derived_table(const query_info* inner, py::handle alias, py::handle unnamed);
    source renamed_table(source src, const std::vector<py::handle>& names);
    bool several_outputs(py::handle item, kind k, scope& sc, query_info& q);
    source rows_from(py::handle functions, const source_alias& alias, scope& sc);
    source table_function(py::handle function, const source_alias& alias, scope& sc);
    bool subquery_source(py::handle node, py::handle args, const source_alias& alias, scope& sc, query_info& q,
                         source& src);
    bool lateral_source(py::handle args, py::handle alias_node, const source_alias& alias, scope& sc,
                        query_info& q, source& src);
    source untraced_source(py::handle node, py::handle alias);
    bool aliased_join(py::handle inner_node, py::handle args, const source_alias& alias, scope& sc,
                      query_info& q, source& src);
    void pivoted(py::handle pivots, source& src, query_info& q);
    void pivot_statement(py::handle root, query_info& pq);
    bool stack_values(py::handle node, std::vector<py::object>& values);
    void stacked_column(const std::vector<py::object>& values, std::size_t j, std::size_t width, scope& sc,
                        lineage& out);
    bool pivot_columns(py::handle pivot_args, source& src, query_info& pq);
    py::handle pivot_column_name(py::handle column, const std::vector<py::object>& aliases);
    void unnamed_aggregation(const source& src, query_info& pq);
    bool unpivot_columns(py::handle pivot_args, source& src, query_info& pq);
    bool source_columns(const source& src, std::vector<py::handle>& names);
    void read_names(py::handle node, std::vector<py::handle>& names, int depth);
    void values_from_data(const source& src, query_info& pq);
    bool kept_columns(const source& src, const std::vector<py::handle>& used, query_info& pq, bool grouped);

    // --- row generators (generators.cpp) ---------------------------------------------
    void generated_rows(py::handle generator, const field_list* array, const lineage& values, lineage& all);
    void walk_explode(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void array_join(py::handle join, scope& sc, query_info& q);
    source flatten_source(py::handle function, py::handle alias, scope& sc, query_info& q);
    void lateral_view(py::handle node, py::handle alias_node, scope& sc, query_info& q);
    source inline_source(py::handle node, const field_list* element, const std::vector<py::handle>& names,
                         const lineage& values, py::handle alias);
    static bool is_inline_call(py::handle node);
    void inline_outputs(output o, query_info& q);
    void unnest_source(py::handle node, py::handle alias_node, scope& sc, query_info& q);
    void stacked_view(const std::vector<py::object>& values, const std::vector<py::handle>& names, py::handle alias,
                      scope& sc, query_info& q);

    // --- expressions (expressions.cpp) -----------------------------------------------
    void expression(py::handle node, scope& sc, mode m, lineage& out, clause where);
    void walk(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_children(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_operator(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_in(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_window(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_case(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_if(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_filter(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_lambda(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_grouping(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_order(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_within_group(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void subquery(py::handle node, scope& sc, mode m, lineage& out);
    void dispatch(py::handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth);

    // --- struct values (structs.cpp, fields.cpp) -------------------------------------
    static bool gives_shape(kind k) noexcept;
    void walk_structured(py::handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_struct(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_named_struct(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_function(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_map(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_tuple(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_array(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_array_agg(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    const field_list* tuple_fields(py::handle tuple, scope& sc, lineage& out, clause where, int depth);
    const field_list* query_rows(py::handle query_node, scope& sc, lineage& out);
    void walk_cast(py::handle node, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_access(py::handle node, kind k, scope& sc, mode m, lineage& out, clause where, int depth);
    void walk_rest(py::handle node, py::handle skip, scope& sc, mode m, lineage& out, clause where, int depth);
    py::handle field_key(py::handle node);
    const output* field_named(const field_list* list, py::handle key);
    bool expandable(const field_list* list);
    void add_field(field_list& list, py::handle name, py::handle value, scope& sc, mode m, lineage& out,
                   clause where, int depth);
    bool access_keys(py::handle node, kind k, std::vector<py::handle>& keys);
    const output* accessed_field(py::handle node, kind k, const field_list* s, std::vector<py::handle>& keys);
    void field_path(const source& src, py::handle column, const std::vector<py::handle>& path, mode m,
                    lineage& out);
    const field_list* path_fields(const source& src, py::handle column, const std::vector<py::handle>& path);
    bool struct_star(py::handle column_args, scope& sc, query_info& q);
    void emit_fields(const field_list& fields, query_info& q);
    const field_list* element_of(const field_list* fields);
    const field_list* merge_fields(const field_list* a, const field_list* b);
    bool absorb_fields(field_list& into, const field_list& from);
    std::vector<py::handle> struct_type_names(py::handle type, bool& array);

    // --- names in expressions (resolution.cpp) ---------------------------------------
    void column_ref(py::handle node, scope& sc, mode m, lineage& out, clause where);
    void unqualified(py::handle name, scope& sc, mode m, lineage& out, clause where);
    bool settle(const std::vector<const source*>& found, py::handle name, bool using_column, mode m,
                lineage& out);
    void whole_row(const source& src, mode m, lineage& out);
    void qualified(py::handle args, py::handle qualifier, py::handle name, scope& sc, mode m, lineage& out);
    bool resolve_in(const source& src, py::handle name, mode m, lineage& out);
    bool resolve_physical(const source& src, py::handle name, mode m, lineage& out);
    bool resolve_derived(const source& src, py::handle name, mode m, lineage& out);
    bool resolve_past_stars(const source& src, py::handle name, mode m, lineage& out);
    bool alias_reference(py::handle name, scope& sc, mode m, lineage& out, clause where);

    // --- stars (stars.cpp) -----------------------------------------------------------
    bool star_item(py::handle item, kind k, scope& sc, query_info& q);
    bool read_star(py::handle node, star_spec& spec, scope& sc);
    star_rules* modifiers_of(py::handle star_node, scope& sc);
    void star(py::handle star_node, py::handle qualifier, scope& sc, query_info& q);
    void star_columns(const star_spec& spec, scope& sc, std::vector<output>& outs);
    verdict through_rules(const star_rules* rules, py::handle& name, const output*& replaced);
    void columns_selection(py::handle node, scope& sc, std::vector<output>& chosen);
    void walk_columns(py::handle node, scope& sc, mode m, lineage& out);
    void walk_item(py::handle item, scope& sc, output& o, const output* binding, std::vector<py::object>* met);
    void columns_item(py::handle item, kind k, const std::vector<py::object>& met, scope& sc, query_info& q,
                      std::size_t index);
    friend struct star_expansion;

    // --- selectors (selectors.cpp) ---------------------------------------------------
    py::object literal_text(py::handle node);
    py::object compile_pattern(py::handle regex, cause& why);
    bool pattern_matches(py::handle regex, py::handle name, bool whole);
    name_selector pattern_selector(py::handle pattern, py::handle escape, kind k, bool negate);
    name_selector regex_selector(py::handle pattern);
    verdict selects(const name_selector& s, py::handle name);
    py::object lambda_text(py::handle node, py::handle param, py::handle name, int depth);
    verdict lambda_verdict(py::handle node, py::handle param, py::handle name, int depth);
    verdict lambda_in(py::handle args, py::handle param, py::handle name, int depth);
    verdict lambda_match(py::handle node, kind k, py::handle param, py::handle name, int depth);

    profile rules_;
    schema_view schema_;
    // The one object of each text this analysis uses as a name: every name
    // handle of the analysis is borrowed from here, the schema's entries or
    // the constant table.
    py::object names_;
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
    std::vector<py::object> schema_types_;    // per table: its struct columns' types or empty
    std::unordered_map<std::string, const field_list*> typed_fields_;
    std::deque<cte_env> envs_;
    // Names read from literals: while an output is named, and elsewhere.
    bool naming_output_ = false;
    // While an output's written name is read: names keep their case.
    bool keep_written_ = false;
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
    // Aggregates met by the walk (GROUP BY ALL keeps the select items
    // without one of their own).
    std::uint32_t aggregates_ = 0;
    // The fields of the value the walk read last, where known (null
    // otherwise), and the struct a select item's UNNEST(struct) expands.
    const field_list* shape_ = nullptr;
    const field_list* unnested_struct_ = nullptr;
    // While a select list is walked: the influences of its query's rows,
    // which a row generator in it (explode(v), UNNEST(v)) adds to.
    lineage* rows_of_item_ = nullptr;
    // The array the last explode(v) / posexplode(v) / inline(v) walked
    // expanded (its fields, where known).
    const field_list* expanded_ = nullptr;
    std::deque<field_list> field_lists_;
    // The modifiers of stars over columns that are not known (placeholders
    // point at them).
    std::deque<star_rules> star_rules_;
    // While a select item is walked: its scope, the column COLUMNS(...)
    // stands for in it (null: none yet), and where the COLUMNS(...) it
    // holds are noted (null: not noted).
    scope* columns_scope_ = nullptr;
    const output* columns_binding_ = nullptr;
    std::vector<py::object>* columns_met_ = nullptr;

    // --- writes (statement.cpp) ------------------------------------------------------
    statement_info insert(py::handle root);
    statement_info create(py::handle root);
    bool created_like(py::handle root, statement_info& s);
    std::vector<table_ref> named_tables(py::handle root);
    statement_info select_into(py::handle root);
    statement_info alter_rename(py::handle root);
    statement_info rename_command(py::handle text);
    statement_info in_place(py::handle root, kind k);
    void merge(py::handle args, scope& sc, query_info& q, statement_info& s);
    void merge_branch(py::handle when, scope& sc, std::size_t first, statement_info& s);
    void merge_star(scope& sc, std::size_t first, const lineage& condition, statement_info& s);
    void update(py::handle args, scope& sc, query_info& q, statement_info& s);
    void remove(py::handle args, scope& sc, query_info& q, statement_info& s);
    void assign(py::handle assignment, scope& sc, statement_info& s, const lineage* condition);
    source target_source(py::handle table_node);
    py::object open_target(py::handle root, statement_info& s, scope& sc);
    py::object from_alias(py::handle args, py::handle target);
    bool written_table(py::handle target, statement_info& s, std::vector<py::handle>& names);
    const query_info* written_query(py::handle root, statement_info& s, std::vector<py::handle>& names);
};

}  // namespace qarvel::lineage
