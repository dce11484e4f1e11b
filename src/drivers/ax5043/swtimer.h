#pragma once

#include <cstdint>

// Software timer of the radio library: a time-ordered list of timer descriptors and a FIFO of
// pending callbacks, both polled by the library's caller through swtimer_runcallbacks(). Times
// are milliseconds of the registered clock, compared as signed 32-bit differences so the clock
// may wrap.

struct swtimer_callback;
typedef void (*swtimer_handler_t)(swtimer_callback* cb);

struct swtimer_callback {
    swtimer_callback* next;
    swtimer_handler_t handler;
};

// A timer entry: while its time has not come it sits in the time list; then it moves to the
// pending FIFO through its callback part.
struct swtimer_desc {
    swtimer_callback cb;
    uint32_t time;
};

// Clock of the library's caller. sleep_ms is where the library's 1 ms waits go, so a test clock
// can advance its own time instead of sleeping.
struct swtimer_fn_t {
    uint32_t (*get_time)();
    void (*sleep_ms)(uint32_t ms);
};

void swtimer_reg_func(const swtimer_fn_t* fn);
void swtimer_init();
uint32_t swtimer0_curtime();
void swtimer_sleep_ms(uint32_t ms);

// Time list.
void swtimer0_addabsolute(swtimer_desc* desc);
void swtimer0_addrelative(swtimer_desc* desc);
unsigned swtimer0_remove(swtimer_desc* desc);
// Out of both lists; how many entries were taken out.
unsigned swtimer_remove(swtimer_desc* desc);
void ScheduleTask(swtimer_desc* desc, swtimer_handler_t handler, bool relative, uint32_t time);
bool CheckTask(const swtimer_desc* desc);

// Pending FIFO. Adding takes the callback out first, so a callback queued twice before it runs
// runs once.
void swtimer_add_callback(swtimer_callback* cb);
unsigned swtimer_remove_callback(swtimer_callback* cb);

// Moves every due descriptor to the pending FIFO, then runs pending callbacks until none is
// left; the number run.
uint8_t swtimer_runcallbacks();
bool swtimer_checkexpired();
