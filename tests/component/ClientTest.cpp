// Clients: the login state machine behind getComponentFactory, client sharing and references,
// the per-thread current user, status procs and the idle sweep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infra/Client.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "support/LogCapture.h"

namespace {

using Tovix::Component::ClassID;
using Tovix::Component::IClient;
using Tovix::Component::IClientFactoryWrap;
using Tovix::Component::IFactoryUnknown;
using Tovix::Component::ServerInfo;
using Tovix::Component::TComPtr;
using Tovix::Component::Detail::CComponentHelper;
using Tovix::Infra::getLastError;
using Tovix::Infra::setLastError;

// ---- a scripted client ------------------------------------------------------------------------

// Decides whether logins succeed and whether the session is broken, and counts what the library
// asked of its clients.
struct FakeServer {
    std::atomic<bool> loginSucceeds{true}, broken{false}, createSucceeds{true}, logoutResult{true};
    std::atomic<int> userId{42}, created{0}, logins{0}, logouts{0}, destroyed{0};
};

// Logs in as the user name of the ServerInfo it was made for.
class FakeClient : public IClient {
public:
    FakeClient(FakeServer& server, const ServerInfo* info)
        : m_server(server), m_user(info != nullptr && info->userName ? info->userName : "") {
        ++m_server.created;
    }
    bool isBroken() override { return m_server.broken.load(); }
    bool login() override {
        ++m_server.logins;
        if (!m_server.loginSucceeds.load()) {
            return false;
        }
        m_server.broken = false;
        return saveUserName(m_user.c_str());
    }
    bool logout() override { return ++m_server.logouts, m_server.logoutResult.load(); }
    bool getUserID(int& id) override { return id = m_server.userId.load(), true; }
    void destroy() override {
        ++m_server.destroyed;
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }

private:
    FakeServer& m_server;
    std::string m_user;
};

class FakeClientFactory : public IClient::IFactory {
public:
    FakeClientFactory(const char* classId, FakeServer& server) : m_id(classId), m_server(server) {}
    const char* clsid() override { return m_id; }
    IClient* create(const ServerInfo* info) override {
        return m_server.createSucceeds ? new FakeClient(m_server, info) : nullptr;
    }

private:
    const char* m_id;
    FakeServer& m_server;
};

// An interface factory that makes nothing; the tests only look it up.
class PlainFactory : public IFactoryUnknown {
public:
    explicit PlainFactory(const char* classId) : m_id(classId) {}
    const char* clsid() override { return m_id; }

private:
    const char* m_id;
};

ServerInfo serverFor(const char* address, const char* user = "alice") {
    ServerInfo info = ServerInfo();
    info.serverAddress = address, info.serverPort = 7000, info.userName = user;
    info.password = "secret";
    return info;
}

// Every log line of the program, never destroyed: the sweep's worker may log while it exits.
TestSupport::LogCapture& logCapture() {
    static TestSupport::LogCapture* const capture = new TestSupport::LogCapture;
    return *capture;
}

// A client class ("<class>") with its fake server and client factory, and an interface factory
// ("IWidget", "<class>.widget") reached through its clients.
struct ClientClass {
    ClientClass(const char* classId, const char* widgetId)
        : clients(classId, server), widgets(widgetId), widgetId(widgetId) {
        clients.registerFactory(IClient::IFactory::iid());
        widgets.registerFactory("IWidget");
    }
    ~ClientClass() {
        widgets.unregisterFactory("IWidget");
        clients.unregisterFactory(IClient::IFactory::iid());
    }
    IFactoryUnknown* widget(const ServerInfo& info, IClient*& client) {
        return CComponentHelper::getComponentFactory("IWidget", ClassID(widgetId), info, client);
    }
    IClientFactoryWrap* wrap() {
        IClient* none = nullptr;
        return dynamic_cast<IClientFactoryWrap*>(CComponentHelper::getComponentFactory(
            IClient::IFactory::iid(), ClassID(clients.clsid()), ServerInfo::none, none));
    }

    FakeServer server;
    FakeClientFactory clients;
    PlainFactory widgets;
    const char* widgetId;
};

class ClientFixture : public ::testing::Test {
protected:
    void SetUp() override {
        Tovix::Infra::setPrintLogLevel(6);
        m_logStart = logCapture().text().size();
    }
    void TearDown() override { Tovix::Infra::setPrintLogLevel(3); }
    int logged(const std::string& part) {
        const std::string text = logCapture().text().substr(m_logStart);
        int count = 0;
        for (std::size_t at = text.find(part); at != std::string::npos;
             at = text.find(part, at + 1)) {
            ++count;
        }
        return count;
    }
    IFactoryUnknown* widget(const ServerInfo& info, IClient*& client) {
        return fake.widget(info, client);
    }

    std::size_t m_logStart = 0;
    ClientClass fake{"Fake", "Fake.widget"};
    FakeServer& m_server = fake.server;
};

using ClientLoginTest = ClientFixture;

TEST_F(ClientLoginTest, FirstLookupLogsInAndHandsTheClientOutWithoutAReference) {
    const ServerInfo info = serverFor("first.example");
    IClient* client = nullptr;
    EXPECT_EQ(&fake.widgets, widget(info, client));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(42, IClient::getCurrentUserID());
    EXPECT_EQ(2, client->addRef());  // only the list held it
    EXPECT_EQ(1, client->release());
    // Later lookups find the same logged-in client and pass on a reference.
    IClient* again = nullptr;
    EXPECT_EQ(&fake.widgets, widget(info, again));
    EXPECT_EQ(client, again);
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, CComponentHelper::release(again));
    Tovix::Infra::CTime loginTime;
    EXPECT_TRUE(client->getLoginTime(loginTime));
    EXPECT_GT(loginTime.year, 2000);
    // The last reference unlists, logs out and destroys it.
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.logouts.load());
    EXPECT_EQ(1, m_server.destroyed.load());
    EXPECT_EQ(&fake.widgets, widget(info, client));
    EXPECT_EQ(2, m_server.created.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
}

TEST_F(ClientLoginTest, FailedFirstLoginGivesNullAndTheNextLookupLogsTheSameClientIn) {
    // Without a user name the never-logged-in client still matches the server record.
    const ServerInfo info = serverFor("failing.example", nullptr);
    m_server.loginSucceeds = false;
    IClient* client = reinterpret_cast<IClient*>(1);
    EXPECT_EQ(nullptr, widget(info, client));
    EXPECT_EQ(nullptr, client);
    EXPECT_EQ(1, logged("iid=IWidget could not been generated because log failed.\n"));
    EXPECT_EQ(nullptr, widget(info, client));  // listed client in state 0: logged in again
    EXPECT_EQ(1, logged("iid=IWidget could not been got because log failed.\n"));
    m_server.loginSucceeds = true;
    EXPECT_EQ(&fake.widgets, widget(info, client));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(3, m_server.logins.load());
    EXPECT_EQ(0, CComponentHelper::release(client));  // first use: no reference of its own
}

TEST_F(ClientLoginTest, BrokenSessionIsLoggedInAgainAndAFailedReloginIsRetried) {
    const ServerInfo info = serverFor("flaky.example");
    IClient* first = nullptr;
    ASSERT_EQ(&fake.widgets, widget(info, first));
    IClient* client = nullptr;
    m_server.broken = true;
    EXPECT_EQ(&fake.widgets, widget(info, client));
    EXPECT_EQ(first, client);
    EXPECT_EQ(2, m_server.logins.load());
    CComponentHelper::release(client);
    m_server.broken = true;
    m_server.loginSucceeds = false;
    EXPECT_EQ(nullptr, widget(info, client));
    EXPECT_EQ(1, logged("iid=IWidget could not been got because re-log failed.\n"));
    // State 2 now: the next lookup logs in without asking isBroken.
    m_server.loginSucceeds = true;
    EXPECT_EQ(&fake.widgets, widget(info, client));
    EXPECT_EQ(first, client);
    EXPECT_EQ(4, m_server.logins.load());
    CComponentHelper::release(client);
    EXPECT_EQ(0, CComponentHelper::release(first));
}

TEST_F(ClientLoginTest, LookupFailuresSetTheirErrorCodes) {
    IClient* client = nullptr;
    setLastError(0);
    const auto lookup = [&](const char* iid, const char* cid, const ServerInfo& info) {
        return CComponentHelper::getComponentFactory(iid, ClassID(cid), info, client);
    };
    EXPECT_EQ(nullptr, lookup("INoSuchInterface", "Fake.x", ServerInfo::none));
    EXPECT_EQ(0x10030000, getLastError());
    EXPECT_EQ(nullptr, lookup("IWidget", "Fake.nothing", ServerInfo::none));
    EXPECT_EQ(0x10030001, getLastError());
    EXPECT_EQ(nullptr, lookup(nullptr, "Fake.widget", ServerInfo::none));
    EXPECT_EQ(0x10030000, getLastError());
    const ServerInfo info = serverFor("nowhere.example");
    EXPECT_EQ(nullptr, lookup("IWidget", "Orphan.widget", info));  // no client factory
    EXPECT_EQ(0x10030002, getLastError());
    EXPECT_EQ(1, logged("iid (IWidget) could not been got because clientInstance could not be "
                        "created.\n"));
    m_server.createSucceeds = false;
    EXPECT_EQ(nullptr, widget(info, client));
    EXPECT_EQ(0x10030003, getLastError());
    // A client that logged in but whose class has no such interface factory: no reference stays.
    m_server.createSucceeds = true;
    EXPECT_EQ(nullptr, lookup("IWidget", "Fake.other", info));
    EXPECT_EQ(0x10030001, getLastError());
    ASSERT_EQ(&fake.widgets, widget(info, client));
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
}

TEST_F(ClientLoginTest, ClientInterfaceGivesTheWrapAndNeverAClient) {
    IClient* client = reinterpret_cast<IClient*>(1);
    IClientFactoryWrap* wrapped =
        dynamic_cast<IClientFactoryWrap*>(CComponentHelper::getComponentFactory(
            IClient::IFactory::iid(), ClassID("Fake"), serverFor("wrap.example"), client));
    ASSERT_NE(nullptr, wrapped);
    EXPECT_EQ(&fake.clients, wrapped->original());
    EXPECT_STREQ("Fake", wrapped->clsid());
    EXPECT_EQ(nullptr, client);
    EXPECT_EQ(0, m_server.created.load());
    EXPECT_EQ(wrapped, fake.wrap());  // one wrap per factory
    fake.clients.unregisterFactory(IClient::IFactory::iid());
    EXPECT_EQ(nullptr, fake.wrap());
}

TEST_F(ClientLoginTest, OnlyIdentityFieldsSeparateClients) {
    ServerInfo base = serverFor("fields.example");
    base.flags = 0x02;
    IClient* first = nullptr;
    ASSERT_NE(nullptr, widget(base, first));
    using Change = std::function<void(ServerInfo&)>;
    for (const Change& same : std::vector<Change>{
             [](ServerInfo& i) { i.label = "another label"; },
             [](ServerInfo& i) { i.retryCount = 9; }, [](ServerInfo& i) { i.extra = "x"; },
             [](ServerInfo& i) { i.flags = 0; }, [](ServerInfo& i) { i.reserved[3] = 77; }}) {
        ServerInfo info = base;
        same(info);
        IClient* client = nullptr;
        ASSERT_NE(nullptr, widget(info, client));
        EXPECT_EQ(first, client);
        CComponentHelper::release(client);
    }
    for (const Change& other : std::vector<Change>{
             [](ServerInfo& i) { i.serverId = "second"; }, [](ServerInfo& i) { i.flags = 3; },
             [](ServerInfo& i) { i.proxyPort = 1; }, [](ServerInfo& i) { i.userName = "bob"; },
             [](ServerInfo& i) { i.password = nullptr; }}) {
        ServerInfo info = base;
        other(info);
        IClient* client = nullptr;
        ASSERT_NE(nullptr, widget(info, client));
        EXPECT_NE(first, client);
        CComponentHelper::release(client);
    }
    EXPECT_EQ(6, m_server.created.load());
    EXPECT_EQ(0, CComponentHelper::release(first));
}

TEST_F(ClientLoginTest, ClassPartMustMatchExactly) {
    ClientClass longer("Fakeish", "Fakeish.widget");
    const ServerInfo info = serverFor("classes.example");
    IClient* fakeClient = nullptr;
    IClient* fakeishClient = nullptr;
    ASSERT_NE(nullptr, widget(info, fakeClient));
    ASSERT_NE(nullptr, longer.widget(info, fakeishClient));
    EXPECT_NE(fakeClient, fakeishClient);
    EXPECT_EQ(1, longer.server.created.load());
    CComponentHelper::release(fakeClient);
    CComponentHelper::release(fakeishClient);
}

TEST_F(ClientLoginTest, UserIdLookupFindsListedClientsOnlyAndNeverLogsIn) {
    IClient* client = nullptr;
    const auto byUser = [&](int userId) {
        return CComponentHelper::getComponentFactory("IWidget", ClassID("Fake.widget"), userId,
                                                     client);
    };
    setLastError(0);
    EXPECT_EQ(nullptr, byUser(42));
    EXPECT_EQ(0, getLastError());
    EXPECT_EQ(&fake.widgets, byUser(-1));
    EXPECT_EQ(nullptr, client);
    IClient* made = nullptr;
    ASSERT_NE(nullptr, widget(serverFor("user.example"), made));
    EXPECT_EQ(&fake.widgets, byUser(42));
    EXPECT_EQ(made, client);
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(made, fake.clients.instance(42));
    EXPECT_EQ(nullptr, fake.clients.instance(7));
    EXPECT_EQ(2, CComponentHelper::release(made));  // the list's, the lookup's, instance's
    EXPECT_EQ(1, CComponentHelper::release(made));
    EXPECT_EQ(0, CComponentHelper::release(made));
}

TEST_F(ClientLoginTest, CurrentUserBelongsToTheThread) {
    int otherThreadUser = -5;
    std::thread([&] { otherThreadUser = IClient::getCurrentUserID(); }).join();
    EXPECT_EQ(0, otherThreadUser);
    m_server.userId = 77;
    IClient* client = nullptr;
    ASSERT_NE(nullptr, widget(serverFor("user77.example"), client));
    EXPECT_EQ(77, IClient::getCurrentUserID());
    std::thread([&] {
        otherThreadUser = IClient::getCurrentUserID();
        EXPECT_TRUE(CComponentHelper::setAsCurrentUser(client));
        EXPECT_EQ(77, IClient::getCurrentUserID());
    }).join();
    EXPECT_EQ(0, otherThreadUser);
    CComponentHelper::release(client);
}

TEST_F(ClientLoginTest, CreatedClientsAreKeptByTheirCallerAndShared) {
    const ServerInfo info = serverFor("kept.example", "");
    IClient* client = fake.wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(42, IClient::getCurrentUserID());
    IClient* again = fake.wrap()->create(&info);  // the listed, unbroken client, one more reference
    EXPECT_EQ(client, again);
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, CComponentHelper::release(again));
    // A lookup hands it out with a reference of its own, even on first use.
    IClient* looked = nullptr;
    ASSERT_NE(nullptr, widget(info, looked));
    EXPECT_EQ(client, looked);
    EXPECT_EQ(1, CComponentHelper::release(looked));
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.logouts.load());
    EXPECT_EQ(1, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, OptionalOperationsReportNotSupported) {
    const ServerInfo info = serverFor("optional.example");
    IClient* client = fake.wrap()->create(&info);
    Tovix::Component::ServerChallenge challenge;
    Tovix::Infra::CTime time;
    for (const std::function<bool()>& operation : std::vector<std::function<bool()>>{
             [&] { return client->checkAuthorityString("x"); },
             [&] { return client->setCurrentTime(time, 0); },
             [&] { return client->getChallenge(challenge); },
             [&] { return client->getCurrentTime(time); }, [&] { return client->loginFirst(); },
             [&] { return client->loginAgain(info); }}) {
        setLastError(0);
        EXPECT_FALSE(operation());
        EXPECT_EQ(0x10030010, getLastError());
    }
    client->release();
}

TEST_F(ClientLoginTest, ServerInfoCopiesAndTheUserNameIsSavedOnce) {
    ServerInfo info = serverFor("copy.example");
    info.label = "label", info.flags = 0x81, info.retryCount = 3;
    IClient* client = fake.wrap()->create(&info);
    ServerInfo before = ServerInfo();
    EXPECT_TRUE(client->getServerInfo(before));
    EXPECT_STREQ("copy.example", before.serverAddress);
    EXPECT_EQ(7000, before.serverPort);
    EXPECT_STREQ("", before.userName);  // not saved yet
    EXPECT_STREQ("secret", before.password);
    EXPECT_STREQ("label", before.label);
    EXPECT_STREQ("", before.serverId);
    EXPECT_EQ(0x81, before.flags);
    EXPECT_EQ(3, before.retryCount);
    EXPECT_EQ(1, logged("userName of client is a null string!\n"));
    // Longer than any string keeps in place: saving it must not move the text handed out.
    const std::string name = "a-user-name-much-longer-than-thirty-two-characters";
    EXPECT_TRUE(client->saveUserName(name.c_str()));
    EXPECT_TRUE(client->saveUserName("eve"));
    EXPECT_EQ(1, logged("username of client has already saved.\n"));
    EXPECT_STREQ("", before.userName);
    ServerInfo after = ServerInfo();
    EXPECT_TRUE(client->getServerInfo(after));
    EXPECT_EQ(name, after.userName);
    EXPECT_EQ(nullptr, client->getCustomData());
    client->setCustomData(&info);
    EXPECT_EQ(&info, client->getCustomData());
    client->release();
}

TEST(ClientDeathTest, OperationsNeedAClientTheLibraryMade) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeServer server;
    FakeClient* raw = new FakeClient(server, nullptr);
    ServerInfo info;
    Tovix::Infra::CTime time;
    const std::string report = "assertion \\(m_internal\\)";
    EXPECT_DEATH(raw->getServerInfo(info), report);
    EXPECT_DEATH(raw->saveUserName("x"), report);
    EXPECT_DEATH(raw->getLoginTime(time), report);
    EXPECT_DEATH(raw->abort(1), report);
    EXPECT_DEATH(raw->setCustomData(nullptr), report);
    EXPECT_DEATH(raw->getCustomData(), report);
    EXPECT_FALSE(raw->attachStatusProc(IClient::StatusProc()));
    raw->destroy();
}

// ---- status procs -----------------------------------------------------------------------------

struct StatusCall {
    void* data;
    std::string classId;
    IClient* client;
    IClient::Status status;
    int reason;
};

class StatusRecorder {
public:
    void onStatus(void* data, ClassID cid, TComPtr<IClient> client, IClient::Status status,
                  int reason) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_calls.push_back(StatusCall{data, cid.id, client.get(), status, reason});
    }
    std::vector<StatusCall> calls() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_calls;
    }
    IClient::StatusProc proc() { return IClient::StatusProc(this, &StatusRecorder::onStatus); }

private:
    std::mutex m_mutex;
    std::vector<StatusCall> m_calls;
};

void plainStatus(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {}

class StatusProcTest : public ClientFixture {
protected:
    void SetUp() override {
        ClientFixture::SetUp();
        m_client = fake.wrap()->create(&m_info);
        ASSERT_NE(nullptr, m_client);
    }
    void TearDown() override {
        EXPECT_EQ(0, m_client->release());
        ClientFixture::TearDown();
    }
    const ServerInfo m_info = serverFor("procs.example");
    IClient* m_client = nullptr;
};

TEST_F(StatusProcTest, AttachRefusesEmptyWildcardDuplicateAndOverflow) {
    StatusRecorder recorders[9];
    EXPECT_FALSE(m_client->attachStatusProc(IClient::StatusProc()));
    EXPECT_FALSE(m_client->attachStatusProc(
        IClient::StatusProc::wildcard(&recorders[0], &StatusRecorder::onStatus)));
    EXPECT_TRUE(m_client->attachStatusProc(&plainStatus));
    EXPECT_FALSE(m_client->attachStatusProc(&plainStatus));
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(m_client->attachStatusProc(recorders[i].proc()));
    }
    EXPECT_FALSE(m_client->attachStatusProc(recorders[7].proc()));  // eight attached
    EXPECT_TRUE(m_client->detachStatusProc(&plainStatus));
    EXPECT_FALSE(m_client->detachStatusProc(&plainStatus));
    EXPECT_TRUE(m_client->attachStatusProc(recorders[7].proc()));
    EXPECT_FALSE(m_client->attachStatusProc(recorders[8].proc()));
}

TEST_F(StatusProcTest, AbortCallsEveryProcWithAReferenceThenLogsOut) {
    int data = 0;
    m_client->setCustomData(&data);
    StatusRecorder first, second;
    ASSERT_TRUE(m_client->attachStatusProc(first.proc()));
    ASSERT_TRUE(m_client->attachStatusProc(second.proc()));
    m_server.logoutResult = false;
    EXPECT_FALSE(m_client->abort(17));
    m_server.logoutResult = true;
    EXPECT_TRUE(m_client->abort(18));
    EXPECT_EQ(2, m_server.logouts.load());
    for (StatusRecorder* recorder : {&first, &second}) {
        const std::vector<StatusCall> calls = recorder->calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ(&data, calls[0].data);
        EXPECT_EQ("Fake", calls[0].classId);
        EXPECT_EQ(m_client, calls[0].client);
        EXPECT_EQ(2, static_cast<int>(calls[0].status));
        EXPECT_EQ(17, calls[0].reason);
        EXPECT_EQ(18, calls[1].reason);
    }
    EXPECT_EQ(0, m_server.destroyed.load());
}

// A proc that blocks until released, so another thread can try to detach it meanwhile.
class BlockingProc {
public:
    void onStatus(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_entered = true;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_released; });
        m_finished = true;
    }
    void waitEntered() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_entered; });
    }
    void releaseCall() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_released = true;
        m_changed.notify_all();
    }
    bool finished() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_finished;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_entered = false, m_released = false, m_finished = false;
};

TEST_F(StatusProcTest, DetachFromAnotherThreadWaitsForTheRunningCall) {
    BlockingProc blocking;
    const IClient::StatusProc proc(&blocking, &BlockingProc::onStatus);
    ASSERT_TRUE(m_client->attachStatusProc(proc));
    std::thread aborter([this] { m_client->abort(1); });
    blocking.waitEntered();
    std::atomic<bool> detached{false};
    bool finishedWhenDetached = false;
    std::thread detacher([&] {
        EXPECT_TRUE(m_client->detachStatusProc(proc));
        finishedWhenDetached = blocking.finished();
        detached = true;
    });
    // Give the detacher time to reach its wait; it must not return before the call ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(detached.load());
    blocking.releaseCall();
    detacher.join();
    aborter.join();
    EXPECT_TRUE(finishedWhenDetached);
    EXPECT_FALSE(m_client->detachStatusProc(proc));
}

class SelfDetachingProc {
public:
    explicit SelfDetachingProc(IClient* client) : m_client(client) {}
    void onStatus(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {
        ++calls;
        detachResult = m_client->detachStatusProc(proc());
    }
    IClient::StatusProc proc() { return IClient::StatusProc(this, &SelfDetachingProc::onStatus); }
    int calls = 0;
    bool detachResult = false;

private:
    IClient* m_client;
};

TEST_F(StatusProcTest, ProcDetachingItselfDoesNotWait) {
    SelfDetachingProc proc(m_client);
    StatusRecorder after;
    ASSERT_TRUE(m_client->attachStatusProc(proc.proc()));
    ASSERT_TRUE(m_client->attachStatusProc(after.proc()));
    m_client->abort(5);
    EXPECT_EQ(1, proc.calls);
    EXPECT_TRUE(proc.detachResult);
    m_client->abort(6);
    EXPECT_EQ(1, proc.calls);
    EXPECT_EQ(2u, after.calls().size());
    EXPECT_TRUE(m_client->attachStatusProc(proc.proc()));  // its slot is free again
}

TEST_F(ClientLoginTest, ConcurrentLookupsAndReleasesKeepOneClient) {
    const ServerInfo info = serverFor("busy.example");
    IClient* client = nullptr;
    ASSERT_NE(nullptr, widget(info, client));  // first use: no reference
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                IClient* mine = nullptr;
                mismatches += widget(info, mine) != &fake.widgets || mine != client;
                CComponentHelper::release(mine);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
}

// ---- idle sweep -----------------------------------------------------------------------------

std::atomic<unsigned long long> g_fakeNow{1000};

unsigned long long fakeClock() {
    return g_fakeNow.load();
}

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

class IdleSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = 1000;
        m_previous = Tovix::Component::Detail::setClientClock(&fakeClock);
    }
    void TearDown() override { Tovix::Component::Detail::setClientClock(m_previous); }

    // A client made by a lookup whose login fails: held by the list only.
    static void leaveUnloggedClient(ClientClass& cls, const ServerInfo& info) {
        cls.server.loginSucceeds = false;
        IClient* client = nullptr;
        EXPECT_EQ(nullptr, cls.widget(info, client));
        cls.server.loginSucceeds = true;
    }

    Tovix::Component::Detail::ClientClock m_previous = nullptr;
    const ServerInfo m_info = serverFor("sweep.example", nullptr);  // matches unlogged clients
};

TEST_F(IdleSweepTest, UnusedClientsOnlyTheListHoldsAreSweptAfterTheThreshold) {
    ClientClass older("SweepOld", "SweepOld.widget"), retried("SweepRetry", "SweepRetry.widget");
    ClientClass kept("SweepKept", "SweepKept.widget"), held("SweepHeld", "SweepHeld.widget");
    leaveUnloggedClient(older, m_info);    // last use 1000
    leaveUnloggedClient(retried, m_info);  // last use 1000
    IClient* keptClient = kept.wrap()->create(&m_info);
    IClient* heldClient = held.wrap()->createAndMake(&m_info);  // the list's and ours
    ASSERT_TRUE(keptClient != nullptr && heldClient != nullptr);
    g_fakeNow = 1001;
    leaveUnloggedClient(retried, m_info);  // a failed login attempt is a use: 1001
    EXPECT_EQ(1, retried.server.created.load());
    // 300001 ms after the older client's last use, exactly 300000 after the retried one's.
    g_fakeNow = 301001;
    ASSERT_TRUE(eventually([&] { return older.server.destroyed.load() == 1; }));
    EXPECT_EQ(1, older.server.logouts.load());
    EXPECT_EQ(0, retried.server.destroyed.load());  // that pass saw the same clock
    g_fakeNow = 301002;
    ASSERT_TRUE(eventually([&] { return retried.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, kept.server.destroyed.load());
    EXPECT_EQ(0, held.server.destroyed.load());
    // Once nothing but the list holds it, the never-used client goes too; a kept one never.
    EXPECT_EQ(1, CComponentHelper::release(heldClient));
    ASSERT_TRUE(eventually([&] { return held.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, kept.server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(keptClient));
}

TEST_F(IdleSweepTest, LoggedInClientsAreNeverSwept) {
    ClientClass logged("SweepLogged", "SweepLogged.widget");
    ClientClass marker("SweepMarker", "SweepMarker.widget");
    IClient* client = nullptr;
    ASSERT_NE(nullptr, logged.widget(m_info, client));
    leaveUnloggedClient(marker, m_info);
    g_fakeNow = 1000 + 10 * 300000ULL;
    // The marker being swept proves a sweep ran with the clock far ahead.
    ASSERT_TRUE(eventually([&] { return marker.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, logged.server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
}

}  // namespace
