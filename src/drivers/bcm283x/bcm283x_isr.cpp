// GPIO interrupts through the Linux sysfs GPIO interface: one watch thread per registered pin.
//
// A watch thread polls the pin's value file together with its own eventfd. Registration changes
// and cancellation write to that eventfd, so the thread wakes without any signal being sent: a
// process-wide signal handler would interfere with the rest of the program (Qt's handling of
// child processes in particular).

#include "bcm283x.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

uint32_t bcm283x_isr_read_tick();
int bcm283x_isr_read_level(unsigned gpio);

namespace {

constexpr unsigned EDGE_NONE = ~0u;
constexpr size_t WATCH_STACK_SIZE = 0x40000;

struct watch {
    unsigned gpio = 0;
    int wake_fd = -1;
    pthread_t thread{};
    // Set (under the table mutex) by whoever takes the watch out of its entry.
    bool stop = false;
    // The thread frees itself on exit (it ended on its own, or was stopped from its own callback).
    bool detached = false;
};

struct gpioISR_t {
    unsigned gpio = 0;
    watch* pth = nullptr;            // the watching thread, null when none
    bcm283x_isr_func func = nullptr; // callback
    unsigned edge = EDGE_NONE;       // edge last written to sysfs
    int timeout = -1;                // ms; -1 waits for ever
    int fd = -1;                     // the open value file
    int inited = 0;                  // nonzero while the pin is exported
};

std::mutex g_isr_mutex;
gpioISR_t gpioISR[BCM283x_GPIO_COUNT];

std::string gpio_path(unsigned gpio, const char* leaf)
{
    return bcm283x_get_system().sysfs_gpio_root + "/gpio" + std::to_string(gpio) + "/" + leaf;
}

// Writes text to a sysfs file; returns the byte count written or -1.
ssize_t write_text(const std::string& path, const std::string& text)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
    return n;
}

void wake(watch* w)
{
    uint64_t one = 1;
    ssize_t n = ::write(w->wake_fd, &one, sizeof(one));
    (void)n; // a full counter already wakes the thread
}

void drain(int fd)
{
    uint64_t value;
    ssize_t n = ::read(fd, &value, sizeof(value));
    (void)n;
}

void free_watch(watch* w)
{
    if (w->wake_fd >= 0)
        ::close(w->wake_fd);
    delete w;
}

// Takes the watch out of its entry; the caller holds the table mutex. Returns the watch to join
// (null when there is none, or when the caller is the watch thread itself, which then exits
// after its callback returns and frees itself).
watch* detach_entry_watch(gpioISR_t& entry)
{
    watch* w = entry.pth;
    if (!w)
        return nullptr;
    entry.pth = nullptr;
    entry.func = nullptr;
    w->stop = true;
    wake(w);
    if (pthread_equal(pthread_self(), w->thread)) {
        w->detached = true;
        pthread_detach(w->thread);
        return nullptr;
    }
    return w;
}

void join_watch(watch* w)
{
    pthread_join(w->thread, nullptr);
    free_watch(w);
}

int open_value(unsigned gpio)
{
    const bcm283x_system& sys = bcm283x_get_system();
    std::string path = gpio_path(gpio, "value");
    if (sys.open_value)
        return sys.open_value(gpio, path);
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Ends the thread's watch: when it still owns its entry (it stopped on an error), the entry is
// cleared and the thread frees itself.
void finish(watch* w, int fd)
{
    bool self_free;
    {
        std::lock_guard<std::mutex> lock(g_isr_mutex);
        gpioISR_t& entry = gpioISR[w->gpio];
        if (entry.pth == w) {
            entry.pth = nullptr;
            entry.func = nullptr;
            w->detached = true;
            pthread_detach(w->thread);
        }
        if (entry.fd == fd)
            entry.fd = -1;
        self_free = w->detached;
    }
    if (fd >= 0)
        ::close(fd);
    if (self_free)
        free_watch(w);
}

void* pthISRThread(void* arg)
{
    watch* w = static_cast<watch*>(arg);
    const unsigned gpio = w->gpio;
    const short events = bcm283x_get_system().value_events;
    char buf[64];

    int fd = open_value(gpio);
    if (fd < 0) {
        finish(w, -1);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(g_isr_mutex);
        if (gpioISR[gpio].pth == w)
            gpioISR[gpio].fd = fd;
    }
    // Consume an event that is already pending.
    ::lseek(fd, 0, SEEK_SET);
    ssize_t n = ::read(fd, buf, sizeof(buf));
    (void)n;

    for (;;) {
        int timeout;
        {
            std::lock_guard<std::mutex> lock(g_isr_mutex);
            if (w->stop)
                break;
            timeout = gpioISR[gpio].timeout;
        }
        pollfd fds[2] = {{fd, events, 0}, {w->wake_fd, POLLIN, 0}};
        int r = ::poll(fds, 2, timeout);
        uint32_t tick = bcm283x_isr_read_tick();
        int level_bit = bcm283x_isr_read_level(gpio);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents) {
            drain(w->wake_fd);
            continue;
        }
        int level;
        if (r == 0) {
            level = 2;
        } else {
            short ev = fds[0].revents;
            if ((ev & POLLNVAL) || ((ev & POLLHUP) && !(ev & (events | POLLERR))))
                break; // the event source is gone
            ::lseek(fd, 0, SEEK_SET);
            n = ::read(fd, buf, sizeof(buf));
            (void)n;
            level = level_bit;
        }
        bcm283x_isr_func func;
        {
            std::lock_guard<std::mutex> lock(g_isr_mutex);
            if (w->stop)
                break;
            func = gpioISR[gpio].func;
        }
        if (func)
            func(int(gpio), level, tick);
    }
    finish(w, fd);
    return nullptr;
}

int start_watch(gpioISR_t& entry, unsigned gpio)
{
    watch* w = new watch;
    w->gpio = gpio;
    w->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (w->wake_fd < 0) {
        delete w;
        return -1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, WATCH_STACK_SIZE);
    entry.pth = w; // before the thread runs: it checks that it owns the entry
    int rc = pthread_create(&w->thread, &attr, pthISRThread, w);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        entry.pth = nullptr;
        free_watch(w);
        return -1;
    }
    return 0;
}

const char* edge_text(unsigned edge)
{
    switch (edge) {
    case BCM283x_RISING_EDGE:
        return "rising\n";
    case BCM283x_FALLING_EDGE:
        return "falling\n";
    default:
        return "both\n";
    }
}

} // namespace

int bcm283x_gpioSetISRFunc(unsigned gpio, unsigned edge, int timeout, bcm283x_isr_func func)
{
    if (gpio >= BCM283x_GPIO_COUNT)
        return BCM283x_BAD_USER_GPIO;
    if (edge > BCM283x_EITHER_EDGE)
        return BCM283x_BAD_EDGE;

    const std::string root = bcm283x_get_system().sysfs_gpio_root;
    std::unique_lock<std::mutex> lock(g_isr_mutex);
    gpioISR_t& entry = gpioISR[gpio];

    if (!func) {
        watch* w = detach_entry_watch(entry);
        if (w) {
            lock.unlock();
            join_watch(w);
            lock.lock();
            if (entry.pth)
                return 0; // registered again while the old watch was stopping
        }
        entry.fd = -1;
        if (entry.inited) {
            std::string text = std::to_string(gpio) + "\n";
            if (write_text(root + "/unexport", text) != ssize_t(text.size()))
                return BCM283x_BAD_ISR_INIT;
            entry.inited = 0;
            entry.edge = EDGE_NONE;
        }
        return 0;
    }

    if (!entry.inited) {
        std::string text = std::to_string(gpio) + "\n";
        (void)write_text(root + "/export", text); // already exported pins refuse this
        if (write_text(gpio_path(gpio, "direction"), "in\n") != 3)
            return BCM283x_BAD_ISR_INIT;
        entry.gpio = gpio;
        entry.edge = EDGE_NONE;
        entry.timeout = -1;
        entry.inited = 1;
    }
    if (edge != entry.edge) {
        std::string text = edge_text(edge);
        if (write_text(gpio_path(gpio, "edge"), text) != ssize_t(text.size()))
            return BCM283x_BAD_ISR_INIT;
        entry.edge = edge;
        if (entry.pth)
            wake(entry.pth);
    }
    if (timeout < 1)
        timeout = -1;
    if (timeout != entry.timeout) {
        entry.timeout = timeout;
        if (entry.pth)
            wake(entry.pth);
    }
    entry.func = func;
    if (!entry.pth)
        (void)start_watch(entry, gpio); // without a thread the registration still stands
    return 0;
}

bool bcm283x_isr_watching(unsigned gpio)
{
    if (gpio >= BCM283x_GPIO_COUNT)
        return false;
    std::lock_guard<std::mutex> lock(g_isr_mutex);
    return gpioISR[gpio].pth != nullptr;
}

void bcm283x_isr_stop_all()
{
    for (unsigned gpio = 0; gpio < BCM283x_GPIO_COUNT; ++gpio) {
        watch* w;
        {
            std::lock_guard<std::mutex> lock(g_isr_mutex);
            w = detach_entry_watch(gpioISR[gpio]);
            gpioISR[gpio].fd = -1;
        }
        if (w)
            join_watch(w);
    }
}
