#include <openssl/evp.h>

#include "sha256.h"

std::string Sha256Hex(const std::string &bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1) return "";
    return LowerHex(digest, length);
}
