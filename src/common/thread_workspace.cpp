#include "common/thread_workspace.h"

#include <pthread.h>

namespace mosslib::common {

namespace {
thread_local bool t_out_of_memory = false;

// The work spaces of one thread, on the heap: the key's value for that thread. At the
// thread's end only this block is read (with emulated TLS the thread's thread_local
// storage may be gone by then).
constexpr int kMaxWorkspaces = 8;  // kinds of work space in the library, with room
struct ThreadWorkspaces {
    int count = 0;
    void *workspace[kMaxWorkspaces] = {};
    void (*destroy[kMaxWorkspaces])(void *) noexcept = {};
    void **slot[kMaxWorkspaces] = {};  // the thread_local pointer that holds it
};

extern "C" void release_at_thread_end(void *list) {
    auto *t = static_cast<ThreadWorkspaces *>(list);
    for (int i = t->count; i-- > 0;) t->destroy[i](t->workspace[i]);
    delete t;
}

// The key, made when the library is loaded, before any call can run. On Linux, when
// the library is unloaded (or the process exits) the calling thread's work spaces go
// and the key is deleted, so that no thread ending later calls into code that is gone.
// The Windows DLL pins itself at its first call and is never unloaded.
class Key {
public:
    Key() noexcept { made_ = pthread_key_create(&key_, &release_at_thread_end) == 0; }
    ~Key() {
#if !defined(_WIN32)
        if (!made_) return;
        if (auto *t = static_cast<ThreadWorkspaces *>(pthread_getspecific(key_))) {
            for (int i = 0; i < t->count; ++i) *t->slot[i] = nullptr;
            pthread_setspecific(key_, nullptr);
            release_at_thread_end(t);
        }
        pthread_key_delete(key_);
#endif
    }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;
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
    if (!g_key.made()) return false;
    auto *t = static_cast<ThreadWorkspaces *>(pthread_getspecific(g_key.key()));
    if (!t) {
        t = new (std::nothrow) ThreadWorkspaces;
        if (!t) return false;
        // Setting the key's value may need memory too; it says so instead of aborting.
        if (pthread_setspecific(g_key.key(), t) != 0) {
            delete t;
            return false;
        }
    }
    if (t->count == kMaxWorkspaces) return false;
    t->workspace[t->count] = *slot;
    t->destroy[t->count] = destroy;
    t->slot[t->count] = slot;
    ++t->count;
    return true;
}
}  // namespace detail

}  // namespace mosslib::common
