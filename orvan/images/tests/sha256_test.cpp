// SHA-256 against the published vectors, and the padding boundaries fed in
// pieces of every awkward size.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>

#include "orvan/images/sha256.h"

static std::string hexDigestOf(const std::string& message) {
    uint8_t digest[SHA256_DIGEST_BYTES];
    char text[SHA256_HEX_CHARS];
    sha256Of(reinterpret_cast<const uint8_t*>(message.data()), message.size(), digest);
    sha256Hex(digest, text);
    return text;
}

struct DigestCase {
    const char* name;
    std::string message;
    const char* digest;
};

// The first five are the published vectors; the a-runs of 55 to 65 bytes sit
// on the padding's edges (the length field fits in the last block or not).
static const DigestCase DIGEST_CASES[] = {
    {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"448 bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"896 bits",
     "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
     "tnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {"one million a", std::string(1000000, 'a'),
     "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    {"55 a", std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
    {"56 a", std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
    {"63 a", std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
    {"64 a", std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
    {"65 a", std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
};

TEST(Sha256, PublishedVectorsAndPaddingEdges) {
    for (const DigestCase& c : DIGEST_CASES) {
        EXPECT_EQ(hexDigestOf(c.message), c.digest) << c.name;
    }
}

// Pieces that straddle block edges in every way give the one-shot digest.
TEST(Sha256, PiecesOfAnySizeGiveTheSameDigest) {
    static const size_t PIECE_SIZES[] = {1, 3, 55, 56, 63, 64, 65, 127, 1000};
    std::string message;
    for (int i = 0; i < 3000; i++) {
        message += static_cast<char>(i * 7 + 3);
    }
    uint8_t whole[SHA256_DIGEST_BYTES];
    sha256Of(reinterpret_cast<const uint8_t*>(message.data()), message.size(), whole);
    for (size_t piece : PIECE_SIZES) {
        Sha256State state;
        sha256Init(&state);
        for (size_t at = 0; at < message.size(); at += piece) {
            size_t take = std::min(piece, message.size() - at);
            sha256Update(&state, reinterpret_cast<const uint8_t*>(message.data()) + at, take);
        }
        uint8_t digest[SHA256_DIGEST_BYTES];
        sha256Final(&state, digest);
        EXPECT_EQ(0, memcmp(digest, whole, SHA256_DIGEST_BYTES)) << "pieces of " << piece;
    }
}
