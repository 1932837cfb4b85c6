// PayloadHash: two SHA-256 computations over the same blocks. Threads: as in PayloadHash.h.
#include "interfaces/files/PayloadHash.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "interfaces/files/Sha256.h"

namespace quillon {

namespace {

constexpr std::size_t kBlock = 64;

constexpr std::array<std::uint32_t, 8> kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

#if defined(__x86_64__)

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

#define QUILLON_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

// A state as the SHA instructions hold it: the words A, B, E, F in one register and C, D, G,
// H in the other.
struct Lanes {
    __m128i abef;
    __m128i cdgh;
};

QUILLON_SHA_TARGET inline Lanes loadLanes(const std::uint32_t* state) {
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    return {_mm_alignr_epi8(cdab, efgh, 8), _mm_blend_epi16(efgh, cdab, 0xF0)};
}

QUILLON_SHA_TARGET inline void storeLanes(const Lanes& lanes, std::uint32_t* state) {
    const __m128i feba = _mm_shuffle_epi32(lanes.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(lanes.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Runs `count` 64-byte blocks through each of the `N` states. The message schedule depends on
// the block alone, so it is computed once for all of them, and the states' round chains are
// independent, so the CPU overlaps them.
template <int N>
QUILLON_SHA_TARGET void compressEach(std::uint32_t* const* states, const std::uint8_t* data,
                                     std::size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    Lanes lanes[N];
    for (int i = 0; i < N; ++i) {
        lanes[i] = loadLanes(states[i]);
    }
    for (; count > 0; --count, data += kBlock) {
        Lanes before[N];
        for (int i = 0; i < N; ++i) {
            before[i] = lanes[i];
        }
        __m128i words[4];  // the last 16 words of the schedule, 4 to a register
                           // Unrolled, so that the schedule stays in registers.
#pragma GCC unroll 16
        for (std::size_t group = 0; group < 16; ++group) {
            __m128i next;
            if (group < 4) {
                next = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * group)), byteSwap);
            } else {
                next = _mm_sha256msg1_epu32(words[group % 4], words[(group + 1) % 4]);
                next = _mm_add_epi32(
                    next, _mm_alignr_epi8(words[(group + 3) % 4], words[(group + 2) % 4], 4));
                next = _mm_sha256msg2_epu32(next, words[(group + 3) % 4]);
            }
            words[group % 4] = next;
            const __m128i low = _mm_add_epi32(
                next, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group)));
            const __m128i high = _mm_shuffle_epi32(low, 0x0E);
            for (int i = 0; i < N; ++i) {
                lanes[i].cdgh = _mm_sha256rnds2_epu32(lanes[i].cdgh, lanes[i].abef, low);
            }
            for (int i = 0; i < N; ++i) {
                lanes[i].abef = _mm_sha256rnds2_epu32(lanes[i].abef, lanes[i].cdgh, high);
            }
        }
        for (int i = 0; i < N; ++i) {
            lanes[i].abef = _mm_add_epi32(lanes[i].abef, before[i].abef);
            lanes[i].cdgh = _mm_add_epi32(lanes[i].cdgh, before[i].cdgh);
        }
    }
    for (int i = 0; i < N; ++i) {
        storeLanes(lanes[i], states[i]);
    }
}

// Runs `count` blocks of each of two buffers through its own state, the two round chains side
// by side.
QUILLON_SHA_TARGET void compressTwo(std::uint32_t* const* states, const std::uint8_t* const* data,
                                    std::size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    Lanes lanes[2] = {loadLanes(states[0]), loadLanes(states[1])};
    const std::uint8_t* at[2] = {data[0], data[1]};
    for (; count > 0; --count) {
        const Lanes before[2] = {lanes[0], lanes[1]};
        __m128i words[2][4];
        // Unrolled, so that the schedule stays in registers.
#pragma GCC unroll 16
        for (std::size_t group = 0; group < 16; ++group) {
            const __m128i round =
                _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * group));
            __m128i low[2];
#pragma GCC unroll 2
            for (int i = 0; i < 2; ++i) {
                __m128i next;
                if (group < 4) {
                    next = _mm_shuffle_epi8(
                        _mm_loadu_si128(reinterpret_cast<const __m128i*>(at[i] + 16 * group)),
                        byteSwap);
                } else {
                    next = _mm_sha256msg1_epu32(words[i][group % 4], words[i][(group + 1) % 4]);
                    next = _mm_add_epi32(next, _mm_alignr_epi8(words[i][(group + 3) % 4],
                                                               words[i][(group + 2) % 4], 4));
                    next = _mm_sha256msg2_epu32(next, words[i][(group + 3) % 4]);
                }
                words[i][group % 4] = next;
                low[i] = _mm_add_epi32(next, round);
            }
#pragma GCC unroll 2
            for (int i = 0; i < 2; ++i) {
                lanes[i].cdgh = _mm_sha256rnds2_epu32(lanes[i].cdgh, lanes[i].abef, low[i]);
            }
#pragma GCC unroll 2
            for (int i = 0; i < 2; ++i) {
                lanes[i].abef = _mm_sha256rnds2_epu32(lanes[i].abef, lanes[i].cdgh,
                                                      _mm_shuffle_epi32(low[i], 0x0E));
            }
        }
        for (int i = 0; i < 2; ++i) {
            lanes[i].abef = _mm_add_epi32(lanes[i].abef, before[i].abef);
            lanes[i].cdgh = _mm_add_epi32(lanes[i].cdgh, before[i].cdgh);
            at[i] += kBlock;
        }
    }
    storeLanes(lanes[0], states[0]);
    storeLanes(lanes[1], states[1]);
}

bool detectShaInstructions() {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    const bool ssse3 = (ecx & bit_SSSE3) != 0;
    const bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
        return false;
    }
    return ssse3 && sse41 && (ebx & bit_SHA) != 0;
}

#else

template <int N>
void compressEach(std::uint32_t* const*, const std::uint8_t*, std::size_t) {}

void compressTwo(std::uint32_t* const*, const std::uint8_t* const*, std::size_t) {}

bool detectShaInstructions() {
    return false;
}

#endif

// The digest of a state that has taken all whole blocks of `length` bytes, the rest being
// `tail` (under 64 bytes).
Sha256Digest finalDigest(std::array<std::uint32_t, 8> state, const std::uint8_t* tail,
                         std::size_t tailSize, std::uint64_t length) {
    std::uint8_t last[2 * kBlock] = {};
    if (tailSize > 0) {
        std::memcpy(last, tail, tailSize);
    }
    last[tailSize] = 0x80;
    const std::size_t blocks = tailSize + 9 <= kBlock ? 1 : 2;
    const std::uint64_t bits = length * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        last[blocks * kBlock - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    std::uint32_t* states[] = {state.data()};
    compressEach<1>(states, last, blocks);
    Sha256Digest digest{};
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t byte = 0; byte < 4; ++byte) {
            digest[4 * i + byte] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * byte));
        }
    }
    return digest;
}

}  // namespace

bool PayloadHash::accelerated() {
    static const bool kHasInstructions = detectShaInstructions();
    return kHasInstructions;
}

PayloadHash::PayloadHash(Method method) : own_(method == Method::fastest && accelerated()) {
    reset();
}

std::array<Sha256Digest, 2> PayloadHash::digestTwo(const void* first, const void* second,
                                                   std::size_t size) {
    if (!accelerated()) {
        return {Sha256::digest(first, size), Sha256::digest(second, size)};
    }
    std::array<std::uint32_t, 8> states[2] = {kInitial, kInitial};
    std::uint32_t* lanes[] = {states[0].data(), states[1].data()};
    const std::uint8_t* data[] = {static_cast<const std::uint8_t*>(first),
                                  static_cast<const std::uint8_t*>(second)};
    const std::size_t whole = size / kBlock;
    compressTwo(lanes, data, whole);
    return {finalDigest(states[0], data[0] + whole * kBlock, size % kBlock, size),
            finalDigest(states[1], data[1] + whole * kBlock, size % kBlock, size)};
}

void PayloadHash::reset() {
    linear_ = kInitial;
    chunk_ = kInitial;
    total_ = 0;
    inChunk_ = 0;
    pendingSize_ = 0;
}

void PayloadHash::compress(const std::uint8_t* blocks, std::size_t count) {
    std::uint32_t* states[] = {linear_.data(), chunk_.data()};
    compressEach<2>(states, blocks, count);
    inChunk_ += count * kBlock;
    if (inChunk_ == kChunkSize) {
        chunks_.push_back(finalDigest(chunk_, nullptr, 0, kChunkSize));
        chunk_ = kInitial;
        inChunk_ = 0;
    }
}

void PayloadHash::update(const void* data, std::size_t size) {
    if (size == 0) {
        return;  // `data` may be null
    }
    if (!own_) {
        opensslLinear_.update(data, size);
        opensslChunks_.update(data, size);
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    total_ += size;
    if (pendingSize_ > 0) {
        const std::size_t take = std::min(size, kBlock - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, bytes, take);
        pendingSize_ += take;
        bytes += take;
        size -= take;
        if (pendingSize_ < kBlock) {
            return;
        }
        compress(pending_.data(), 1);
        pendingSize_ = 0;
    }
    while (size >= kBlock) {
        // A chunk ends on a block boundary: its state is finished before the next block.
        const std::size_t count = std::min(size / kBlock, (kChunkSize - inChunk_) / kBlock);
        compress(bytes, count);
        bytes += count * kBlock;
        size -= count * kBlock;
    }
    std::memcpy(pending_.data(), bytes, size);
    pendingSize_ = size;
}

PayloadHash::Digests PayloadHash::finish() {
    Digests digests;
    if (!own_) {
        digests.linear = opensslLinear_.finish();
        digests.chunks = opensslChunks_.finish();
        return digests;
    }
    digests.linear = finalDigest(linear_, pending_.data(), pendingSize_, total_);
    if (inChunk_ + pendingSize_ > 0 || chunks_.empty()) {
        chunks_.push_back(
            finalDigest(chunk_, pending_.data(), pendingSize_, inChunk_ + pendingSize_));
    }
    digests.chunks = std::exchange(chunks_, {});
    reset();
    return digests;
}

}  // namespace quillon
