// The multimedia timer on Linux. Events have no thread of their own: the
// thread waiting in GetMessageA runs their callbacks when they are due (see
// user32.cpp), on an absolute schedule so the period does not drift with
// the callback's time or the wait's lateness.
#include <pthread.h>

#include "posix_platform.h"
#include <mmsystem.h>

namespace zindle::posix {

namespace {

constexpr UINT PERIOD_MIN_MS = 1;
constexpr UINT PERIOD_MAX_MS = 1000000;
constexpr long long NANOS_PER_MS = 1000000;
constexpr long long NANOS_PER_SECOND = 1000000000;

struct TimerEvent {
    UINT id;
    long long period_ns;
    LPTIMECALLBACK callback;
    DWORD_PTR user;
    bool periodic;
    bool active;
    long long due_ns;
};

// Events may be set from any thread, and are run by the message loop's.
constexpr unsigned EVENT_SLOTS = 16;
TimerEvent events[EVENT_SLOTS];
unsigned events_used;
pthread_mutex_t events_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

long long run_due_timers(long long now) {
    pthread_mutex_lock(&events_lock);
    const unsigned used = events_used;
    pthread_mutex_unlock(&events_lock);
    for (unsigned slot = 0; slot < used; ++slot) {
        pthread_mutex_lock(&events_lock);
        TimerEvent& event = events[slot];
        const bool due = event.active && event.due_ns <= now;
        const TimerEvent fired = event;
        if (due && !event.periodic) {
            event.active = false;
        } else if (due) {
            // After a long stall (a suspended machine) start the schedule
            // afresh rather than firing every missed period at once.
            event.due_ns =
                event.due_ns + NANOS_PER_SECOND < now ? now + event.period_ns : event.due_ns + event.period_ns;
        }
        pthread_mutex_unlock(&events_lock);
        // The callback may set events itself, so no lock is held.
        if (due) fired.callback(fired.id, 0, fired.user, 0, 0);
    }
    long long next = NO_DEADLINE;
    pthread_mutex_lock(&events_lock);
    for (unsigned slot = 0; slot < events_used; ++slot)
        if (events[slot].active && events[slot].due_ns < next) next = events[slot].due_ns;
    pthread_mutex_unlock(&events_lock);
    return next;
}

}  // namespace zindle::posix

using namespace zindle::posix;

extern "C" {

MMRESULT WINAPI timeGetDevCaps(LPTIMECAPS caps, UINT size) {
    if (caps == nullptr || size < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
    caps->wPeriodMin = PERIOD_MIN_MS;
    caps->wPeriodMax = PERIOD_MAX_MS;
    return TIMERR_NOERROR;
}

// The wait in GetMessageA is already as exact as the system allows.
MMRESULT WINAPI timeBeginPeriod(UINT period) {
    return period >= PERIOD_MIN_MS && period <= PERIOD_MAX_MS ? TIMERR_NOERROR : TIMERR_NOCANDO;
}

// Returns the event's identifier, or 0 when it cannot be started.
MMRESULT WINAPI timeSetEvent(UINT delay, UINT, LPTIMECALLBACK callback, DWORD_PTR user, UINT flags) {
    if (callback == nullptr || delay < PERIOD_MIN_MS || delay > PERIOD_MAX_MS) return 0;
    const long long period = static_cast<long long>(delay) * NANOS_PER_MS;
    pthread_mutex_lock(&events_lock);
    const unsigned slot = events_used;
    if (slot < EVENT_SLOTS) {
        events[slot] = {slot + 1, period, callback, user, (flags & TIME_PERIODIC) != 0, true, monotonic_ns() + period};
        ++events_used;
    }
    pthread_mutex_unlock(&events_lock);
    if (slot >= EVENT_SLOTS) return 0;
    wake_message_loop();
    return slot + 1;
}

}  // extern "C"
