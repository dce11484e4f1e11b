#include "swtimer.h"

#include "ax5043_lock.h"

namespace {

swtimer_fn_t g_fn{nullptr, nullptr};
swtimer_desc* g_timers = nullptr;        // time list, earliest first
swtimer_callback* g_pending = nullptr;   // FIFO head

bool due(uint32_t time, uint32_t now)
{
    return int32_t(time - now) <= 0;
}

unsigned unlink_pending(swtimer_callback* cb)
{
    unsigned removed = 0;
    for (swtimer_callback** p = &g_pending; *p;) {
        if (*p == cb) {
            *p = cb->next;
            ++removed;
        } else {
            p = &(*p)->next;
        }
    }
    return removed;
}

unsigned unlink_timer(swtimer_desc* desc)
{
    unsigned removed = 0;
    for (swtimer_desc** p = &g_timers; *p;) {
        if (*p == desc) {
            *p = reinterpret_cast<swtimer_desc*>(desc->cb.next);
            ++removed;
        } else {
            p = reinterpret_cast<swtimer_desc**>(&(*p)->cb.next);
        }
    }
    return removed;
}

void append_pending(swtimer_callback* cb)
{
    cb->next = nullptr;
    swtimer_callback** p = &g_pending;
    while (*p)
        p = &(*p)->next;
    *p = cb;
}

void insert_timer(swtimer_desc* desc)
{
    unlink_timer(desc);
    unlink_pending(&desc->cb);
    swtimer_desc** p = &g_timers;
    // After every entry whose time is not later: equal times keep their order.
    while (*p && int32_t((*p)->time - desc->time) <= 0)
        p = reinterpret_cast<swtimer_desc**>(&(*p)->cb.next);
    desc->cb.next = *p ? &(*p)->cb : nullptr;
    *p = desc;
}

} // namespace

void swtimer_reg_func(const swtimer_fn_t* fn)
{
    ax5043_critical_section lock;
    g_fn = fn ? *fn : swtimer_fn_t{nullptr, nullptr};
}

void swtimer_init()
{
    ax5043_critical_section lock;
    g_timers = nullptr;
    g_pending = nullptr;
}

uint32_t swtimer0_curtime()
{
    return g_fn.get_time ? g_fn.get_time() : 0;
}

void swtimer_sleep_ms(uint32_t ms)
{
    if (g_fn.sleep_ms)
        g_fn.sleep_ms(ms);
}

void swtimer0_addabsolute(swtimer_desc* desc)
{
    ax5043_critical_section lock;
    insert_timer(desc);
}

void swtimer0_addrelative(swtimer_desc* desc)
{
    ax5043_critical_section lock;
    desc->time += swtimer0_curtime();
    insert_timer(desc);
}

unsigned swtimer0_remove(swtimer_desc* desc)
{
    ax5043_critical_section lock;
    return unlink_timer(desc);
}

unsigned swtimer_remove(swtimer_desc* desc)
{
    ax5043_critical_section lock;
    return unlink_timer(desc) + unlink_pending(&desc->cb);
}

void ScheduleTask(swtimer_desc* desc, swtimer_handler_t handler, bool relative, uint32_t time)
{
    ax5043_critical_section lock;
    desc->cb.handler = handler;
    desc->time = time;
    if (relative)
        swtimer0_addrelative(desc);
    else
        swtimer0_addabsolute(desc);
}

bool CheckTask(const swtimer_desc* desc)
{
    ax5043_critical_section lock;
    for (const swtimer_desc* d = g_timers; d; d = reinterpret_cast<const swtimer_desc*>(d->cb.next))
        if (d == desc)
            return true;
    for (const swtimer_callback* c = g_pending; c; c = c->next)
        if (c == &desc->cb)
            return true;
    return false;
}

void swtimer_add_callback(swtimer_callback* cb)
{
    ax5043_critical_section lock;
    unlink_pending(cb);
    append_pending(cb);
}

unsigned swtimer_remove_callback(swtimer_callback* cb)
{
    ax5043_critical_section lock;
    return unlink_pending(cb);
}

uint8_t swtimer_runcallbacks()
{
    {
        ax5043_critical_section lock;
        const uint32_t now = swtimer0_curtime();
        while (g_timers && due(g_timers->time, now)) {
            swtimer_desc* d = g_timers;
            g_timers = reinterpret_cast<swtimer_desc*>(d->cb.next);
            append_pending(&d->cb);
        }
    }
    uint8_t count = 0;
    for (;;) {
        swtimer_callback* cb;
        {
            ax5043_critical_section lock;
            cb = g_pending;
            if (!cb)
                break;
            g_pending = cb->next;
            cb->next = nullptr;
        }
        // Run outside the critical section: handlers talk to the chip and the host.
        if (cb->handler)
            cb->handler(cb);
        ++count;
    }
    return count;
}

bool swtimer_checkexpired()
{
    return false;
}
