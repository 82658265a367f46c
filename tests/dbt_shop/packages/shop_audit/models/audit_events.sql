select event_id, kind from {{ ref('stg_events') }}
