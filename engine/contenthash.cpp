// XXH3-128 from the distribution's xxHash: its library on Linux; for Windows,
// where MinGW has no build of it, its header with every function inlined.
#include "engine/contenthash.h"

#include <new>

#ifdef TANDREL_XXHASH_INLINE
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

namespace tandrel {

struct ContentHasher::State {
    XXH3_state_t* xxh = XXH3_createState();
    ~State() { XXH3_freeState(xxh); }
};

ContentHasher::ContentHasher() : state_(std::make_unique<State>())
{
    if (!state_->xxh) throw std::bad_alloc();
    Reset();
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::Reset()
{
    XXH3_128bits_reset(state_->xxh);
}

void ContentHasher::Add(const void* data, std::size_t size)
{
    XXH3_128bits_update(state_->xxh, data, size);
}

void ContentHasher::AddZeros(std::uint64_t count)
{
    static const char zeros[64 * 1024] = {};
    for (; count > 0;) {
        const std::size_t n = count < sizeof zeros ? static_cast<std::size_t>(count) : sizeof zeros;
        Add(zeros, n);
        count -= n;
    }
}

ContentHash ContentHasher::Digest() const
{
    const XXH128_hash_t digest = XXH3_128bits_digest(state_->xxh);
    return {digest.high64, digest.low64};
}

}  // namespace tandrel
