#include <gtest/gtest.h>

#include <random>

#include "ntfs/lznt1.h"
#include "support/lznt1_encoder.h"

namespace relicta::ntfs {
namespace {

struct Expansion {
    uint32_t status;
    std::vector<uint8_t> bytes;
};

Expansion Expand(const std::vector<uint8_t>& source, std::size_t room) {
    Expansion e;
    e.bytes.assign(room, 0xEE);
    std::size_t size = 0;
    e.status = Lznt1Decompress(e.bytes, source, size);
    e.bytes.resize(size);
    return e;
}

std::vector<uint8_t> Text(std::size_t size, unsigned seed, int alphabet) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> data(size);
    for (uint8_t& b : data)
        b = static_cast<uint8_t>('a' + rng() % alphabet);
    return data;
}

TEST(Lznt1, RoundTripsWhatTheEncoderWrites) {
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
    };
    std::vector<uint8_t> zeros(20000, 0);
    std::vector<uint8_t> repeat;
    for (int i = 0; i < 9000; ++i)
        repeat.push_back(static_cast<uint8_t>("abcdefg"[i % 7]));
    const Case cases[] = {
        {"one byte", {42}},
        {"zeros: longest back-references", zeros},
        {"repeating text across chunks", repeat},
        {"small alphabet", Text(12288, 1, 3)},
        {"noise: raw chunks", Text(10000, 2, 256)},
        {"exactly one chunk", Text(4096, 3, 4)},
        {"chunk and a bit", Text(4097, 4, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Expansion e = Expand(test::Lznt1Compress(c.data), 65536);
        EXPECT_EQ(e.status, kStatusSuccess);
        EXPECT_EQ(e.bytes, c.data);
    }
}

TEST(Lznt1, OffsetAndLengthBitsSplitAsTheChunkGrows) {
    // At every position a back-reference to the very first byte uses the widest offset
    // the position allows: the decoder must split the token exactly like the encoder.
    for (std::size_t position : {1u, 16u, 17u, 32u, 33u, 100u, 1000u, 2049u, 3500u}) {
        SCOPED_TRACE(position);
        std::vector<uint8_t> data = Text(position, static_cast<unsigned>(position), 256);
        data.push_back(data[0]);
        data.push_back(data[1 % data.size()]);
        data.push_back(data[2 % data.size()]);
        const std::vector<uint8_t> compressed = test::Lznt1Compress(data, false);
        const Expansion e = Expand(compressed, 8192);
        EXPECT_EQ(e.status, kStatusSuccess);
        EXPECT_EQ(e.bytes, data);
    }
}

TEST(Lznt1, AShortChunkIsFollowedByZerosToTheNextChunk) {
    // Chunk 1: the literal 'A' only; chunk 2: the literal 'B'. Windows pads chunk 1.
    const std::vector<uint8_t> source = {0x01, 0xB0, 0x00, 'A', 0x01, 0xB0, 0x00, 'B', 0x00, 0x00};
    const Expansion e = Expand(source, 8192);
    ASSERT_EQ(e.status, kStatusSuccess);
    ASSERT_EQ(e.bytes.size(), 4097u);
    EXPECT_EQ(e.bytes[0], 'A');
    EXPECT_EQ(std::count(e.bytes.begin() + 1, e.bytes.begin() + 4096, 0), 4095);
    EXPECT_EQ(e.bytes[4096], 'B');
}

TEST(Lznt1, CorruptStreamsFailWithTheBadBufferStatus) {
    struct Case {
        const char* name;
        std::vector<uint8_t> source;
        std::size_t produced;
    };
    const Case cases[] = {
        {"header claims more than is there", {0x10, 0xB0, 0x00, 'a'}, 0},
        {"back-reference before the start", {0x02, 0xB0, 0x01, 0x00, 0x10}, 0},
        {"back-reference further back than the output", {0x03, 0xB0, 0x02, 'x', 0x00, 0x10}, 0},
        {"token cut in half", {0x01, 0xB0, 0x01, 0x00}, 0},
        {"good chunk then bad", {0x01, 0xB0, 0x00, 'A', 0x02, 0xB0, 0x01, 0x00, 0x20}, 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out(8192, 0);
        std::size_t size = 12345;
        EXPECT_EQ(Lznt1Decompress(out, c.source, size), kStatusBadCompressionBuffer);
        EXPECT_EQ(size, c.produced);
    }
}

TEST(Lznt1, NeverWritesPastTheRoomGiven) {
    const std::vector<uint8_t> data(10000, 7);
    std::vector<uint8_t> out(6000 + 16, 0xEE);
    std::size_t size = 0;
    EXPECT_EQ(Lznt1Decompress(std::span<uint8_t>(out).first(6000), test::Lznt1Compress(data), size),
              kStatusSuccess);
    EXPECT_EQ(size, 6000u);
    EXPECT_EQ(std::count(out.begin(), out.begin() + 6000, 7), 6000);
    EXPECT_EQ(std::count(out.begin() + 6000, out.end(), 0xEE), 16);
}

TEST(Lznt1, RandomInputNeverEscapesTheBuffers) {
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        std::vector<uint8_t> source(rng() % 300);
        for (uint8_t& b : source)
            b = static_cast<uint8_t>(rng());
        if (source.size() >= 2)
            source[1] = static_cast<uint8_t>(0xB0 | (source[1] & 0x0F));
        std::vector<uint8_t> out(rng() % 9000);
        std::size_t size = 0;
        Lznt1Decompress(out, source, size);
        EXPECT_LE(size, out.size());
    }
}

}  // namespace
}  // namespace relicta::ntfs
