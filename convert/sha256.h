#pragma once
// SHA-256 (FIPS 180-4), fed in pieces of any size. On x86 processors with
// the SHA extensions the blocks are compressed with them (about five times
// as fast); elsewhere in portable code.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovaly {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    /// `accelerated` false keeps to the portable code even where the
    /// processor has the SHA extensions (for tests and comparisons).
    explicit Sha256(bool accelerated = true);
    /// Adds the next bytes of the input.
    void Update(std::string_view bytes);
    /// The digest of everything added; the object starts afresh afterwards.
    Sha256Digest Final();

    /// The digest of `bytes` in one go.
    static Sha256Digest Of(std::string_view bytes);

    /// Whether this processor has the SHA extensions this code uses.
    static bool ProcessorHasShaExtensions();

private:
    void Reset();
    void Compress(const std::uint8_t *blocks, std::size_t count);
    void CompressPortable(const std::uint8_t *block);

    bool m_accelerated;

    std::array<std::uint32_t, 8> m_state{};
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_blockSize = 0;
    std::uint64_t m_length = 0; // bytes added
};

/// The digest in lower-case hexadecimal.
std::string ToHex(const Sha256Digest &digest);

} // namespace tovaly
