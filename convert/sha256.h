#pragma once
// SHA-256 (FIPS 180-4), fed in pieces of any size.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovaly {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    /// Adds the next bytes of the input.
    void Update(std::string_view bytes);
    /// The digest of everything added; the object starts afresh afterwards.
    Sha256Digest Final();

    /// The digest of `bytes` in one go.
    static Sha256Digest Of(std::string_view bytes);

private:
    void Reset();
    void Compress(const std::uint8_t *block);

    std::array<std::uint32_t, 8> m_state{};
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_blockSize = 0;
    std::uint64_t m_length = 0; // bytes added
};

/// The digest in lower-case hexadecimal.
std::string ToHex(const Sha256Digest &digest);

} // namespace tovaly
