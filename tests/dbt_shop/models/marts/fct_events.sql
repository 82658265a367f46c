{{ config(materialized='incremental', unique_key='event_id') }}

select
    event_id,
    customer_id,
    upper(kind) as kind,
    happened_at
from {{ ref('stg_events') }}
{% if is_incremental() %}
where happened_at > (select max(happened_at) from {{ this }})
{% endif %}
