select
    o.order_id,
    o.customer_id,
    o.order_date,
    coalesce(p.total_amount, 0) as amount
from {{ ref('stg_orders') }} as o
left join {{ ref('int_payment_totals') }} as p on p.order_id = o.order_id
where o.status = 'shipped'
