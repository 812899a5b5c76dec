// Component objects: reference counts through every hand-out helper, object tables and the
// class lists of the factory map.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "infra/ComPtr.h"
#include "infra/Component.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/FactoryUnknown.h"
#include "infra/ObjectTable.h"

namespace {

using Tovix::Component::ClassIDList;
using Tovix::Component::IFactoryUnknown;
using Tovix::Component::IUnknown;
using Tovix::Component::TComPtr;
using Tovix::Component::Detail::CComponentHelper;
using Tovix::Component::Detail::CObjectTable;
using Tovix::Component::Detail::key_base;
using Tovix::Infra::getLastError;
using Tovix::Infra::setLastError;

// Counts destroy() calls; optionally records how many objects its table listed at that moment.
class Probe : public IUnknown {
public:
    explicit Probe(int key = 0, CObjectTable* table = nullptr) : m_key(key), m_table(table) {}

    void destroy() override {
        ++destroyed;
        if (m_table != nullptr) {
            tableCountAtDestroy = static_cast<int>(m_table->count());
        }
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }

    int key() const { return m_key; }

    static std::atomic<int> destroyed;
    static int tableCountAtDestroy;

private:
    int m_key;
    CObjectTable* m_table;
};

std::atomic<int> Probe::destroyed{0};
int Probe::tableCountAtDestroy = -1;

struct KeyIs : key_base {
    explicit KeyIs(int k) : key(k) {}
    bool match(IUnknown* object) const override {
        return static_cast<Probe*>(object)->key() == key;
    }
    int key;
};

class ComponentObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        Probe::destroyed = 0;
        Probe::tableCountAtDestroy = -1;
    }
};

TEST_F(ComponentObjectTest, FirstInstanceHandOutPassesTheConstructionReference) {
    Probe* p = new Probe;
    EXPECT_EQ(p, CComponentHelper::makeComponentInstance(p));
    // Count still 1: the next addRef gives 2.
    EXPECT_EQ(2, p->addRef());
    EXPECT_EQ(1, p->release());
    EXPECT_EQ(p, CComponentHelper::makeComponentInstance(p));  // second hand-out adds one
    EXPECT_EQ(1, p->release());
    EXPECT_EQ(0, Probe::destroyed.load());
    EXPECT_EQ(0, p->release());
    EXPECT_EQ(1, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, AddRefMarksHandedOutSoLaterInstanceHandOutCounts) {
    Probe* p = new Probe;
    EXPECT_EQ(2, p->addRef());
    CComponentHelper::makeComponentInstance(p);  // 3
    EXPECT_EQ(2, p->release());
    EXPECT_EQ(1, p->release());
    EXPECT_EQ(0, p->release());
    EXPECT_EQ(1, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, MakeComponentObjectNeverChangesTheCount) {
    Probe* p = new Probe;
    EXPECT_EQ(p, CComponentHelper::makeComponentObject(p));
    EXPECT_EQ(p, CComponentHelper::makeComponentObject(p));
    // Now handed out: an instance hand-out adds a reference.
    CComponentHelper::makeComponentInstance(p);
    EXPECT_EQ(1, CComponentHelper::release(p));
    EXPECT_EQ(0, CComponentHelper::release(p));
    EXPECT_EQ(1, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, NullArgumentsGiveNullResultsAndErrorCodes) {
    setLastError(0);
    EXPECT_EQ(nullptr, CComponentHelper::makeComponentObject(nullptr));
    EXPECT_EQ(0x1003000d, getLastError());
    setLastError(0);
    EXPECT_EQ(nullptr, CComponentHelper::makeComponentInstance(nullptr));
    EXPECT_EQ(0x1003000e, getLastError());
    EXPECT_EQ(0, CComponentHelper::addRef(nullptr));
    EXPECT_EQ(0, CComponentHelper::release(nullptr));
    EXPECT_FALSE(CComponentHelper::setAsCurrentUser(nullptr));
}

TEST_F(ComponentObjectTest, ComPtrCopiesAddAndDestructionReleases) {
    Probe* p = new Probe;
    {
        TComPtr<Probe> first(p);
        {
            TComPtr<Probe> second(first);
            TComPtr<Probe> third;
            third = second;
            EXPECT_EQ(4, p->addRef());
            EXPECT_EQ(3, p->release());
            TComPtr<Probe> moved(std::move(third));
            EXPECT_FALSE(third);
            EXPECT_EQ(p, moved.get());
        }
        EXPECT_EQ(0, Probe::destroyed.load());
        EXPECT_EQ(2, p->addRef());
        EXPECT_EQ(1, p->release());
    }
    EXPECT_EQ(1, Probe::destroyed.load());

    Probe* q = new Probe;
    TComPtr<Probe> holder(q);
    EXPECT_EQ(q, holder.detach());
    EXPECT_EQ(0, Probe::destroyed.load() - 1);
    EXPECT_EQ(0, q->release());
    EXPECT_EQ(2, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, ConcurrentAddRefReleaseDestroysExactlyOnce) {
    Probe* p = new Probe;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        p->addRef();
        threads.emplace_back([p] {
            for (int i = 0; i < kRounds; ++i) {
                p->addRef();
                p->release();
            }
            p->release();
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, Probe::destroyed.load());
    EXPECT_EQ(0, p->release());
    EXPECT_EQ(1, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, TableFindHandsOutAndLastReleaseLeavesTableBeforeDestroy) {
    CObjectTable table;
    Probe* a = new Probe(1, &table);
    Probe* b = new Probe(2, &table);
    table.lock();
    table.insert(a);
    table.insert(b);
    EXPECT_EQ(2u, table.count());
    EXPECT_EQ(nullptr, table.find(KeyIs(3)));
    IUnknown* found = table.find(KeyIs(2));
    table.unlock();
    ASSERT_EQ(b, found);
    // insert passed on b's construction reference; find added one.
    EXPECT_EQ(1, b->release());
    EXPECT_EQ(0, b->release());
    EXPECT_EQ(1, Probe::destroyed.load());
    EXPECT_EQ(1, Probe::tableCountAtDestroy);
    table.lock();
    ASSERT_EQ(1u, table.count());
    EXPECT_EQ(a, table.get(0));
    table.unlock();
    EXPECT_EQ(0, a->release());
    EXPECT_EQ(0, Probe::tableCountAtDestroy);
    EXPECT_EQ(0u, table.count());
}

TEST_F(ComponentObjectTest, TableHelpersLeaveMembersAlone) {
    CObjectTable table;
    Probe* p = new Probe(1, &table);
    table.lock();
    table.insert(p);
    table.unlock();
    // Table members are handed out by find only.
    CComponentHelper::makeComponentInstance(p);
    CComponentHelper::makeComponentObject(p);
    EXPECT_EQ(0, p->release());
    EXPECT_EQ(1, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, EraseRemovesEveryEntryKeepingOrder) {
    CObjectTable table;
    Probe* a = new Probe(1);
    Probe* b = new Probe(2);
    table.lock();
    table.insert(a);
    table.insert(b);
    table.insert(a);  // a was handed out: this adds a reference
    table.insert(b);
    table.erase(a);
    ASSERT_EQ(2u, table.count());
    EXPECT_EQ(b, table.get(0));
    EXPECT_EQ(b, table.get(1));
    table.erase(b);
    EXPECT_EQ(0u, table.count());
    table.unlock();
    // The objects still name the table, which is empty now: their releases erase nothing.
    EXPECT_EQ(1, a->release());
    EXPECT_EQ(0, a->release());
    EXPECT_EQ(1, b->release());
    EXPECT_EQ(0, b->release());
    EXPECT_EQ(2, Probe::destroyed.load());
}

TEST_F(ComponentObjectTest, FindUnderLockNeverHandsOutADyingObject) {
    // One thread keeps finding the member and dropping what it found while the owner drops the
    // last outside reference; the object must be destroyed exactly once and never found after.
    for (int round = 0; round < 200; ++round) {
        CObjectTable table;
        Probe* p = new Probe(7);
        table.lock();
        table.insert(p);
        table.unlock();
        std::atomic<bool> stop{false};
        std::thread finder([&] {
            while (!stop.load()) {
                table.lock();
                IUnknown* found = table.find(KeyIs(7));
                table.unlock();
                if (found == nullptr) {
                    return;
                }
                found->release();
            }
        });
        p->release();
        finder.join();
        stop = true;
        EXPECT_EQ(round + 1, Probe::destroyed.load());
        EXPECT_EQ(0u, table.count());
    }
}

TEST(ComponentObjectDeathTest, OutOfRangeIndexesAreStopped) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    CObjectTable table;
    EXPECT_DEATH(table.get(0), "index < m_internal->objects.size\\(\\)");
    ClassIDList list("NoSuchInterfaceAnywhere");
    EXPECT_EQ(0u, list.count());
    EXPECT_DEATH(list[0], "\\(size_t\\)index < m_internal->ids.size\\(\\)");
    EXPECT_DEATH(list[-1], "\\(size_t\\)index < m_internal->ids.size\\(\\)");
}

class NamedFactory : public IFactoryUnknown {
public:
    explicit NamedFactory(const char* id) : m_id(id) {}
    const char* clsid() override { return m_id; }

private:
    const char* m_id;
};

TEST(ClassIDListTest, ListsClassesInByteOrderIncludingUnregisteredOnes) {
    NamedFactory b("B");
    NamedFactory a("A");
    NamedFactory lower("a");
    EXPECT_TRUE(b.registerFactory("IListed"));
    EXPECT_TRUE(a.registerFactory("IListed"));
    EXPECT_TRUE(lower.registerFactory("IListed"));
    EXPECT_TRUE(a.unregisterFactory("IListed"));
    ClassIDList list("IListed");
    ASSERT_EQ(3u, list.count());
    EXPECT_EQ("A", std::string(list[0].c_str()));
    EXPECT_EQ("B", std::string(list[1].c_str()));
    EXPECT_EQ("a", std::string(list[2].c_str()));
    EXPECT_EQ(0u, ClassIDList(nullptr).count());
    EXPECT_FALSE(b.registerFactory(nullptr));
    NamedFactory nameless(nullptr);
    EXPECT_FALSE(nameless.registerFactory("IListed"));
    b.unregisterFactory("IListed");
    lower.unregisterFactory("IListed");
}

TEST(ClassIDListTest, FirstRegistrationProvidesTheErrorTexts) {
    NamedFactory f("X");
    f.registerFactory("ITexts");
    EXPECT_STREQ("Component error: interface not found!", Tovix::Infra::getErrMsg(0x10030000));
    EXPECT_STREQ("Component error: tring login!", Tovix::Infra::getErrMsg(0x10030005));
    EXPECT_STREQ("Component error: User or password not valid!",
                 Tovix::Infra::getErrMsg(0x10030015));
    EXPECT_STREQ("", Tovix::Infra::getErrMsg(0x10030010));
    f.unregisterFactory("ITexts");
}

}  // namespace
