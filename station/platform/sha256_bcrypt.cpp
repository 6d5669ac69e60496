// SHA-256 through the system's cryptography (BCrypt), which every Windows
// since Vista has: no library to ship beside the program.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>

#include "sha256.h"

std::string Sha256Hex(const std::string &bytes) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return "";
    std::string hex;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        // A call takes at most a ULONG of bytes.
        constexpr std::size_t kSlice = std::size_t{1} << 30;
        bool hashed = true;
        for (std::size_t at = 0; hashed && at < bytes.size(); at += kSlice) {
            auto *data = reinterpret_cast<PUCHAR>(const_cast<char *>(bytes.data() + at));
            hashed = BCRYPT_SUCCESS(BCryptHashData(hash, data, static_cast<ULONG>(std::min(bytes.size() - at, kSlice)), 0));
        }
        unsigned char digest[32];
        if (hashed && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0))) hex = LowerHex(digest, sizeof digest);
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hex;
}
