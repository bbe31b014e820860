#include "sha256.h"

#include <algorithm>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TOVALY_SHA_EXTENSIONS 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tovaly {

namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t Rotr(std::uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

#ifdef TOVALY_SHA_EXTENSIONS
bool DetectShaExtensions()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool ssse3 = (c & (1u << 9)) != 0;
    const bool sse41 = (c & (1u << 19)) != 0;
    if (!ssse3 || !sse41 || !__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    return (b & (1u << 29)) != 0; // SHA
}

// The compression function on `count` blocks with the SHA extensions.
// `state` is a, b, ..., h; the instructions want it as ABEF and CDGH.
__attribute__((target("sha,sse4.1,ssse3"))) void
CompressWithShaExtensions(std::uint32_t *state, const std::uint8_t *blocks, std::size_t count)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0xB1);
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i abefBefore = abef;
        const __m128i cdghBefore = cdgh;
        // The message schedule, four words a vector.
        __m128i w[16];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks + 16 * i)), byteSwap);
        for (int i = 4; i < 16; ++i)
            w[i] = _mm_sha256msg2_epu32(
                _mm_add_epi32(_mm_sha256msg1_epu32(w[i - 4], w[i - 3]), _mm_alignr_epi8(w[i - 1], w[i - 2], 4)),
                w[i - 1]);
        // Four rounds a vector, two an instruction.
        for (int i = 0; i < 16; ++i) {
            __m128i message =
                _mm_add_epi32(w[i], _mm_loadu_si128(reinterpret_cast<const __m128i *>(kRound.data() + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
            message = _mm_shuffle_epi32(message, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
        }
        abef = _mm_add_epi32(abef, abefBefore);
        cdgh = _mm_add_epi32(cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

} // namespace

bool Sha256::ProcessorHasShaExtensions()
{
#ifdef TOVALY_SHA_EXTENSIONS
    static const bool has = DetectShaExtensions();
    return has;
#else
    return false;
#endif
}

Sha256::Sha256(bool accelerated) : m_accelerated(accelerated && ProcessorHasShaExtensions())
{
    Reset();
}

void Sha256::Reset()
{
    m_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    m_blockSize = 0;
    m_length = 0;
}

void Sha256::Compress(const std::uint8_t *blocks, std::size_t count)
{
#ifdef TOVALY_SHA_EXTENSIONS
    if (m_accelerated) {
        CompressWithShaExtensions(m_state.data(), blocks, count);
        return;
    }
#endif
    for (; count > 0; --count, blocks += 64)
        CompressPortable(blocks);
}

void Sha256::CompressPortable(const std::uint8_t *block)
{
    std::array<std::uint32_t, 64> w;
    for (int i = 0; i < 16; ++i)
        w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
               (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
    std::uint32_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        const std::uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
    m_state[5] += f;
    m_state[6] += g;
    m_state[7] += h;
}

void Sha256::Update(std::string_view bytes)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(bytes.data());
    std::size_t n = bytes.size();
    m_length += n;
    if (m_blockSize > 0) {
        const std::size_t take = std::min(n, m_block.size() - m_blockSize);
        std::memcpy(m_block.data() + m_blockSize, p, take);
        m_blockSize += take;
        p += take;
        n -= take;
        if (m_blockSize < m_block.size())
            return;
        Compress(m_block.data(), 1);
        m_blockSize = 0;
    }
    const std::size_t blocks = n / m_block.size();
    if (blocks > 0) {
        Compress(p, blocks);
        p += blocks * m_block.size();
        n -= blocks * m_block.size();
    }
    if (n > 0) {
        std::memcpy(m_block.data(), p, n);
        m_blockSize = n;
    }
}

Sha256Digest Sha256::Final()
{
    const std::uint64_t bits = m_length * 8;
    static constexpr std::uint8_t kPadding[64] = {0x80};
    // 0x80, zeros up to 56 bytes into a block, then the length in bits.
    const std::size_t padding = m_blockSize < 56 ? 56 - m_blockSize : 120 - m_blockSize;
    Update(std::string_view(reinterpret_cast<const char *>(kPadding), padding));
    std::array<std::uint8_t, 8> length;
    for (int i = 0; i < 8; ++i)
        length[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    Update(std::string_view(reinterpret_cast<const char *>(length.data()), length.size()));

    Sha256Digest digest;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(m_state[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(m_state[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(m_state[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(m_state[i]);
    }
    Reset();
    return digest;
}

Sha256Digest Sha256::Of(std::string_view bytes)
{
    Sha256 sha;
    sha.Update(bytes);
    return sha.Final();
}

std::string ToHex(const Sha256Digest &digest)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * digest.size());
    for (const std::uint8_t byte : digest) {
        hex.push_back(kDigits[byte >> 4]);
        hex.push_back(kDigits[byte & 0x0f]);
    }
    return hex;
}

} // namespace tovaly
