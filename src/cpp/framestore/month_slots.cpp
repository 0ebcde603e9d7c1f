// How many month merges run at once: at most one per core, and one more. A merge holds the interpreter lock
// for most of its pandas work; ten merges on two cores only take the lock from one another
// (each hand-over may wait out the interpreter's switch interval), and the months end later
// than with about one merge per core. The pool's other threads wait here without the lock, at most
// a second each: a merge that waits on another merge (a replaced print or writer that updates
// the store and waits for it) then runs beside it instead of waiting for good.
#include "common/pyhelpers.hpp"
#include "framestore/store.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace marvane::store {

namespace {

std::mutex slots_mutex;
std::condition_variable slot_freed;
unsigned slots_taken = 0;
thread_local unsigned merges_on_this_thread = 0;

unsigned slot_count() {
    // One more than the cores: while one merge waits for its flush to disk, another uses the
    // core (measured: 2 cores, 24 months gaining days, 0.55 s with ten merges at once, 0.52 s
    // with two, 0.50 s with three).
    static const unsigned count = std::max(1u, std::thread::hardware_concurrency()) + 1;
    return count;
}

} // namespace

MonthSlot::MonthSlot() : held_(merges_on_this_thread == 0) {
    // A merge started from within one on the same thread (a replaced print that syncs again)
    // does not wait for a slot its own thread holds.
    if (held_) {
        py::gil_scoped_release nogil;
        std::unique_lock<std::mutex> lock(slots_mutex);
        held_ = slot_freed.wait_for(lock, std::chrono::seconds(1), [] { return slots_taken < slot_count(); });
        if (held_) ++slots_taken;
    }
    ++merges_on_this_thread;
}

MonthSlot::~MonthSlot() {
    --merges_on_this_thread;
    if (!held_) return;
    {
        std::lock_guard<std::mutex> lock(slots_mutex);
        --slots_taken;
    }
    slot_freed.notify_one();
}

} // namespace marvane::store
