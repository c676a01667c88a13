#include "relax/orientation_sum.h"

#include <algorithm>
#include <vector>

#include "common/thread_workspace.h"
#include "relax/relax_engine.h"

namespace mosslib::relax {

namespace {

// The spectra of one chunk of orientations, computed on some thread, waiting for their
// turn to be added.
struct ChunkSpectra {
    bool no_memory = false;
    int count = 0;       // orientations computed: up to the end, or through the unsolved one
    bool unsolved = false;
    int resolvent = 0;   // of them by the resolvent route
    float spec_one[kOrientationsPerChunk][kChannels];
};

// The chunk slots of a threaded sum, one block per calling thread kept on the heap.
struct ChunkRing {
    std::vector<ChunkSpectra> slots;
};

class OrientationChunks final : public common::OrderedWork {
public:
    OrientationChunks(RelaxWorkspace &ws, ChunkSpectra *slots)
        : ws_(ws), slots_(slots), stamp_(common::next_call_stamp()) {}

    void compute(std::int64_t first, std::int64_t end, int slot) noexcept override {
        ChunkSpectra &out = slots_[slot];
        RelaxWorkspace *w = worker_workspace();
        out.no_memory = w == nullptr;
        if (!w) return;
        const int resolvent_before = w->resolvent_orientations;
        out.count = orientation_batch(*w, static_cast<int>(first), static_cast<int>(end - first), out.spec_one,
                                      out.unsolved);
        out.resolvent = w->resolvent_orientations - resolvent_before;
    }

    bool commit(std::int64_t, std::int64_t, int slot) noexcept override {
        const ChunkSpectra &in = slots_[slot];
        if (in.no_memory) return false;
        ParlSpec &spectra = ws_.parl_spec;
        const int n_chan = ws_.parl_model.n_chan;
        const float weight = ws_.parl_orient.orient_weight;
        for (int i = 0; i < in.count; ++i) {
            const float *one = in.spec_one[i];
            for (int ch = 0; ch < n_chan; ++ch) spectra.spec_sum[ch] = spectra.spec_sum[ch] + one[ch] * weight;
        }
        committed_resolvent_ += in.resolvent;
        unsolved_ = in.unsolved;
        return !in.unsolved;
    }

    int committed_resolvent() const { return committed_resolvent_; }
    bool unsolved() const { return unsolved_; }

private:
    // The running thread's work space, holding this call's model and grid.
    RelaxWorkspace *worker_workspace() noexcept {
        RelaxWorkspace *w = relax_workspace();
        if (!w || w == &ws_ || w->prepared_for == stamp_) return w;
        w->parl_model = ws_.parl_model;
        w->parl_orient = ws_.parl_orient;
        w->prepared_for = stamp_;
        return w;
    }

    RelaxWorkspace &ws_;
    ChunkSpectra *slots_;
    std::uint64_t stamp_;
    int committed_resolvent_ = 0;
    bool unsolved_ = false;
};

}  // namespace

SumEnd sum_orientations(RelaxWorkspace &ws, int n_orient, const common::CallControl &control) {
    const int slots = common::ordered_slots(control.threads);
    ChunkRing *ring = common::thread_workspace<ChunkRing>();
    try {
        if (ring && ring->slots.size() < static_cast<std::size_t>(slots))
            ring->slots.resize(static_cast<std::size_t>(slots));
    } catch (...) {
        ring = nullptr;
    }
    if (!ring) return SumEnd::no_memory;
    // The calling thread's own orientations count in its work space as they run; the
    // count kept is that of the orientations added.
    const int resolvent_before = ws.resolvent_orientations;
    OrientationChunks chunks(ws, ring->slots.data());
    const common::RunEnd end = common::run_ordered(chunks, n_orient, kOrientationsPerChunk, slots, control);
    ws.resolvent_orientations = resolvent_before + chunks.committed_resolvent();
    switch (end) {
    case common::RunEnd::complete: return SumEnd::complete;
    case common::RunEnd::cancelled: return SumEnd::cancelled;
    case common::RunEnd::stopped: break;
    }
    return chunks.unsolved() ? SumEnd::unsolved : SumEnd::no_memory;
}

}  // namespace mosslib::relax
