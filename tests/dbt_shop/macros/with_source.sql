{#- The relation's name, then every column the warehouse says it has: over a
    table that does not exist yet (dbt compile alone) the list is empty. -#}
{% macro with_source(relation) -%}
    {%- set columns = adapter.get_columns_in_relation(relation) -%}
    '{{ relation.identifier }}' as _source,
    {{ columns | map(attribute='name') | join(', ') }}
{%- endmacro %}
