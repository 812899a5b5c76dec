// Component objects: reference counts through the hand-out helpers, object tables, and the class
// lists of the factory map.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "infra/ComPtr.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/FactoryUnknown.h"
#include "infra/ObjectTable.h"

namespace {

using Tovix::Component::ClassIDList;
using Tovix::Component::IUnknown;
using Tovix::Component::TComPtr;
using Tovix::Component::Detail::CComponentHelper;
using Tovix::Component::Detail::CObjectTable;
using Tovix::Infra::getLastError;

std::atomic<int> g_destroyed{0};
int g_tableCountAtDestroy = -1;

// Counts destroy() calls and records how many objects its table listed at that moment.
class Probe : public IUnknown {
public:
    explicit Probe(int key = 0, CObjectTable* table = nullptr) : key(key), m_table(table) {}
    void destroy() override {
        ++g_destroyed;
        g_tableCountAtDestroy = m_table != nullptr ? static_cast<int>(m_table->count()) : -1;
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }
    const int key;

private:
    CObjectTable* m_table;
};

struct KeyIs : Tovix::Component::Detail::key_base {
    explicit KeyIs(int k) : key(k) {}
    bool match(IUnknown* object) const override { return static_cast<Probe*>(object)->key == key; }
    int key;
};

// Releases `p` until it is destroyed; returns how many references it had.
int drop(IUnknown* p) {
    int count = 1;
    while (p->release() != 0) {
        ++count;
    }
    return count;
}

class ComponentObjectTest : public ::testing::Test {
protected:
    void SetUp() override { g_destroyed = 0; }
};

TEST_F(ComponentObjectTest, FirstHandOutPassesTheConstructionReferenceAndLaterOnesAddOne) {
    Probe* instance = new Probe;
    EXPECT_EQ(instance, CComponentHelper::makeComponentInstance(instance));  // count 1
    EXPECT_EQ(instance, CComponentHelper::makeComponentInstance(instance));  // 2
    EXPECT_EQ(2, drop(instance));
    Probe* object = new Probe;
    EXPECT_EQ(object, CComponentHelper::makeComponentObject(object));  // never counts, but marks
    EXPECT_EQ(object, CComponentHelper::makeComponentObject(object));
    CComponentHelper::makeComponentInstance(object);
    EXPECT_EQ(2, drop(object));
    Probe* counted = new Probe;
    EXPECT_EQ(2, CComponentHelper::addRef(counted));  // marks handed out too
    CComponentHelper::makeComponentInstance(counted);
    EXPECT_EQ(2, CComponentHelper::release(counted));
    EXPECT_EQ(2, drop(counted));
    EXPECT_EQ(3, g_destroyed.load());

    Tovix::Infra::setLastError(0);
    EXPECT_EQ(nullptr, CComponentHelper::makeComponentObject(nullptr));
    EXPECT_EQ(0x1003000d, getLastError());
    EXPECT_EQ(nullptr, CComponentHelper::makeComponentInstance(nullptr));
    EXPECT_EQ(0x1003000e, getLastError());
    EXPECT_EQ(0, CComponentHelper::addRef(nullptr));
    EXPECT_EQ(0, CComponentHelper::release(nullptr));
    EXPECT_FALSE(CComponentHelper::setAsCurrentUser(nullptr));
}

TEST_F(ComponentObjectTest, ComPtrCopiesAddAndDestructionReleases) {
    Probe* p = new Probe;
    {
        TComPtr<Probe> first(p), second(first), third;
        third = second;
        TComPtr<Probe> moved(std::move(third));
        EXPECT_TRUE(!third && moved.get() == p);
        EXPECT_EQ(4, p->addRef());
        p->release();
    }
    EXPECT_EQ(1, g_destroyed.load());
    Probe* q = new Probe;
    EXPECT_EQ(q, TComPtr<Probe>(q).detach());
    EXPECT_EQ(1, drop(q));
}

TEST_F(ComponentObjectTest, TableFindHandsOutAndLastReleaseLeavesTheTableBeforeDestroy) {
    CObjectTable table;
    Probe* a = new Probe(1, &table);
    Probe* b = new Probe(2, &table);
    table.lock();
    table.insert(a);
    table.insert(b);
    EXPECT_EQ(nullptr, table.find(KeyIs(3)));
    EXPECT_EQ(b, table.find(KeyIs(2)));  // adds one: insert passed on the construction one
    table.unlock();
    CComponentHelper::makeComponentInstance(b);  // members are handed out by find only
    EXPECT_EQ(2, drop(b));
    EXPECT_EQ(1, g_tableCountAtDestroy);
    table.lock();
    ASSERT_EQ(1u, table.count());
    EXPECT_EQ(a, table.get(0));
    table.insert(a);  // handed out by now: adds a reference
    table.insert(new Probe(3));
    table.insert(a);
    table.erase(a);  // every entry, keeping the order of the rest
    ASSERT_EQ(1u, table.count());
    IUnknown* c = table.get(0);
    table.erase(c);
    table.unlock();
    EXPECT_EQ(3, drop(a));
    EXPECT_EQ(0, g_tableCountAtDestroy);
    EXPECT_EQ(1, drop(c));
}

TEST_F(ComponentObjectTest, FindUnderTheLockNeverHandsOutADyingObject) {
    for (int round = 0; round < 100; ++round) {
        CObjectTable table;
        Probe* p = new Probe(7);
        table.lock();
        table.insert(p);
        table.unlock();
        std::thread finder([&] {
            for (;;) {
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
        EXPECT_EQ(round + 1, g_destroyed.load());
    }
}

TEST(ComponentObjectDeathTest, IndexesBeyondTheEndAreStopped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CObjectTable table;
    EXPECT_DEATH(table.get(0), "index < m_internal->objects.size\\(\\)");
    ClassIDList list("NoSuchInterfaceAnywhere");
    EXPECT_EQ(0u, list.count());
    EXPECT_DEATH(list[-1], "\\(size_t\\)index < m_internal->ids.size\\(\\)");
}

class NamedFactory : public Tovix::Component::IFactoryUnknown {
public:
    explicit NamedFactory(const char* id) : m_id(id) {}
    const char* clsid() override { return m_id; }

private:
    const char* m_id;
};

TEST(ClassIDListTest, ListsClassesInByteOrderIncludingUnregisteredOnes) {
    NamedFactory b("B"), a("A"), lower("a"), nameless(nullptr);
    EXPECT_TRUE(b.registerFactory("IListed"));
    EXPECT_TRUE(a.registerFactory("IListed"));
    EXPECT_TRUE(lower.registerFactory("IListed"));
    EXPECT_TRUE(a.unregisterFactory("IListed"));
    EXPECT_FALSE(b.registerFactory(nullptr));
    EXPECT_FALSE(nameless.registerFactory("IListed"));
    ClassIDList list("IListed");
    ASSERT_EQ(3u, list.count());
    EXPECT_EQ("A", list[0]);
    EXPECT_EQ("B", list[1]);
    EXPECT_EQ("a", list[2]);
    EXPECT_EQ(0u, ClassIDList(nullptr).count());
    // The first registration gave the component error codes their texts.
    EXPECT_STREQ("Component error: interface not found!", Tovix::Infra::getErrMsg(0x10030000));
    EXPECT_STREQ("Component error: tring login!", Tovix::Infra::getErrMsg(0x10030005));
    EXPECT_STREQ("Component error: User or password not valid!",
                 Tovix::Infra::getErrMsg(0x10030015));
    EXPECT_STREQ("", Tovix::Infra::getErrMsg(0x10030010));
}

}  // namespace
