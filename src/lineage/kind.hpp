// The shapes of sqlglot's tree the engine tells apart: one kind per sqlglot
// class it handles (kinds.hpp says how a node's kind is found).
#pragma once

#include <cstdint>

// The sqlglot classes the engine tells apart, most specific first where one
// derives from another (the order of the subclass tests).
// clang-format off
#define QARVEL_LINEAGE_CLASSES(X)                                               \
    X(Subquery) X(Union) X(Intersect) X(Except) X(Select) X(Values)             \
    X(CTE) X(With) X(From) X(Join) X(Table) X(TableAlias) X(Column) X(Star)     \
    X(Identifier) X(PivotAlias) X(Alias) X(Literal) X(Null) X(Boolean)          \
    X(Window) X(Case) X(If) X(Unnest) X(Lateral) X(Tuple) X(Where) X(Group)     \
    X(Having) X(Qualify) X(Order) X(Ordered) X(Limit) X(Offset) X(Fetch)        \
    X(Filter) X(Lambda) X(Paren) X(Dot) X(Cast) X(Bracket) X(Exists) X(In)      \
    X(Grouping) X(GroupingId) X(WithinGroup) X(ArrayAgg) X(GroupConcat)        \
    X(Struct) X(PropertyEQ) X(StructExtract) X(GetExtract) X(JSONExtract)      \
    X(JSONPath) X(JSONPathKey) X(Posexplode) X(Explode) X(Inline) X(Array) X(ColumnDef)                 \
    X(Pivot) X(MatchRecognize) X(ToTableProperty) X(TableFromRows) X(SemanticView)   \
    X(Schema) X(DataType) X(Placeholder) X(Parameter) X(Var)           \
    X(MD5) X(MD5Digest) X(SHA) X(SHA2) X(SHA1Digest) X(SHA2Digest)             \
    X(Insert) X(Create) X(Merge) X(When) X(Whens) X(Update) X(Delete) X(Drop)  \
    X(Command) X(Use) X(Set) X(Transaction) X(Commit) X(Rollback) X(Grant)     \
    X(Describe) X(Alter) X(Show) X(Copy) X(Comment) X(Cache) X(Uncache)        \
    X(Refresh) X(Analyze) X(Pragma) X(Truncate) X(TruncateTable) X(EQ)         \
    X(AlterRename) X(Into) X(QueryTransform) X(Aliases) X(Stack)               \
    X(Columns) X(Like) X(ILike) X(SimilarTo) X(Escape) X(Not) X(And) X(Or)      \
    X(NEQ) X(RegexpLike) X(RegexpILike) X(RegexpFullMatch) X(StartsWith)       \
    X(EndsWith) X(Contains) X(Lower) X(Upper)                                   \
    X(JSONObject) X(JSONKeyValue) X(JSONExtractScalar) X(JSONBExtract)          \
    X(JSONBExtractScalar) X(VarMap) X(Map) X(Kwarg) X(LikeProperty)            \
    X(AggFunc) X(Anonymous) X(Func) X(Query) X(Expression)
// clang-format on

namespace qarvel::lineage {

enum class kind : std::uint8_t {
    not_expression,  // not a sqlglot expression at all (str, bool, None, ...)
#define QARVEL_LINEAGE_KIND(name) name,
    QARVEL_LINEAGE_CLASSES(QARVEL_LINEAGE_KIND)
#undef QARVEL_LINEAGE_KIND
};

}  // namespace qarvel::lineage
