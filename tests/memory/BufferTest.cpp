// The growable buffer: the growth rule, shrinking, reserving, failures and copies.
#include "infra/Buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "memory/MemoryTestSupport.h"

using Tovix::Memory::CBuffer;

namespace {

std::vector<unsigned char> bytes(unsigned int n, unsigned char first) {
    std::vector<unsigned char> v(n);
    for (unsigned int i = 0; i < n; ++i) {
        v[i] = static_cast<unsigned char>(first + i);
    }
    return v;
}

}  // namespace

TEST(Buffer, EmptyBufferAnswersZeroAndNull) {
    CBuffer buffer;
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.capacity(), 0u);
    EXPECT_EQ(buffer.getBuffer(), nullptr);
    buffer.reset();
    EXPECT_EQ(buffer.capacity(), 0u);
}

TEST(Buffer, GrowsByWholeStepsAndKeepsTheBytes) {
    CBuffer buffer;
    buffer.setIncreasedSize(100);
    EXPECT_EQ(buffer.capacity(), 100u);
    EXPECT_EQ(buffer.size(), 0u);
    EXPECT_EQ(buffer.getBuffer(), nullptr);  // capacity but no bytes
    auto first = bytes(10, 0);
    auto second = bytes(95, 10);
    EXPECT_EQ(buffer.putBuffer(first.data(), 10), 10u);
    EXPECT_EQ(buffer.capacity(), 100u);
    EXPECT_EQ(buffer.putBuffer(second.data(), 95), 95u);
    EXPECT_EQ(buffer.capacity(), 200u);
    EXPECT_EQ(buffer.size(), 105u);
    for (unsigned int i = 0; i < 105; ++i) {
        ASSERT_EQ(buffer.getBuffer()[i], i);
    }
    buffer.resize(150);  // within the capacity: no move
    EXPECT_EQ(buffer.size(), 150u);
    EXPECT_EQ(buffer.capacity(), 200u);
    buffer.resize(250);
    EXPECT_EQ(buffer.capacity(), 300u);
    EXPECT_EQ(buffer.size(), 250u);
    EXPECT_EQ(buffer.getBuffer()[104], 104);
    buffer.resize(20);
    EXPECT_EQ(buffer.size(), 20u);
    EXPECT_EQ(buffer.capacity(), 300u);
}

TEST(Buffer, AppendingItselfWhileGrowingCopiesTheOldBytes) {
    // Large enough that growing moves the block and returns the old one to the system.
    constexpr unsigned int kSize = 300000;
    CBuffer buffer;
    std::vector<unsigned char> pattern(kSize);
    for (unsigned int i = 0; i < kSize; ++i) {
        pattern[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    ASSERT_EQ(buffer.putBuffer(pattern.data(), kSize), kSize);
    ASSERT_EQ(buffer.putBuffer(buffer.getBuffer(), kSize), kSize);
    ASSERT_EQ(buffer.size(), 2 * kSize);
    EXPECT_EQ(std::memcmp(buffer.getBuffer(), pattern.data(), kSize), 0);
    EXPECT_EQ(std::memcmp(buffer.getBuffer() + kSize, pattern.data(), kSize), 0);
    // A part from the middle, appended while the buffer grows again.
    ASSERT_EQ(buffer.putBuffer(buffer.getBuffer() + 1000, 5000), 5000u);
    EXPECT_EQ(std::memcmp(buffer.getBuffer() + 2 * kSize, pattern.data() + 1000, 5000), 0);
}

TEST(Buffer, WithoutAStepGrowsExactly) {
    CBuffer buffer;
    auto data = bytes(10, 1);
    EXPECT_EQ(buffer.putBuffer(data.data(), 10), 10u);
    EXPECT_EQ(buffer.capacity(), 10u);
    EXPECT_EQ(buffer.putBuffer(data.data(), 3), 3u);
    EXPECT_EQ(buffer.capacity(), 13u);
    EXPECT_EQ(std::memcmp(buffer.getBuffer() + 10, data.data(), 3), 0);
    CBuffer resized;
    resized.resize(7);
    EXPECT_EQ(resized.size(), 7u);
    EXPECT_EQ(resized.capacity(), 7u);
}

TEST(Buffer, ReserveGrowsExactlyAndNeverShrinksOrSizes) {
    CBuffer buffer;
    buffer.reserve(10);
    EXPECT_EQ(buffer.capacity(), 10u);
    EXPECT_EQ(buffer.size(), 0u);
    buffer.reserve(5);
    EXPECT_EQ(buffer.capacity(), 10u);
    buffer.setIncreasedSize(64);
    buffer.reserve(70);  // the step does not apply
    EXPECT_EQ(buffer.capacity(), 70u);
    EXPECT_EQ(buffer.size(), 0u);
}

TEST(Buffer, StepOnAnEmptyBufferAllocatesAtOnceAndResetForgetsIt) {
    CBuffer buffer;
    buffer.setIncreasedSize(64);
    EXPECT_EQ(buffer.capacity(), 64u);
    buffer.reset();
    EXPECT_EQ(buffer.capacity(), 0u);
    auto data = bytes(3, 0);
    buffer.putBuffer(data.data(), 3);
    buffer.putBuffer(data.data(), 3);
    EXPECT_EQ(buffer.capacity(), 6u);  // no step any more
}

TEST(Buffer, RequestsPast32BitsFailAndLeaveTheBufferAsItWas) {
    MemoryTest::LogCapture capture;
    CBuffer buffer;
    buffer.setIncreasedSize(16);
    auto data = bytes(8, 5);
    buffer.putBuffer(data.data(), 8);
    // 8 + 0xFFFFFFF8 does not fit in 32 bits.
    EXPECT_EQ(buffer.putBuffer(data.data(), 0xFFFFFFF8u), 0u);
    EXPECT_EQ(buffer.size(), 8u);
    EXPECT_EQ(buffer.capacity(), 16u);
    EXPECT_EQ(capture.count("CBuffer putbuffer ReMalloc fail:"), 1);
    buffer.setIncreasedSize(0x80000000u);
    buffer.resize(0x80000001u);  // the step would round past 32 bits
    EXPECT_EQ(buffer.size(), 8u);
    EXPECT_EQ(capture.count(" CBuffer resize ReMalloc fail:"), 1);
    EXPECT_EQ(buffer.getBuffer()[7], 12);
    EXPECT_EQ(buffer.putBuffer(nullptr, 4), 0u);
    EXPECT_EQ(buffer.size(), 8u);
}

TEST(Buffer, CopiesAreDeep) {
    CBuffer a;
    auto data = bytes(20, 0);
    a.setIncreasedSize(32);
    a.putBuffer(data.data(), 20);
    CBuffer b(a);
    ASSERT_NE(b.getBuffer(), a.getBuffer());
    EXPECT_EQ(b.size(), 20u);
    EXPECT_EQ(b.capacity(), 32u);
    b.getBuffer()[0] = 99;
    EXPECT_EQ(a.getBuffer()[0], 0);
    CBuffer c;
    c = a;
    CBuffer& alias = c;
    c = alias;
    EXPECT_EQ(c.size(), 20u);
    c.putBuffer(data.data(), 20);
    EXPECT_EQ(c.capacity(), 64u);  // the step came along
    CBuffer empty;
    c = empty;
    EXPECT_EQ(c.capacity(), 0u);
}
