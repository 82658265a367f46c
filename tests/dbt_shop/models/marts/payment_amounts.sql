select _source, payment_id, amount from {{ ref('payments_by_source') }}
