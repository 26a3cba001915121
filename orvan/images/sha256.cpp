#include "orvan/images/sha256.h"

#include <string.h>

static const uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

static const uint32_t INITIAL_HASH[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The message length goes into the last 8 bytes of the last block.
static const uint32_t LENGTH_FIELD_BYTES = 8;

static uint32_t rotateRight(uint32_t value, uint32_t bits) {
    return (value >> bits) | (value << (32 - bits));
}

static void compressBlock(uint32_t hash[8], const uint8_t* block) {
    uint32_t schedule[64];
    for (uint32_t t = 0; t < 16; t++) {
        const uint8_t* p = block + 4 * t;
        schedule[t] = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    }
    for (uint32_t t = 16; t < 64; t++) {
        uint32_t w15 = schedule[t - 15];
        uint32_t w2 = schedule[t - 2];
        uint32_t sigma0 = rotateRight(w15, 7) ^ rotateRight(w15, 18) ^ (w15 >> 3);
        uint32_t sigma1 = rotateRight(w2, 17) ^ rotateRight(w2, 19) ^ (w2 >> 10);
        schedule[t] = sigma1 + schedule[t - 7] + sigma0 + schedule[t - 16];
    }
    uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
    uint32_t e = hash[4], f = hash[5], g = hash[6], h = hash[7];
    for (uint32_t t = 0; t < 64; t++) {
        uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
        uint32_t choose = (e & f) ^ (~e & g);
        uint32_t temp1 = h + sum1 + choose + ROUND_CONSTANTS[t] + schedule[t];
        uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
        uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        uint32_t temp2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + temp1;
        d = c;
        c = b;
        b = a;
        a = temp1 + temp2;
    }
    hash[0] += a;
    hash[1] += b;
    hash[2] += c;
    hash[3] += d;
    hash[4] += e;
    hash[5] += f;
    hash[6] += g;
    hash[7] += h;
}

void sha256Init(Sha256State* state) {
    memcpy(state->hash, INITIAL_HASH, sizeof INITIAL_HASH);
    state->blockFill = 0;
    state->totalBytes = 0;
}

void sha256Update(Sha256State* state, const uint8_t* bytes, size_t length) {
    state->totalBytes += length;
    while (length > 0) {
        size_t take = SHA256_BLOCK_BYTES - state->blockFill;
        if (take > length) {
            take = length;
        }
        memcpy(state->block + state->blockFill, bytes, take);
        state->blockFill += static_cast<uint32_t>(take);
        bytes += take;
        length -= take;
        if (state->blockFill == SHA256_BLOCK_BYTES) {
            compressBlock(state->hash, state->block);
            state->blockFill = 0;
        }
    }
}

void sha256Final(Sha256State* state, uint8_t digest[SHA256_DIGEST_BYTES]) {
    uint64_t bitLength = state->totalBytes * 8;
    state->block[state->blockFill++] = 0x80;
    // No room left for the length: it goes into one more block.
    if (state->blockFill > SHA256_BLOCK_BYTES - LENGTH_FIELD_BYTES) {
        memset(state->block + state->blockFill, 0, SHA256_BLOCK_BYTES - state->blockFill);
        compressBlock(state->hash, state->block);
        state->blockFill = 0;
    }
    memset(state->block + state->blockFill, 0, SHA256_BLOCK_BYTES - LENGTH_FIELD_BYTES - state->blockFill);
    for (uint32_t i = 0; i < LENGTH_FIELD_BYTES; i++) {
        state->block[SHA256_BLOCK_BYTES - 1 - i] = static_cast<uint8_t>(bitLength >> (8 * i));
    }
    compressBlock(state->hash, state->block);
    for (uint32_t i = 0; i < 8; i++) {
        digest[4 * i] = static_cast<uint8_t>(state->hash[i] >> 24);
        digest[4 * i + 1] = static_cast<uint8_t>(state->hash[i] >> 16);
        digest[4 * i + 2] = static_cast<uint8_t>(state->hash[i] >> 8);
        digest[4 * i + 3] = static_cast<uint8_t>(state->hash[i]);
    }
}

void sha256Of(const uint8_t* bytes, size_t length, uint8_t digest[SHA256_DIGEST_BYTES]) {
    Sha256State state;
    sha256Init(&state);
    sha256Update(&state, bytes, length);
    sha256Final(&state, digest);
}

void sha256Hex(const uint8_t digest[SHA256_DIGEST_BYTES], char text[SHA256_HEX_CHARS]) {
    static const char DIGITS[] = "0123456789abcdef";
    for (uint32_t i = 0; i < SHA256_DIGEST_BYTES; i++) {
        text[2 * i] = DIGITS[digest[i] >> 4];
        text[2 * i + 1] = DIGITS[digest[i] & 0xf];
    }
    text[2 * SHA256_DIGEST_BYTES] = '\0';
}
