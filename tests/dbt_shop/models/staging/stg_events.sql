select * from {{ source('ext', 'events') }}
