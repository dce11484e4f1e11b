#pragma once

// The library's critical sections: bracketed by the host's global-interrupt hooks, which the
// host makes exclusive with its interrupt handler. Nesting is allowed.
void ax5043_enter_critical();
void ax5043_exit_critical();

struct ax5043_critical_section {
    ax5043_critical_section() { ax5043_enter_critical(); }
    ~ax5043_critical_section() { ax5043_exit_critical(); }
    ax5043_critical_section(const ax5043_critical_section&) = delete;
    ax5043_critical_section& operator=(const ax5043_critical_section&) = delete;
};
