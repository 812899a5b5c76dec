// The component registry: registered creators, shared instances and their records, component
// libraries loaded through the loader's search path, and the 31-character name bound.
#include <gtest/gtest.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/Component.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/ObjectTable.h"
#include "infra/PrintLog.h"

namespace {

using Tovix::Component::createComponentObject;
using Tovix::Component::getComponentInstance;
using Tovix::Component::IUnknown;
using Tovix::Component::registerComponent;
using Tovix::Component::ServerInfo;
using Tovix::Infra::getErrMsg;
using Tovix::Infra::getLastError;
using Tovix::Infra::setLastError;

// Never destroyed: a worker may still log through the sink while the process exits.
std::mutex& g_logMutex = *new std::mutex;
std::vector<std::string>& g_log = *new std::vector<std::string>;

bool captureLine(const char* line) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    g_log.emplace_back(line);
    return true;
}

int logLinesContaining(const std::string& text) {
    std::lock_guard<std::mutex> guard(g_logMutex);
    int count = 0;
    for (const std::string& line : g_log) {
        count += line.find(text) != std::string::npos ? 1 : 0;
    }
    return count;
}

class LogCapture {
public:
    LogCapture() {
        {
            std::lock_guard<std::mutex> guard(g_logMutex);
            g_log.clear();
        }
        Tovix::Infra::attachPrint(&captureLine);
    }
    ~LogCapture() { Tovix::Infra::detachPrint(&captureLine); }
};

// Live objects per creator, checked for use after destruction through a guard word.
std::atomic<int> g_live{0};
std::atomic<int> g_made{0};
std::atomic<int> g_destroyed{0};

class Thing : public IUnknown {
public:
    explicit Thing(int tag) : m_tag(tag) {
        ++g_live;
        ++g_made;
    }
    ~Thing() override {
        m_guard = 0;
        --g_live;
    }
    void destroy() override {
        ++g_destroyed;
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }
    int tag() const { return m_guard == kAlive ? m_tag : -1; }

private:
    static constexpr unsigned kAlive = 0xA11CEu;
    unsigned m_guard = kAlive;
    int m_tag;
};

IUnknown* makeOne(const ServerInfo*) {
    return new Thing(1);
}
IUnknown* makeTwo(const ServerInfo*) {
    return new Thing(2);
}
IUnknown* makeNothing(const ServerInfo*) {
    return nullptr;
}

int tagOf(IUnknown* object) {
    return static_cast<Thing*>(object)->tag();
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_live = 0;
        g_made = 0;
        g_destroyed = 0;
    }
};

TEST_F(RegistryTest, CreatedObjectsAreUnsharedAndDestroyedOnLastRelease) {
    ASSERT_TRUE(registerComponent("Plain", &makeOne));
    IUnknown* a = createComponentObject("Plain", nullptr);
    IUnknown* b = createComponentObject("Plain", &ServerInfo::none);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_NE(a, b);
    EXPECT_EQ(1, tagOf(a));
    EXPECT_EQ(2, a->addRef());
    EXPECT_EQ(1, a->release());
    EXPECT_EQ(0, a->release());
    EXPECT_EQ(0, b->release());
    EXPECT_EQ(2, g_destroyed.load());
    EXPECT_EQ(0, g_live.load());
}

TEST_F(RegistryTest, RegisteringAgainWarnsOnceAndTheNewCreatorWins) {
    LogCapture capture;
    ASSERT_TRUE(registerComponent("Twice", &makeOne));
    EXPECT_EQ(0, logLinesContaining("already exist!"));
    ASSERT_TRUE(registerComponent("Twice", &makeTwo));
    EXPECT_EQ(1, logLinesContaining("registerComponentCreator creator for 'Twice' already exist!"));
    IUnknown* object = createComponentObject("Twice", nullptr);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(2, tagOf(object));
    object->release();
    EXPECT_FALSE(registerComponent(nullptr, &makeOne));
}

TEST_F(RegistryTest, InstancesAreSharedPerServerRecord) {
    ASSERT_TRUE(registerComponent("Shared", &makeOne));
    IUnknown* first = getComponentInstance("Shared", nullptr);
    IUnknown* second = getComponentInstance("Shared", nullptr);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, second);
    EXPECT_EQ(3, first->addRef());
    first->release();

    ServerInfo info = ServerInfo();
    info.serverAddress = "10.0.0.1";
    info.serverPort = 80;
    info.userName = nullptr;
    info.loginMode = 1;
    IUnknown* withServer = getComponentInstance("Shared", &info);
    ASSERT_NE(nullptr, withServer);
    EXPECT_NE(first, withServer);

    // Fields outside the five compared ones do not matter; a null text equals an empty one.
    ServerInfo similar = info;
    similar.serverId = "another";
    similar.clientKind = 9;
    similar.userName = "";
    similar.password = nullptr;
    IUnknown* same = getComponentInstance("Shared", &similar);
    EXPECT_EQ(withServer, same);

    ServerInfo otherMode = info;
    otherMode.loginMode = 2;
    IUnknown* other = getComponentInstance("Shared", &otherMode);
    EXPECT_NE(withServer, other);
    ServerInfo otherPassword = info;
    otherPassword.password = "x";
    IUnknown* third = getComponentInstance("Shared", &otherPassword);
    EXPECT_NE(withServer, third);
    EXPECT_EQ(4, g_made.load());

    for (IUnknown* object : {first, second, withServer, same, other, third}) {
        object->release();
    }
    EXPECT_EQ(0, g_live.load());

    // The records went with the objects: a new request makes a new instance.
    IUnknown* again = getComponentInstance("Shared", nullptr);
    EXPECT_EQ(5, g_made.load());
    again->release();
}

TEST_F(RegistryTest, UnknownNamesAndFailingCreatorsGiveNull) {
    setLastError(0);
    EXPECT_EQ(nullptr, createComponentObject("NeitherRegisteredNorLoadable", nullptr));
    EXPECT_EQ(nullptr, getComponentInstance("NeitherRegisteredNorLoadable", nullptr));
    EXPECT_EQ(0, getLastError());

    ASSERT_TRUE(registerComponent("Failing", &makeNothing));
    EXPECT_EQ(nullptr, createComponentObject("Failing", nullptr));
    EXPECT_EQ(nullptr, getComponentInstance("Failing", nullptr));
    // Nothing was recorded: a working creator is asked next time.
    ASSERT_TRUE(registerComponent("Failing", &makeOne));
    IUnknown* object = getComponentInstance("Failing", nullptr);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(1, g_made.load());
    object->release();

    EXPECT_EQ(nullptr, createComponentObject(nullptr, nullptr));
    EXPECT_EQ(0x1003000d, getLastError());
    EXPECT_EQ(nullptr, getComponentInstance(nullptr, nullptr));
    EXPECT_EQ(0x1003000e, getLastError());
}

IUnknown* makeThroughRegistry(const ServerInfo* info) {
    // Creators run without the registry lock, so they may use it.
    IUnknown* inner = createComponentObject("Inner", info);
    if (inner != nullptr) {
        inner->release();
    }
    return new Thing(3);
}

TEST_F(RegistryTest, CreatorsMayUseTheRegistry) {
    ASSERT_TRUE(registerComponent("Inner", &makeOne));
    ASSERT_TRUE(registerComponent("Outer", &makeThroughRegistry));
    IUnknown* object = getComponentInstance("Outer", nullptr);
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(3, tagOf(object));
    object->release();
    EXPECT_EQ(0, g_live.load());
}

TEST_F(RegistryTest, NamedComponentInATableLeavesItBeforeItIsDestroyed) {
    ASSERT_TRUE(registerComponent("Tabled", &makeOne));
    Tovix::Component::Detail::CObjectTable table;
    IUnknown* object = createComponentObject("Tabled", nullptr);
    ASSERT_NE(nullptr, object);
    table.lock();
    table.insert(object);
    table.unlock();
    EXPECT_EQ(0, object->release());
    EXPECT_EQ(1, g_destroyed.load());
    EXPECT_EQ(0u, table.count());
}

TEST_F(RegistryTest, ConcurrentInstanceRequestsAndReleasesNeverReviveADyingInstance) {
    ASSERT_TRUE(registerComponent("Contended", &makeOne));
    ServerInfo info = ServerInfo();
    info.serverAddress = "contended";
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                IUnknown* object = getComponentInstance("Contended", (i + t) % 2 ? &info : nullptr);
                if (object == nullptr || tagOf(object) != 1) {
                    ++bad;
                    continue;
                }
                if (i % 3 == 0) {
                    object->addRef();
                    object->release();
                }
                object->release();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(0, g_live.load());
    EXPECT_EQ(g_made.load(), g_destroyed.load());
    EXPECT_GE(g_made.load(), 2);
}

// ---- component libraries ----------------------------------------------------------------------

TEST(ComponentLibraryTest, LoadsTheLibraryNamedAfterTheComponent) {
    IUnknown* widget = createComponentObject("TestWidget", nullptr);
    ASSERT_NE(nullptr, widget) << "TestWidget.dll not found on the loader path";
    EXPECT_STREQ("TestWidget.dll", static_cast<const char*>(widget->queryInterface("origin")));
    std::atomic<int>* live = static_cast<std::atomic<int>*>(widget->queryInterface("live"));
    ASSERT_NE(nullptr, live);
    EXPECT_EQ(1, live->load());

    ServerInfo info = ServerInfo();
    info.serverPort = 1234;
    IUnknown* shared = getComponentInstance("TestWidget", &info);
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ(1234, *static_cast<int*>(shared->queryInterface("port")));
    EXPECT_EQ(shared, getComponentInstance("TestWidget", &info));
    EXPECT_EQ(2, live->load());
    EXPECT_EQ(1, shared->release());
    EXPECT_EQ(0, shared->release());
    EXPECT_EQ(0, widget->release());
    EXPECT_EQ(0, live->load());

    // A registered creator takes precedence over the library from then on.
    registerComponent("TestWidget", &makeTwo);
    IUnknown* registered = createComponentObject("TestWidget", nullptr);
    ASSERT_NE(nullptr, registered);
    EXPECT_EQ(2, tagOf(registered));
    registered->release();
    EXPECT_EQ(0, live->load());
}

TEST(ComponentLibraryTest, LibraryWithoutTheEntryPointLogsAndGivesNull) {
    LogCapture capture;
    EXPECT_EQ(nullptr, createComponentObject("NoEntry", nullptr));
    EXPECT_EQ(1, logLinesContaining("getDynamicCreator get proc 'createNoEntryObject' failed!"));
    EXPECT_EQ(nullptr, getComponentInstance("NoEntry", nullptr));
    EXPECT_EQ(2, logLinesContaining("getDynamicCreator get proc 'createNoEntryObject' failed!"));
}

TEST(ComponentLibraryTest, MissingLibraryIsNotLogged) {
    LogCapture capture;
    EXPECT_EQ(nullptr, createComponentObject("NoSuchComponentLibrary", nullptr));
    EXPECT_EQ(0, logLinesContaining("getDynamicCreator"));
}

TEST(ComponentLibraryTest, NamesThatAreNoPlainFileNamesAreNeverLoaded) {
    // Where the tests run from, the first two name an existing library by a path.
    for (const char* name : {"component-libs/TestWidget", "./component-libs/TestWidget",
                             "component-libs\\TestWidget", "..", "C:TestWidget"}) {
        setLastError(0);
        EXPECT_EQ(nullptr, createComponentObject(name, nullptr)) << name;
        EXPECT_EQ(0x10030001, getLastError()) << name;
        setLastError(0);
        EXPECT_EQ(nullptr, getComponentInstance(name, nullptr)) << name;
        EXPECT_EQ(0x10030001, getLastError()) << name;
    }
    // A registered creator is still found under such a name.
    ASSERT_TRUE(registerComponent("with/slash", &makeOne));
    IUnknown* object = createComponentObject("with/slash", nullptr);
    ASSERT_NE(nullptr, object);
    object->release();
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
    EXPECT_STREQ("registered", static_cast<const char*>(object->queryInterface("origin")));
    object->release();
    EXPECT_EQ(0, logLinesContaining("getDynamicCreator"));
    EXPECT_EQ(0, logLinesContaining("already exist"));

    // Loaded by the program itself while another thread loads a component library. The threads
    // may be stuck for good, so what they touch is never destroyed.
    static std::atomic<bool> loaded{false};
    static std::atomic<bool> created{false};
    std::thread([] {
#if defined(_WIN32)
        loaded = LoadLibraryA("LoadedElsewhere.dll") != nullptr;
#else
        loaded = dlopen("LoadedElsewhere.dll", RTLD_NOW) != nullptr;
#endif
    }).detach();
    ASSERT_TRUE(waitFor([] {
        return std::string(getErrMsg(LOADED_ELSEWHERE_SIGNAL)) == "LoadedElsewhere loading";
    }));
    std::thread([] {
        createComponentObject("NoSuchComponentLibrary", nullptr);
        created = true;
    }).detach();
    ASSERT_TRUE(waitFor([] { return loaded && created; }))
        << "the library's initialiser and the registry wait for each other";
    IUnknown* elsewhere = createComponentObject("LoadedElsewhere", nullptr);
    ASSERT_NE(nullptr, elsewhere);
    EXPECT_STREQ("registered", static_cast<const char*>(elsewhere->queryInterface("origin")));
    elsewhere->release();
}

TEST(ComponentLibraryTest, LongNamesAreCutToThirtyOneCharacters) {
    // 28 characters: both the file name ("...28x.dl") and the entry point are cut.
    IUnknown* cut = createComponentObject("CutComponentNameForBounds28x", nullptr);
    ASSERT_NE(nullptr, cut);
    EXPECT_STREQ("cut28", static_cast<const char*>(cut->queryInterface("which")));
    cut->release();
    // 24 characters: the file name fits, the entry point is cut ("...24xO").
    IUnknown* mid = createComponentObject("MidComponentNameBound24x", nullptr);
    ASSERT_NE(nullptr, mid);
    EXPECT_STREQ("mid24", static_cast<const char*>(mid->queryInterface("which")));
    mid->release();
}

}  // namespace
