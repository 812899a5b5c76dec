// Component objects and object tables, the class lists of the factory map, and the registry:
// registered creators, shared instances and their records, component libraries found through the
// loader's search path, and the 31-character name bound.
#include <gtest/gtest.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/FactoryUnknown.h"
#include "infra/ObjectTable.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using namespace Tovix::Component;
using Detail::CComponentHelper;
using Detail::CObjectTable;
using TestSupport::LogCapture;
using Tovix::Infra::getLastError;
using Tovix::Infra::setLastError;

std::atomic<int> g_live{0}, g_made{0}, g_destroyed{0};
std::atomic<int> g_tableCountAtDestroy{-1};

// Reports its tag while alive and -1 once destroyed (a guard word catches use after destruction);
// records how many objects its table listed when it was destroyed.
struct Thing : IUnknown {
    explicit Thing(int tag = 0, CObjectTable* table = nullptr) : table(table), m_tag(tag) {
        ++g_live, ++g_made;
    }
    ~Thing() override { m_guard = 0, --g_live; }
    void destroy() override {
        ++g_destroyed;
        g_tableCountAtDestroy = table != nullptr ? static_cast<int>(table->count()) : -1;
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }
    int tag() const { return m_guard == 0xA11CEu ? m_tag : -1; }
    CObjectTable* const table;
    unsigned m_guard = 0xA11CEu;
    int m_tag;
};

struct KeyIs : Detail::key_base {
    explicit KeyIs(int k) : key(k) {}
    bool match(IUnknown* object) const override {
        return static_cast<Thing*>(object)->tag() == key;
    }
    int key;
};

const ComponentCreator makeOne = [](const ServerInfo*) -> IUnknown* { return new Thing(1); };
const ComponentCreator makeTwo = [](const ServerInfo*) -> IUnknown* { return new Thing(2); };
const ComponentCreator makeNothing = [](const ServerInfo*) -> IUnknown* { return nullptr; };
int tagOf(IUnknown* object) {
    return static_cast<Thing*>(object)->tag();
}
const char* textOf(IUnknown* object, const char* what) {
    return static_cast<const char*>(object->queryInterface(what));
}
// Releases `p` until it is destroyed; returns how many references it had.
int drop(IUnknown* p) {
    return p->release() == 0 ? 1 : 1 + drop(p);
}
int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) {
        ++count;
    }
    return count;
}
void* loadLibrary(std::string path) {
#if defined(_WIN32)
    std::replace(path.begin(), path.end(), '/', '\\');
    return LoadLibraryA(path.c_str());
#else
    return dlopen(path.c_str(), RTLD_NOW);
#endif
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { g_live = 0, g_made = 0, g_destroyed = 0; }
};
using ComponentObjectTest = RegistryTest;

TEST_F(ComponentObjectTest, TheFirstHandOutPassesTheConstructionReferenceLaterOnesAddOne) {
    Thing* marked = new Thing;
    Thing* counted = new Thing;
    EXPECT_EQ(marked, CComponentHelper::makeComponentObject(marked));    // never counts, but marks
    EXPECT_EQ(marked, CComponentHelper::makeComponentInstance(marked));  // so this adds one
    EXPECT_EQ(counted, CComponentHelper::makeComponentInstance(counted));  // the first: still 1
    EXPECT_EQ(2, CComponentHelper::addRef(counted));
    CComponentHelper::makeComponentInstance(counted);
    EXPECT_EQ(2, drop(marked));
    EXPECT_EQ(3, drop(counted));
    EXPECT_EQ(nullptr, CComponentHelper::makeComponentObject(nullptr));
    EXPECT_EQ(0x1003000d, getLastError());
    EXPECT_EQ(nullptr, CComponentHelper::makeComponentInstance(nullptr));
    EXPECT_EQ(0x1003000e, getLastError());
    EXPECT_EQ(0, CComponentHelper::addRef(nullptr) + CComponentHelper::release(nullptr));
}

TEST_F(ComponentObjectTest, TableMembersAreHandedOutByFindAndLeaveBeforeTheyAreDestroyed) {
    CObjectTable table;
    Thing* other = new Thing(8, &table);
    table.lock();
    table.insert(other);  // passes on the construction reference
    EXPECT_EQ(nullptr, table.find(KeyIs(6)));
    table.unlock();
    for (int round = 0; round < 100; ++round) {
        // One thread keeps finding the member (each find adds a reference) while the last
        // outside reference goes: find never hands out an object whose count reached 0.
        Thing* p = new Thing(7, &table);
        table.lock();
        table.insert(p);
        table.unlock();
        std::thread finder([&] {
            table.lock();
            for (IUnknown* found; (found = table.find(KeyIs(7))) != nullptr; table.lock()) {
                table.unlock();
                found->release();
            }
            table.unlock();
        });
        CComponentHelper::makeComponentInstance(p);  // not for table members
        p->release();
        finder.join();
        ASSERT_EQ(round + 1, g_destroyed.load());
        ASSERT_EQ(1, g_tableCountAtDestroy);  // it had left the table
    }
    table.lock();
    table.insert(other);  // handed out by now: adds one
    table.erase(other);   // every entry
    EXPECT_EQ(0u, table.count());
    table.unlock();
    EXPECT_EQ(2, drop(other));
}

struct NamedFactory : IFactoryUnknown {
    explicit NamedFactory(const char* id) : id(id) {}
    const char* clsid() override { return id; }
    const char* id;
};

TEST(ClassIDListDeathTest, ClassesAreListedInByteOrderAndIndexesBeyondTheEndAreStopped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CObjectTable table;
    EXPECT_DEATH(table.get(0), "index < m_internal->objects.size\\(\\)");
    ClassIDList none("NoSuchInterfaceAnywhere");
    EXPECT_EQ(0u, none.count());
    EXPECT_DEATH(none[-1], "\\(size_t\\)index < m_internal->ids.size\\(\\)");
    NamedFactory b("B"), a("A"), lower("a"), nameless(nullptr);
    EXPECT_TRUE(b.registerFactory("IListed") && a.registerFactory("IListed"));
    EXPECT_TRUE(lower.registerFactory("IListed") && a.unregisterFactory("IListed"));
    EXPECT_FALSE(b.registerFactory(nullptr) || nameless.registerFactory("IListed"));
    ClassIDList list("IListed");
    ASSERT_EQ(3u, list.count());
    EXPECT_EQ("A|B|a",
              std::string(list[0].c_str()) + "|" + list[1].c_str() + "|" + list[2].c_str());
    // The first registration gave the component error codes their texts.
    EXPECT_STREQ("Component error: tring login!", Tovix::Infra::getErrMsg(0x10030005));
}

TEST_F(RegistryTest, RegisteringAgainWarnsOnceAndTheNewCreatorWins) {
    LogCapture capture;
    ASSERT_TRUE(registerComponent("Twice", makeOne));
    EXPECT_EQ("", capture.text());
    ASSERT_TRUE(registerComponent("Twice", makeTwo));
    EXPECT_EQ(1, occurrences(capture.text(),
                             "registerComponentCreator creator for 'Twice' already exist!\n"));
    // Created objects are never shared.
    IUnknown* a = createComponentObject("Twice", nullptr);
    IUnknown* b = createComponentObject("Twice", &ServerInfo::none);
    ASSERT_TRUE(a != nullptr && b != nullptr && a != b && tagOf(a) == 2);
    EXPECT_EQ(2, a->addRef());
    EXPECT_EQ(3, drop(a) + drop(b));
    EXPECT_FALSE(registerComponent(nullptr, makeOne));
}

IUnknown* makeThroughRegistry(const ServerInfo* info) {
    // Creators run without the registry lock, so they may use it.
    createComponentObject("Inner", info)->release();
    getComponentInstance("Inner", info)->release();
    return new Thing(1);
}

TEST_F(RegistryTest, InstancesAreSharedPerNullOrCompared5ServerFields) {
    ASSERT_TRUE(registerComponent("Inner", makeTwo));
    ASSERT_TRUE(registerComponent("Shared", &makeThroughRegistry));
    IUnknown* byNull = getComponentInstance("Shared", nullptr);
    ASSERT_NE(nullptr, byNull);
    EXPECT_EQ(byNull, getComponentInstance("Shared", nullptr));  // with a reference added

    ServerInfo base = ServerInfo();
    base.serverAddress = "10.0.0.1", base.serverPort = 80, base.userName = nullptr;
    base.password = "pw", base.loginMode = 1;
    IUnknown* byBase = getComponentInstance("Shared", &base);
    ASSERT_NE(nullptr, byBase);
    EXPECT_NE(byNull, byBase);
    // Fields outside the five compared ones do not matter; a null text equals an empty one.
    ServerInfo same = base;
    same.serverId = "another", same.clientKind = 9, same.userName = "";
    EXPECT_EQ(byBase, getComponentInstance("Shared", &same));
    const std::vector<std::function<void(ServerInfo&)>> oneFieldDiffers = {
        [](ServerInfo& i) { i.serverAddress = "10.0.0.2"; },
        [](ServerInfo& i) { i.serverPort = 81; },
        [](ServerInfo& i) { i.userName = "u"; },
        [](ServerInfo& i) { i.password = nullptr; },
        [](ServerInfo& i) { i.loginMode = 2; },
    };
    std::vector<IUnknown*> others;
    for (const auto& change : oneFieldDiffers) {
        ServerInfo info = base;
        change(info);
        others.push_back(getComponentInstance("Shared", &info));
    }
    for (IUnknown* object : others) {
        EXPECT_NE(byBase, object);
        EXPECT_EQ(0, object->release());
    }
    // Releasing the later instances took their own records only.
    EXPECT_EQ(byBase, getComponentInstance("Shared", &base));
    EXPECT_EQ(byNull, getComponentInstance("Shared", nullptr));
    EXPECT_EQ(3, drop(byNull));
    EXPECT_EQ(3, drop(byBase));
    // The records went with the objects: a new request makes a new instance.
    IUnknown* again = getComponentInstance("Shared", nullptr);
    EXPECT_EQ(8 * 3, g_made.load());
    EXPECT_EQ(1, tagOf(again));
    again->release();
}

TEST_F(RegistryTest, UnknownNamesAndFailingCreatorsGiveNull) {
    setLastError(0);
    EXPECT_EQ(nullptr, createComponentObject("NeitherRegisteredNorLoadable", nullptr));
    EXPECT_EQ(nullptr, getComponentInstance("NeitherRegisteredNorLoadable", nullptr));
    EXPECT_EQ(0, getLastError());
    ASSERT_TRUE(registerComponent("Failing", makeNothing));
    EXPECT_EQ(nullptr, createComponentObject("Failing", nullptr));
    EXPECT_EQ(nullptr, getComponentInstance("Failing", nullptr));
    // Nothing was recorded: a working creator is asked next time.
    ASSERT_TRUE(registerComponent("Failing", makeOne));
    EXPECT_EQ(1, drop(getComponentInstance("Failing", nullptr)));
    EXPECT_EQ(nullptr, createComponentObject(nullptr, nullptr));
    EXPECT_EQ(0x1003000d, getLastError());
    EXPECT_EQ(nullptr, getComponentInstance(nullptr, nullptr));
    EXPECT_EQ(0x1003000e, getLastError());
}

TEST_F(RegistryTest, ConcurrentRequestsAndReleasesNeverReviveADyingInstance) {
    ASSERT_TRUE(registerComponent("Contended", makeOne));
    ServerInfo info = ServerInfo();
    info.serverAddress = "contended";
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 1500; ++i) {
                IUnknown* object = getComponentInstance("Contended", (i + t) % 2 ? &info : nullptr);
                bad += object == nullptr || tagOf(object) != 1 || object->release() < 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(0, g_live.load());
    EXPECT_GE(g_made.load(), 2);
}

// ---- component libraries ----------------------------------------------------------------------

TEST(ComponentLibraryTest, LoadsTheLibraryNamedAfterTheComponentUntilOneIsRegistered) {
    IUnknown* widget = createComponentObject("TestWidget", nullptr);
    ASSERT_NE(nullptr, widget) << "TestWidget.dll not found on the loader path";
    EXPECT_STREQ("TestWidget", textOf(widget, "origin"));
    auto* live = static_cast<std::atomic<int>*>(widget->queryInterface("live"));
    ServerInfo info = ServerInfo();
    info.serverPort = 1234;
    IUnknown* shared = getComponentInstance("TestWidget", &info);
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ(1234, *static_cast<int*>(shared->queryInterface("port")));
    EXPECT_EQ(shared, getComponentInstance("TestWidget", &info));
    EXPECT_EQ(2, live->load());
    EXPECT_EQ(3, drop(shared) + drop(widget));
    EXPECT_EQ(0, live->load());
    // The entry point was not stored as the creator: one registered now wins.
    registerComponent("TestWidget", makeTwo);
    IUnknown* registered = createComponentObject("TestWidget", nullptr);
    EXPECT_EQ(2, tagOf(registered));
    registered->release();
}

TEST(ComponentLibraryTest, MissingEntryPointIsLoggedEveryTime) {
    LogCapture capture;
    EXPECT_EQ(nullptr, createComponentObject("NoEntry", nullptr));
    EXPECT_EQ(nullptr, getComponentInstance("NoEntry", nullptr));
    EXPECT_EQ(2, occurrences(capture.text(),
                             "getDynamicCreator get proc 'createNoEntryObject' failed!\n"));
    EXPECT_STREQ("", getComponentLoadError());  // the library itself loaded
}

TEST(ComponentLibraryTest, LoadFailureReasonIsLoggedAndKeptForTheFailingThreadOnly) {
    LogCapture capture;
    EXPECT_EQ(nullptr, getComponentInstance("NoSuchComponentLibrary", nullptr));
    const std::string reason = getComponentLoadError();
    EXPECT_NE(std::string::npos, reason.find("NoSuchComponentLibrary.dll: ")) << reason;
    EXPECT_EQ(1,
              occurrences(capture.text(),
                          "getDynamicCreator load library 'NoSuchComponentLibrary.dll' failed: " +
                              reason + "\n"));
    std::string elsewhere = "unset";
    std::thread([&] { elsewhere = getComponentLoadError(); }).join();
    EXPECT_EQ("", elsewhere);
    // The next request clears it, even one that needs no library.
    ASSERT_TRUE(registerComponent("NeedsNoLibrary", makeOne));
    EXPECT_EQ(1, drop(createComponentObject("NeedsNoLibrary", nullptr)));
    EXPECT_STREQ("", getComponentLoadError());
}

TEST(ComponentLibraryTest, FoldersAreTriedInOrderBeforeTheLoaderAndAgainOnEveryRequest) {
    LogCapture capture;
    TestSupport::TempDir dir;
    ASSERT_TRUE(dir.valid());
    // Only the file name is bound to 31 characters; a folder may be given with its separator.
    const std::string first = dir / "a-folder-name-longer-than-thirty-one-characters";
    const std::string second = dir / "b/";
    ASSERT_TRUE(std::filesystem::create_directories(first) &&
                std::filesystem::create_directories(second));
    setComponentFolders({"", first, second});
    EXPECT_EQ(nullptr, createComponentObject("RetryWidget", nullptr));
    const std::string reason = getComponentLoadError();
    const std::size_t inFirst = reason.find(first + "/RetryWidget.dll: ");
    const std::size_t inSecond = reason.find("; " + second + "RetryWidget.dll: ");
    const std::size_t bare = reason.find("; RetryWidget.dll: ");
    EXPECT_TRUE(inFirst == 0 && inFirst < inSecond && inSecond < bare && bare != std::string::npos)
        << reason;
    EXPECT_TRUE(capture.contains("'RetryWidget.dll' failed: " + reason + "\n"));

    // Installed after a failed request, found by the next; the first folder's copy wins.
    std::filesystem::copy_file(FOLDER_B_LIBRARY, second + "RetryWidget.dll");
    std::filesystem::copy_file(FOLDER_A_LIBRARY, first + "/FolderWidget.dll");
    std::filesystem::copy_file(FOLDER_B_LIBRARY, second + "FolderWidget.dll");
    for (const auto& expected : {std::make_pair("RetryWidget", "b"), {"FolderWidget", "a"}}) {
        IUnknown* object = createComponentObject(expected.first, nullptr);
        ASSERT_NE(nullptr, object) << getComponentLoadError();
        EXPECT_STREQ(expected.second, textOf(object, "origin")) << expected.first;
        object->release();
        EXPECT_STREQ("", getComponentLoadError());
    }
    // No folders: the loader's search alone, as by default.
    std::filesystem::copy_file(FOLDER_A_LIBRARY, first + "/UnsetWidget.dll");
    setComponentFolders({});
    EXPECT_EQ(nullptr, createComponentObject("UnsetWidget", nullptr));
    EXPECT_EQ(0u, std::string(getComponentLoadError()).find("UnsetWidget.dll: "));
    EXPECT_EQ(std::string::npos, std::string(getComponentLoadError()).find(dir.path()));
}

TEST(ComponentLibraryTest, FoldersChangeWhileOtherThreadsLookForLibraries) {
    LogCapture capture;
    std::thread looking([] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(nullptr, createComponentObject("NoSuchComponentLibrary", nullptr));
            // The folders as they were set, both or none: never one of them.
            const int tried = occurrences(getComponentLoadError(), "NoSuchComponentLibrary.dll");
            EXPECT_TRUE(tried == 1 || tried == 3) << getComponentLoadError();
        }
    });
    for (int i = 0; i < 200; ++i) {
        setComponentFolders(i % 2 == 0 ? std::vector<std::string>{"x", "y/"}
                                       : std::vector<std::string>());
    }
    looking.join();
    setComponentFolders({});
}

TEST(ComponentLibraryTest, FailedLoadIsTriedAgainOnTheNextRequest) {
    EXPECT_EQ(nullptr, createComponentObject("LateWidget", nullptr));
    // Loaded by its path from outside the search path, the library is then found by its name.
    ASSERT_NE(nullptr, loadLibrary(LATE_LIBRARY_PATH));
    IUnknown* object = createComponentObject("LateWidget", nullptr);
    EXPECT_TRUE(object != nullptr && object->release() == 0);
}

TEST(ComponentLibraryTest, NamesThatAreNoPlainFileNamesAreNeverLoaded) {
    // Where the tests run from, the first two name an existing library by a path.
    for (const char* name : {"component-libs/TestWidget", "./component-libs/TestWidget",
                             "component-libs\\TestWidget", "..", "C:TestWidget"}) {
        for (auto create : {&createComponentObject, &getComponentInstance}) {
            setLastError(0);
            EXPECT_EQ(nullptr, create(name, nullptr)) << name;
            EXPECT_EQ(0x10030001, getLastError()) << name;
        }
    }
    // A registered creator is still found under such a name.
    ASSERT_TRUE(registerComponent("with/slash", makeOne));
    EXPECT_EQ(1, drop(createComponentObject("with/slash", nullptr)));
}

bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 60000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

TEST(ComponentLibraryTest, LibraryRegisteringItselfFromItsInitialiserDeadlocksNobody) {
    LogCapture capture;
    // Loaded by the registry: the creator registered while loading serves this very request.
    IUnknown* object = createComponentObject("SelfRegistering", nullptr);
    ASSERT_NE(nullptr, object);
    EXPECT_STREQ("registered", textOf(object, "origin"));
    object->release();
    EXPECT_EQ("", capture.text());  // neither "get proc ... failed" nor "already exist"

    // Loaded by the program itself while another thread loads a component library. The threads
    // may be stuck for good, so what they touch is never destroyed.
    static std::atomic<bool> loaded{false};
    static std::atomic<bool> created{false};
    std::thread([] { loaded = loadLibrary("LoadedElsewhere.dll") != nullptr; }).detach();
    ASSERT_TRUE(waitFor([] {
        return std::string(Tovix::Infra::getErrMsg(LOADED_ELSEWHERE_SIGNAL)) ==
               "LoadedElsewhere loading";
    }));
    std::thread([] {
        createComponentObject("NoSuchComponentLibrary", nullptr);
        created = true;
    }).detach();
    ASSERT_TRUE(waitFor([] { return loaded && created; }))
        << "the library's initialiser and the registry wait for each other";
    IUnknown* elsewhere = createComponentObject("LoadedElsewhere", nullptr);
    ASSERT_NE(nullptr, elsewhere);
    EXPECT_STREQ("registered", textOf(elsewhere, "origin"));
    elsewhere->release();
}

TEST(ComponentLibraryTest, LongNamesAreCutToThirtyOneCharacters) {
    // 28 characters: the file name ("...28x.dl") and the entry point are cut; 24: the entry
    // point only ("...24xO").
    for (const char* name : {"CutComponentNameForBounds28x", "MidComponentNameBound24x"}) {
        IUnknown* object = createComponentObject(name, nullptr);
        ASSERT_NE(nullptr, object) << name;
        EXPECT_EQ(std::string(name).substr(0, 3) == "Cut" ? "cut28" : std::string("mid24"),
                  textOf(object, "origin"));
        object->release();
    }
}

}  // namespace
