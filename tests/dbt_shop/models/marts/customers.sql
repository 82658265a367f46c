with orders as (
    select
        customer_id,
        min(order_date) as first_order,
        count(*) as number_of_orders,
        sum(amount) as lifetime_value
    from {{ ref('int_orders') }}
    group by customer_id
)

select
    c.customer_id,
    c.first_name || ' ' || c.last_name as full_name,
    o.first_order,
    o.number_of_orders,
    o.lifetime_value,
    rank() over (order by o.lifetime_value desc) as value_rank
from {{ ref('stg_customers') }} as c
join orders as o on o.customer_id = c.customer_id
