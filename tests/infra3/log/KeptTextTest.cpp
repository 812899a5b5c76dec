// Texts kept by address and contents: every alignment and length, changes at every position,
// and texts that became shorter next to memory that is no longer readable.
#include "infra3/log/KeptText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

using namespace Tovix::Infra::Detail;

namespace {

struct Store {
    alignas(16) char bytes[512];
    std::size_t used = 0;
};

TEST(KeptText, EveryAlignmentAndLengthSeesEveryChange) {
    alignas(16) char text[128];
    for (std::size_t offset = 0; offset < 16; ++offset) {
        for (std::size_t length = 0; length <= 70; ++length) {
            char* const at = text + offset;
            for (std::size_t i = 0; i < length; ++i) {
                at[i] = static_cast<char>('a' + (i * 7 + offset) % 26);
            }
            at[length] = '\0';
            // Bytes around the text that do not belong to it.
            std::memset(text, 'Z', offset);
            std::memset(at + length + 1, 'Y', sizeof text - offset - length - 1);
            Store store;
            KeptText kept{};
            ASSERT_TRUE(
                keepText(kept, at, length, false, store.bytes, sizeof store.bytes, &store.used));
            EXPECT_TRUE(stillKept(kept, at, store.bytes)) << offset << " " << length;
            // Neighbouring bytes may change freely.
            std::memset(text, 'Q', offset);
            std::memset(at + length + 1, 'R', sizeof text - offset - length - 1);
            EXPECT_TRUE(stillKept(kept, at, store.bytes)) << offset << " " << length;
            for (std::size_t i = 0; i < length; ++i) {
                const char saved = at[i];
                at[i] = static_cast<char>(saved == 'x' ? 'y' : 'x');
                EXPECT_FALSE(stillKept(kept, at, store.bytes))
                    << offset << " " << length << " " << i;
                at[i] = '\0';  // shorter
                EXPECT_FALSE(stillKept(kept, at, store.bytes))
                    << offset << " " << length << " " << i;
                at[i] = saved;
            }
            at[length] = 'L';  // longer
            EXPECT_FALSE(stillKept(kept, at, store.bytes)) << offset << " " << length;
            at[length] = '\0';
            EXPECT_TRUE(stillKept(kept, at, store.bytes));
            // Another address never matches, whatever it holds.
            EXPECT_FALSE(stillKept(kept, at + 1, store.bytes));
        }
    }
}

TEST(KeptText, NullAndFixedTextsAreKeptByAddress) {
    Store store;
    KeptText none{};
    ASSERT_TRUE(keepText(none, nullptr, 0, false, store.bytes, sizeof store.bytes, &store.used));
    EXPECT_TRUE(stillKept(none, nullptr, store.bytes));
    EXPECT_FALSE(stillKept(none, "", store.bytes));
    static const char kLiteral[] = "a literal";
    KeptText literal{};
    ASSERT_TRUE(keepText(literal, kLiteral, std::strlen(kLiteral), true, store.bytes,
                         sizeof store.bytes, &store.used));
    EXPECT_EQ(store.used, 0u);  // nothing copied
    EXPECT_TRUE(stillKept(literal, kLiteral, store.bytes));
    EXPECT_FALSE(stillKept(literal, kLiteral + 1, store.bytes));
}

TEST(KeptText, AFullStoreRefusesWithoutWriting) {
    Store store;
    const std::string longText(600, 'w');
    KeptText kept{};
    EXPECT_FALSE(keepText(kept, longText.c_str(), longText.size(), false, store.bytes,
                          sizeof store.bytes, &store.used));
    EXPECT_EQ(store.used, 0u);
    const std::string fits(100, 'f');
    std::size_t keptCount = 0;
    while (keepText(kept, fits.c_str(), fits.size(), false, store.bytes, sizeof store.bytes,
                    &store.used)) {
        ++keptCount;
        ASSERT_LE(store.used, sizeof store.bytes);
    }
    EXPECT_GE(keptCount, 3u);
}

#if !defined(_WIN32)
// A text kept while it ran into a second page, then shortened to end in the first page while
// the second became unreadable: the check must stop at the first difference, in the first page.
TEST(KeptText, AShortenedTextIsNotReadBeyondItsPage) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* const mapped =
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    char* const base = static_cast<char*>(mapped);
    for (std::size_t before = 1; before <= 40; ++before) {
        char* const at = base + page - before;
        const std::string original(before + 30, 'k');
        std::memcpy(at, original.c_str(), original.size() + 1);
        Store store;
        KeptText kept{};
        ASSERT_TRUE(keepText(kept, at, original.size(), false, store.bytes, sizeof store.bytes,
                             &store.used));
        ASSERT_TRUE(stillKept(kept, at, store.bytes));
        // Shorter: its NUL is the last byte of the first page.
        at[before - 1] = '\0';
        ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
        EXPECT_FALSE(stillKept(kept, at, store.bytes)) << before;
        // A difference before the end of the page stops the check there too.
        if (before >= 2) {
            at[0] = 'x';
            EXPECT_FALSE(stillKept(kept, at, store.bytes)) << before;
        }
        ASSERT_EQ(mprotect(base + page, page, PROT_READ | PROT_WRITE), 0);
    }
    munmap(mapped, 2 * page);
}
#endif

}  // namespace
