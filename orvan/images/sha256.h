// SHA-256 (FIPS 180-4), fed in pieces: init, update as often as needed, final.
#pragma once

#include <stddef.h>
#include <stdint.h>

const uint32_t SHA256_DIGEST_BYTES = 32;
const uint32_t SHA256_BLOCK_BYTES = 64;
// Two hex digits per digest byte and a terminating zero.
const uint32_t SHA256_HEX_CHARS = 2 * SHA256_DIGEST_BYTES + 1;

struct Sha256State {
    uint32_t hash[8];
    uint8_t block[SHA256_BLOCK_BYTES];
    uint32_t blockFill;
    uint64_t totalBytes;
};

void sha256Init(Sha256State* state);
void sha256Update(Sha256State* state, const uint8_t* bytes, size_t length);
// Pads the message and writes the digest; the state must be initialised
// again before it is reused.
void sha256Final(Sha256State* state, uint8_t digest[SHA256_DIGEST_BYTES]);

// The digest of one whole buffer.
void sha256Of(const uint8_t* bytes, size_t length, uint8_t digest[SHA256_DIGEST_BYTES]);

// Lower-case hex, as sha256sum prints it.
void sha256Hex(const uint8_t digest[SHA256_DIGEST_BYTES], char text[SHA256_HEX_CHARS]);
