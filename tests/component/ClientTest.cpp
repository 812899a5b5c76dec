// Clients: the login state machine behind getComponentFactory, client sharing and references,
// the per-thread current user, status procs and the idle sweep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "infra/Client.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "support/LogCapture.h"

namespace {

using namespace Tovix::Component;
using Detail::CComponentHelper;
using Tovix::Infra::getLastError;
using Tovix::Infra::setLastError;

// Decides whether logins succeed and sessions are broken; counts what the library asked.
struct FakeServer {
    std::atomic<bool> loginSucceeds{true}, broken{false}, createSucceeds{true}, logoutResult{true};
    std::atomic<int> created{0}, logins{0}, logouts{0}, destroyed{0};
};

// Logs in as the user name of the ServerInfo it was made for.
struct FakeClient : IClient {
    FakeClient(FakeServer& server, const char* user) : m_server(server), m_user(user) {
        ++m_server.created;
    }
    bool isBroken() override { return m_server.broken.load(); }
    bool login() override {
        ++m_server.logins;
        m_server.broken = !m_server.loginSucceeds && m_server.broken;
        return m_server.loginSucceeds && saveUserName(m_user.c_str());
    }
    bool logout() override { return ++m_server.logouts, m_server.logoutResult.load(); }
    bool getUserID(int& id) override { return id = 42, true; }
    void destroy() override {
        ++m_server.destroyed;
        delete this;
    }
    void* queryInterface(const char*) override { return nullptr; }
    FakeServer& m_server;
    const std::string m_user;
};

template <class Base>
struct Factory : Base {
    explicit Factory(const char* id) : id(id) {}
    const char* clsid() override { return id; }
    const char* id;
};

// The client factory of a client class, with its server, and an interface factory ("IWidget",
// "<class>.widget") reached through its clients.
struct ClientClass : Factory<IClient::IFactory> {
    ClientClass(const char* id, const char* widgetId) : Factory(id), widgets(widgetId) {
        registerFactory(IClient::IFactory::iid());
        widgets.registerFactory("IWidget");
    }
    ~ClientClass() override {
        widgets.unregisterFactory("IWidget");
        unregisterFactory(IClient::IFactory::iid());
    }
    IClient* create(const ServerInfo* info) override {
        const char* user = info != nullptr && info->userName != nullptr ? info->userName : "";
        return server.createSucceeds ? new FakeClient(server, user) : nullptr;
    }
    IFactoryUnknown* widget(const ServerInfo& info, IClient*& client) {
        return CComponentHelper::getComponentFactory("IWidget", ClassID(widgets.id), info, client);
    }
    IClientFactoryWrap* wrap() {
        IClient* none = nullptr;
        return dynamic_cast<IClientFactoryWrap*>(CComponentHelper::getComponentFactory(
            IClient::IFactory::iid(), ClassID(id), ServerInfo::none, none));
    }
    FakeServer server;
    Factory<IFactoryUnknown> widgets;
};

bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

ServerInfo serverFor(const char* address, const char* user = "alice") {
    ServerInfo info = ServerInfo();
    info.serverAddress = address, info.serverPort = 7000, info.userName = user;
    info.password = "secret";
    return info;
}

// Every log line of the program; never destroyed, as the sweep's worker may log while it exits.
TestSupport::LogCapture& logCapture = *new TestSupport::LogCapture;

class ClientLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tovix::Infra::setPrintLogLevel(6);
        m_logStart = logCapture.text().size();
    }
    void TearDown() override { Tovix::Infra::setPrintLogLevel(3); }
    int logged(const std::string& part) {
        const std::string text = logCapture.text().substr(m_logStart);
        int count = 0;
        for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; ++at) {
            ++count;
        }
        return count;
    }
    IClient* newClient(const ServerInfo& info) {
        IClient* client = nullptr;
        EXPECT_EQ(&fake.widgets, fake.widget(info, client));
        return client;
    }

    std::size_t m_logStart = 0;
    const ServerInfo m_info = serverFor("client.example", "");  // "" matches unlogged clients
    ClientClass fake{"Fake", "Fake.widget"};
    FakeServer& m_server = fake.server;
};

TEST_F(ClientLoginTest, FirstLookupLogsInAndHandsTheClientOutWithoutAReference) {
    IClient* client = newClient(m_info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(42, IClient::getCurrentUserID());  // in this thread only
    int otherThreadUser = -5;
    std::thread([&] { otherThreadUser = IClient::getCurrentUserID(); }).join();
    EXPECT_EQ(0, otherThreadUser);
    // Later lookups find the same logged-in client and pass on a reference.
    EXPECT_EQ(client, newClient(m_info));
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, CComponentHelper::release(client));  // the list's is left
    Tovix::Infra::CTime loginTime;
    EXPECT_TRUE(client->getLoginTime(loginTime) && loginTime.year > 2000);
    // The last reference unlists, logs out and destroys it.
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.logouts.load());
    EXPECT_EQ(1, m_server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(newClient(m_info)));
    EXPECT_EQ(2, m_server.created.load());
}

TEST_F(ClientLoginTest, FailedLoginsGiveNullAndTheNextLookupLogsTheSameClientInAgain) {
    m_server.loginSucceeds = false;
    IClient* client = reinterpret_cast<IClient*>(1);
    EXPECT_EQ(nullptr, fake.widget(m_info, client));
    EXPECT_EQ(nullptr, client);
    EXPECT_EQ(1, logged("iid=IWidget could not been generated because log failed.\n"));
    EXPECT_EQ(nullptr, fake.widget(m_info, client));  // listed client in state 0: logged in again
    EXPECT_EQ(1, logged("iid=IWidget could not been got because log failed.\n"));
    m_server.loginSucceeds = true;
    IClient* first = newClient(m_info);
    EXPECT_EQ(1, m_server.created.load());
    // A broken session is logged in again; a failed re-login leaves state 2, where the next
    // lookup logs in without asking isBroken.
    m_server.broken = true;
    EXPECT_EQ(first, newClient(m_info));
    EXPECT_EQ(4, m_server.logins.load());
    CComponentHelper::release(first);
    m_server.broken = true, m_server.loginSucceeds = false;
    EXPECT_EQ(nullptr, fake.widget(m_info, client));
    EXPECT_EQ(1, logged("iid=IWidget could not been got because re-log failed.\n"));
    m_server.loginSucceeds = true;
    EXPECT_EQ(first, newClient(m_info));
    EXPECT_EQ(6, m_server.logins.load());
    CComponentHelper::release(first);
    EXPECT_EQ(0, CComponentHelper::release(first));  // first use came without a reference
}

TEST_F(ClientLoginTest, ClientsThatCannotBeMadeSetTheirErrorCodes) {
    IClient* client = nullptr;
    EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory("IWidget", ClassID("Orphan.widget"),
                                                             m_info, client));
    EXPECT_EQ(0x10030002, getLastError());  // no client factory for "Orphan"
    EXPECT_EQ(1, logged("iid (IWidget) could not been got because clientInstance could not be "
                        "created.\n"));
    m_server.createSucceeds = false;
    EXPECT_EQ(nullptr, fake.widget(m_info, client));
    EXPECT_EQ(0x10030003, getLastError());
}

TEST_F(ClientLoginTest, OnlyIdentityFieldsSeparateClients) {
    ServerInfo base = serverFor("fields.example");
    base.flags = 0x02;
    IClient* first = newClient(base);
    for (const auto& change : std::vector<std::pair<bool, std::function<void(ServerInfo&)>>>{
             {true, [](ServerInfo& i) { i.label = "another label"; }},
             {true, [](ServerInfo& i) { i.retryCount = 9; }},
             {true, [](ServerInfo& i) { i.flags = 0; }},
             {false, [](ServerInfo& i) { i.serverId = "second"; }},
             {false, [](ServerInfo& i) { i.flags = 3; }},
             {false, [](ServerInfo& i) { i.userName = "bob"; }}}) {
        ServerInfo info = base;
        change.second(info);
        IClient* client = newClient(info);
        EXPECT_EQ(change.first, client == first);
        CComponentHelper::release(client);
    }
    EXPECT_EQ(4, m_server.created.load());
    EXPECT_EQ(0, CComponentHelper::release(first));
}

TEST_F(ClientLoginTest, TheClientInterfaceGivesAWrapWhoseClientsTheirCallerKeeps) {
    IClient* client = reinterpret_cast<IClient*>(1);
    IClientFactoryWrap* wrap = dynamic_cast<IClientFactoryWrap*>(
        CComponentHelper::getComponentFactory("Client", ClassID("Fake"), m_info, client));
    ASSERT_TRUE(wrap != nullptr && wrap == fake.wrap());  // one wrap per factory, never a client
    EXPECT_TRUE(client == nullptr && wrap->original() == &fake);
    client = wrap->create(&m_info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(client, fake.wrap()->create(&m_info));  // the listed, unbroken client, referenced
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, CComponentHelper::release(client));
    EXPECT_EQ(client, newClient(m_info));  // with a reference of its own, even on first use
    EXPECT_EQ(1, CComponentHelper::release(client));
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.logouts.load());
    fake.unregisterFactory(IClient::IFactory::iid());
    EXPECT_EQ(nullptr, fake.wrap());
}

TEST_F(ClientLoginTest, ServerInfoCopiesTheUserNameIsSavedOnceAndOptionalOperationsFail) {
    ServerInfo info = serverFor("copy.example");
    info.label = "label", info.flags = 0x81;
    IClient* client = fake.wrap()->create(&info);
    ServerInfo before = ServerInfo();
    EXPECT_TRUE(client->getServerInfo(before));
    EXPECT_EQ(std::string("copy.example|secret|label|7000|129|"),
              std::string(before.serverAddress) + "|" + before.password + "|" + before.label + "|" +
                  std::to_string(before.serverPort) + "|" + std::to_string(before.flags) + "|" +
                  before.serverId + before.userName);
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
    ServerChallenge challenge;
    Tovix::Infra::CTime time;
    for (const std::function<bool()>& operation : std::vector<std::function<bool()>>{
             [&] { return client->checkAuthorityString("x"); },
             [&] { return client->setCurrentTime(time, 0); },
             [&] { return client->getChallenge(challenge); },
             [&] { return client->getCurrentTime(time); }, [&] { return client->loginFirst(); },
             [&] { return client->loginAgain(m_info); }}) {
        setLastError(0);
        EXPECT_FALSE(operation());
        EXPECT_EQ(0x10030010, getLastError());
    }
    client->release();
}

TEST(ClientDeathTest, OperationsNeedAClientTheLibraryMade) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    FakeServer server;
    FakeClient* raw = new FakeClient(server, "");
    EXPECT_DEATH(raw->saveUserName("x"), "assertion \\(m_internal\\)");
    EXPECT_DEATH(raw->abort(1), "assertion \\(m_internal\\)");
    raw->destroy();
}

// Records its calls; while `hold` is set a call waits; with `detachSelf` it detaches itself.
struct StatusRecorder {
    void onStatus(void* data, ClassID cid, TComPtr<IClient> client, IClient::Status status,
                  int reason) {
        running = true;
        calls.push_back(std::to_string(reinterpret_cast<std::uintptr_t>(data)) + cid.id +
                        std::to_string(client.get() == self) + std::to_string(status) +
                        std::to_string(reason));
        while (hold) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        detached = detachSelf && client->detachStatusProc(proc());
        running = false;
    }
    IClient::StatusProc proc() { return IClient::StatusProc(this, &StatusRecorder::onStatus); }
    IClient* self = nullptr;
    std::atomic<bool> hold{false}, running{false}, detachSelf{false}, detached{false};
    std::vector<std::string> calls;
};

void plainStatus(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {}

using StatusProcTest = ClientLoginTest;

TEST_F(StatusProcTest, AttachRefusesEmptyWildcardDuplicateAndOverflow) {
    IClient* client = fake.wrap()->create(&m_info);
    StatusRecorder recorders[9];
    EXPECT_FALSE(client->attachStatusProc(IClient::StatusProc()));
    EXPECT_FALSE(client->attachStatusProc(
        IClient::StatusProc::wildcard(&recorders[0], &StatusRecorder::onStatus)));
    EXPECT_TRUE(client->attachStatusProc(&plainStatus));
    EXPECT_FALSE(client->attachStatusProc(&plainStatus));
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(client->attachStatusProc(recorders[i].proc()));
    }
    EXPECT_FALSE(client->attachStatusProc(recorders[7].proc()));  // eight attached
    EXPECT_TRUE(client->detachStatusProc(&plainStatus));
    EXPECT_FALSE(client->detachStatusProc(&plainStatus));
    EXPECT_TRUE(client->attachStatusProc(recorders[7].proc()));
    EXPECT_FALSE(client->attachStatusProc(recorders[8].proc()));
    EXPECT_EQ(0, client->release());
}

TEST_F(StatusProcTest, AbortCallsEveryProcWithAReferenceThenLogsOutAndAProcMayDetachItself) {
    IClient* client = fake.wrap()->create(&m_info);
    client->setCustomData(reinterpret_cast<void*>(9));
    StatusRecorder first, second;
    first.self = second.self = client;
    first.detachSelf = true;
    ASSERT_TRUE(client->attachStatusProc(first.proc()) && client->attachStatusProc(second.proc()));
    m_server.logoutResult = false;
    EXPECT_FALSE(client->abort(17));
    EXPECT_TRUE(first.detached);  // without waiting for its own call
    m_server.logoutResult = true;
    EXPECT_TRUE(client->abort(18));
    EXPECT_EQ(2, m_server.logouts.load());
    EXPECT_EQ(std::vector<std::string>{"9Fake1217"}, first.calls);
    EXPECT_EQ((std::vector<std::string>{"9Fake1217", "9Fake1218"}), second.calls);
    EXPECT_TRUE(client->attachStatusProc(first.proc()));  // its slot is free again
    EXPECT_EQ(0, client->release());
}

TEST_F(StatusProcTest, DetachFromAnotherThreadWaitsForTheRunningCall) {
    IClient* client = fake.wrap()->create(&m_info);
    StatusRecorder blocking;
    blocking.hold = true;
    ASSERT_TRUE(client->attachStatusProc(blocking.proc()));
    std::thread aborter([client] { client->abort(1); });
    ASSERT_TRUE(eventually([&] { return blocking.running.load(); }));
    std::atomic<int> runningWhenDetached{-1};
    std::thread detacher([&] {
        EXPECT_TRUE(client->detachStatusProc(blocking.proc()));
        runningWhenDetached = blocking.running;
    });
    // Give the detacher time to reach its wait; it must not return before the call ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(-1, runningWhenDetached.load());
    blocking.hold = false;
    detacher.join(), aborter.join();
    EXPECT_EQ(0, runningWhenDetached.load());
    EXPECT_FALSE(client->detachStatusProc(blocking.proc()));
    EXPECT_EQ(0, client->release());
}

std::atomic<unsigned long long> g_fakeNow{1000};

class IdleSweepTest : public ClientLoginTest {
protected:
    void SetUp() override {
        g_fakeNow = 1000;
        m_previous = Detail::setClientClock([] { return g_fakeNow.load(); });
    }
    void TearDown() override { Detail::setClientClock(m_previous); }
    // A client made by a lookup whose login fails: held by the list only.
    void leaveUnloggedClient(ClientClass& cls) {
        cls.server.loginSucceeds = false;
        IClient* client = nullptr;
        EXPECT_EQ(nullptr, cls.widget(m_info, client));
        cls.server.loginSucceeds = true;
    }
    Detail::ClientClock m_previous = nullptr;
};

TEST_F(IdleSweepTest, UnusedClientsOnlyTheListHoldsAreSweptAfterTheThreshold) {
    ClientClass older("Old", "Old.w"), retried("Retried", "Retried.w"), kept("Kept", "Kept.w");
    ClientClass held("Held", "Held.w"), logged("Logged", "Logged.w");
    g_fakeNow = 1500;  // listed first: a pass sweeping it with a later client shows it at once
    IClient* heldClient = held.wrap()->createAndMake(&m_info);  // the list's and ours; made 1500
    g_fakeNow = 1000;
    leaveUnloggedClient(retried);
    leaveUnloggedClient(older);  // last use 1000
    IClient* keptClient = kept.wrap()->create(&m_info);
    IClient* loggedClient = nullptr;
    ASSERT_TRUE(keptClient != nullptr && logged.widget(m_info, loggedClient) != nullptr);
    g_fakeNow = 1001;
    leaveUnloggedClient(retried);  // a failed login attempt is a use: 1001
    EXPECT_EQ(1, retried.server.created.load());
    // 300001 ms after the older client's last use, exactly 300000 after the retried one's.
    g_fakeNow = 301001;
    ASSERT_TRUE(eventually([&] { return older.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, retried.server.destroyed.load());        // that pass saw the same clock
    EXPECT_EQ(0, logged.server.destroyed.load());         // and never sweeps a logged-in client
    EXPECT_EQ(1, CComponentHelper::release(heldClient));  // then only the list holds it
    g_fakeNow = 301002;
    ASSERT_TRUE(eventually([&] { return retried.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, held.server.destroyed.load());  // 299502 ms after it was made
    g_fakeNow = 301501;
    ASSERT_TRUE(eventually([&] { return held.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, kept.server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(keptClient));
    EXPECT_EQ(0, CComponentHelper::release(loggedClient));
}

}  // namespace
