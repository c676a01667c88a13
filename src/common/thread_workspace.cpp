#include "common/thread_workspace.h"

#include <pthread.h>

namespace mosslib::common {

namespace {
thread_local bool t_out_of_memory = false;

// The work spaces of one thread; plain data, so the thread_local needs no destructor.
constexpr int kMaxWorkspaces = 8;  // kinds of work space in the library, with room
struct ThreadWorkspaces {
    int count;
    bool keyed;  // the key's value of this thread is set
    void **slot[kMaxWorkspaces];
    void (*destroy[kMaxWorkspaces])(void *) noexcept;
};
thread_local ThreadWorkspaces t_workspaces;

void release(ThreadWorkspaces &t) noexcept {
    for (int i = t.count; i-- > 0;) {
        t.destroy[i](*t.slot[i]);
        *t.slot[i] = nullptr;
    }
    t.count = 0;
}

// Runs at the end of every thread that entered a work space; the thread's storage is
// still there.
extern "C" void release_at_thread_end(void *t) { release(*static_cast<ThreadWorkspaces *>(t)); }

// The key, made when the library is loaded (no thread of the library's can run before);
// at unloading (or exit) the calling thread's work spaces go and the key is deleted, so
// that no thread ending later calls into code that is gone.
class Key {
public:
    Key() noexcept { made_ = pthread_key_create(&key_, &release_at_thread_end) == 0; }
    ~Key() {
        if (!made_) return;
        release(t_workspaces);
        pthread_key_delete(key_);
    }
    bool made() const noexcept { return made_; }
    pthread_key_t key() const noexcept { return key_; }

private:
    pthread_key_t key_{};
    bool made_ = false;
};
const Key g_key;
}  // namespace

bool out_of_memory_simulated() noexcept { return t_out_of_memory; }

void simulate_out_of_memory(bool on) noexcept { t_out_of_memory = on; }

namespace detail {
bool enter_thread_workspace(void **slot, void (*destroy)(void *) noexcept) noexcept {
    ThreadWorkspaces &t = t_workspaces;
    if (!g_key.made() || t.count == kMaxWorkspaces) return false;
    // Setting the key's value may need memory; it says so instead of aborting.
    if (!t.keyed) {
        if (pthread_setspecific(g_key.key(), &t) != 0) return false;
        t.keyed = true;
    }
    t.slot[t.count] = slot;
    t.destroy[t.count] = destroy;
    ++t.count;
    return true;
}
}  // namespace detail

}  // namespace mosslib::common
