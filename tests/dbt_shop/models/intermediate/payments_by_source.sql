select {{ with_source(ref('stg_payments')) }}
from {{ ref('stg_payments') }}
