// Clients: the login state machine behind getComponentFactory, client sharing and references,
// the per-thread current user, status procs and the idle sweep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "component/FakeClient.h"
#include "infra/Client.h"
#include "infra/ComponentHelper.h"
#include "infra/Error.h"
#include "infra/PrintLog.h"

namespace {

using ComponentTesting::FakeClientFactory;
using ComponentTesting::FakeServer;
using ComponentTesting::PlainFactory;
using Tovix::Component::ClassID;
using Tovix::Component::ClassIDList;
using Tovix::Component::IClient;
using Tovix::Component::IClientFactoryWrap;
using Tovix::Component::IFactoryUnknown;
using Tovix::Component::ServerChallenge;
using Tovix::Component::ServerInfo;
using Tovix::Component::TComPtr;
using Tovix::Component::Detail::CComponentHelper;
using Tovix::Infra::getLastError;
using Tovix::Infra::setLastError;

// ---- captured log lines ---------------------------------------------------------------------

// Never destroyed: the client sweep's pooled worker may still log through the sink while the
// process exits.
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

ServerInfo serverFor(const char* address, const char* user = "alice") {
    ServerInfo info = ServerInfo();
    info.serverAddress = address;
    info.serverPort = 7000;
    info.userName = user;
    info.password = "secret";
    return info;
}

// Polls `done` every few milliseconds; false when it is still not true after a generous limit.
template <class Predicate>
bool eventually(Predicate done) {
    for (int i = 0; i < 6000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// One client class with its fake server, its client factory and an interface factory
// ("IWidget", "<class>.widget") reached through its clients.
class ClientFixture : public ::testing::Test {
protected:
    explicit ClientFixture(const char* classId = "Fake", const char* widgetId = "Fake.widget")
        : m_classId(classId),
          m_widgetId(widgetId),
          m_clients(classId, m_server),
          m_widgets(widgetId) {}

    void SetUp() override {
        {
            std::lock_guard<std::mutex> guard(g_logMutex);
            g_log.clear();
        }
        Tovix::Infra::setPrintLogLevel(6);
        Tovix::Infra::attachPrint(&captureLine);
        ASSERT_TRUE(m_clients.registerFactory(IClient::IFactory::iid()));
        ASSERT_TRUE(m_widgets.registerFactory("IWidget"));
    }

    void TearDown() override {
        m_widgets.unregisterFactory("IWidget");
        m_clients.unregisterFactory(IClient::IFactory::iid());
        Tovix::Infra::detachPrint(&captureLine);
        Tovix::Infra::setPrintLogLevel(3);
    }

    IFactoryUnknown* widgetFactory(const ServerInfo& info, IClient*& client) {
        return CComponentHelper::getComponentFactory("IWidget", ClassID(m_widgetId), info, client);
    }

    IClientFactoryWrap* wrap() {
        IClient* none = nullptr;
        return dynamic_cast<IClientFactoryWrap*>(CComponentHelper::getComponentFactory(
            IClient::IFactory::iid(), ClassID(m_classId), ServerInfo::none, none));
    }

    const char* m_classId;
    const char* m_widgetId;
    FakeServer m_server;
    FakeClientFactory m_clients;
    PlainFactory m_widgets;
};

using ClientLoginTest = ClientFixture;

TEST_F(ClientLoginTest, FirstLookupLogsInAndHandsTheClientOutWithoutAReference) {
    const ServerInfo info = serverFor("first.example");
    IClient* client = nullptr;
    EXPECT_EQ(&m_widgets, widgetFactory(info, client));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(42, IClient::getCurrentUserID());
    // Only the list holds it: one addRef gives 2.
    EXPECT_EQ(2, client->addRef());
    EXPECT_EQ(1, client->release());

    // Later lookups find the same logged-in client and pass on a reference.
    IClient* again = nullptr;
    EXPECT_EQ(&m_widgets, widgetFactory(info, again));
    EXPECT_EQ(client, again);
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(3, client->addRef());
    EXPECT_EQ(2, client->release());
    EXPECT_EQ(1, CComponentHelper::release(again));
    EXPECT_EQ(0, m_server.destroyed.load());

    Tovix::Infra::CTime loginTime;
    EXPECT_TRUE(client->getLoginTime(loginTime));
    EXPECT_GT(loginTime.year, 2000);

    // The last reference unlists, logs out and destroys it.
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.logouts.load());
    EXPECT_EQ(1, m_server.destroyed.load());
    IClient* fresh = nullptr;
    EXPECT_EQ(&m_widgets, widgetFactory(info, fresh));
    EXPECT_EQ(2, m_server.created.load());
    CComponentHelper::release(fresh);
    EXPECT_EQ(2, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, FailedFirstLoginGivesNullAndTheNextLookupLogsTheSameClientIn) {
    // Without a user name the never-logged-in client still matches the server record.
    const ServerInfo info = serverFor("failing.example", nullptr);
    m_server.loginSucceeds = false;
    IClient* client = reinterpret_cast<IClient*>(1);
    EXPECT_EQ(nullptr, widgetFactory(info, client));
    EXPECT_EQ(nullptr, client);
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, logLinesContaining("iid=IWidget could not been generated because log failed."));

    // Listed client in state 0: logged in, not created again.
    EXPECT_EQ(nullptr, widgetFactory(info, client));
    EXPECT_EQ(1, logLinesContaining("iid=IWidget could not been got because log failed."));
    EXPECT_EQ(1, m_server.created.load());
    m_server.loginSucceeds = true;
    EXPECT_EQ(&m_widgets, widgetFactory(info, client));
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(3, m_server.logins.load());
    // First use: handed out without a reference, so the list's is the only one.
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, BrokenSessionIsLoggedInAgainAndAFailedReloginIsRetried) {
    const ServerInfo info = serverFor("flaky.example");
    IClient* client = nullptr;
    ASSERT_EQ(&m_widgets, widgetFactory(info, client));
    IClient* const first = client;

    m_server.broken = true;
    EXPECT_EQ(&m_widgets, widgetFactory(info, client));
    EXPECT_EQ(first, client);
    EXPECT_EQ(2, m_server.logins.load());
    CComponentHelper::release(client);

    m_server.broken = true;
    m_server.loginSucceeds = false;
    EXPECT_EQ(nullptr, widgetFactory(info, client));
    EXPECT_EQ(nullptr, client);
    EXPECT_EQ(1, logLinesContaining("iid=IWidget could not been got because re-log failed."));
    EXPECT_EQ(3, m_server.logins.load());

    // State 2 now: the next lookup logs in without asking isBroken.
    m_server.loginSucceeds = true;
    EXPECT_EQ(&m_widgets, widgetFactory(info, client));
    EXPECT_EQ(first, client);
    EXPECT_EQ(4, m_server.logins.load());
    EXPECT_EQ(1, m_server.created.load());
    CComponentHelper::release(client);
    EXPECT_EQ(0, CComponentHelper::release(first));
    EXPECT_EQ(1, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, LookupFailuresSetTheirErrorCodes) {
    IClient* client = nullptr;
    setLastError(0);
    EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory("INoSuchInterface", ClassID("Fake.x"),
                                                             ServerInfo::none, client));
    EXPECT_EQ(0x10030000, getLastError());
    EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory("IWidget", ClassID("Fake.nothing"),
                                                             ServerInfo::none, client));
    EXPECT_EQ(0x10030001, getLastError());
    EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory(nullptr, ClassID("Fake.widget"),
                                                             ServerInfo::none, client));
    EXPECT_EQ(0x10030000, getLastError());

    // A class without a client factory.
    const ServerInfo info = serverFor("nowhere.example");
    EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory("IWidget", ClassID("Orphan.widget"),
                                                             info, client));
    EXPECT_EQ(0x10030002, getLastError());
    EXPECT_EQ(1,
              logLinesContaining(
                  "iid (IWidget) could not been got because clientInstance could not be created."));

    // A client factory that makes nothing.
    m_server.createSucceeds = false;
    EXPECT_EQ(nullptr, widgetFactory(info, client));
    EXPECT_EQ(0x10030003, getLastError());
    EXPECT_EQ(nullptr, client);

    // A client that logged in but whose class has no such interface factory: no reference stays.
    m_server.createSucceeds = true;
    EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory("IWidget", ClassID("Fake.other"), info,
                                                             client));
    EXPECT_EQ(0x10030001, getLastError());
    EXPECT_EQ(1, m_server.created.load());
    IClient* listed = nullptr;
    ASSERT_EQ(&m_widgets, widgetFactory(info, listed));
    EXPECT_EQ(1, m_server.created.load());
    // Its first successful use: handed out without a reference, the list's is the only one.
    EXPECT_EQ(0, CComponentHelper::release(listed));
    EXPECT_EQ(1, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, ClientInterfaceGivesTheWrapAndNeverAClient) {
    IClient* client = reinterpret_cast<IClient*>(1);
    const ServerInfo info = serverFor("wrap.example");
    IFactoryUnknown* factory = CComponentHelper::getComponentFactory(
        IClient::IFactory::iid(), ClassID(m_classId), info, client);
    IClientFactoryWrap* wrapped = dynamic_cast<IClientFactoryWrap*>(factory);
    ASSERT_NE(nullptr, wrapped);
    EXPECT_EQ(&m_clients, wrapped->original());
    EXPECT_STREQ("Fake", wrapped->clsid());
    EXPECT_EQ(nullptr, client);
    EXPECT_EQ(0, m_server.created.load());
    EXPECT_EQ(wrapped, wrap());  // one wrap per factory

    m_clients.unregisterFactory(IClient::IFactory::iid());
    EXPECT_EQ(nullptr, wrap());
    ClassIDList classes(IClient::IFactory::iid());
    bool listed = false;
    for (unsigned int i = 0; i < classes.count(); ++i) {
        listed = listed || classes[static_cast<int>(i)] == "Fake";
    }
    EXPECT_TRUE(listed);
}

TEST_F(ClientLoginTest, OnlyIdentityFieldsSeparateClients) {
    ServerInfo base = serverFor("fields.example");
    base.flags = 0x02;
    IClient* first = nullptr;
    ASSERT_NE(nullptr, widgetFactory(base, first));

    ServerInfo same = base;
    same.label = "another label";
    same.retryCount = 9;
    same.extra = "x";
    same.flags = 0x00;  // only bit 0 counts
    same.reserved[3] = 77;
    IClient* client = nullptr;
    ASSERT_NE(nullptr, widgetFactory(same, client));
    EXPECT_EQ(first, client);
    CComponentHelper::release(client);

    ServerInfo otherServer = base;
    otherServer.serverId = "second";
    ServerInfo useProxy = base;
    useProxy.flags = 0x01;
    ServerInfo otherPort = base;
    otherPort.proxyPort = 1;
    for (const ServerInfo* info : {&otherServer, &useProxy, &otherPort}) {
        IClient* other = nullptr;
        ASSERT_NE(nullptr, widgetFactory(*info, other));
        EXPECT_NE(first, other);
        CComponentHelper::release(other);
    }
    EXPECT_EQ(4, m_server.created.load());
    EXPECT_EQ(3, m_server.destroyed.load());
    CComponentHelper::release(first);
    EXPECT_EQ(4, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, ClassPartMustMatchExactly) {
    PlainFactory longer("Fakeish.widget");
    longer.registerFactory("IWidget");
    FakeServer otherServer;
    FakeClientFactory otherClients("Fakeish", otherServer);
    otherClients.registerFactory(IClient::IFactory::iid());
    const ServerInfo info = serverFor("classes.example");
    IClient* fake = nullptr;
    IClient* fakeish = nullptr;
    ASSERT_NE(nullptr, widgetFactory(info, fake));
    ASSERT_NE(nullptr, CComponentHelper::getComponentFactory("IWidget", ClassID("Fakeish.widget"),
                                                             info, fakeish));
    EXPECT_NE(fake, fakeish);
    EXPECT_EQ(1, otherServer.created.load());
    CComponentHelper::release(fake);
    CComponentHelper::release(fakeish);
    EXPECT_EQ(1, otherServer.destroyed.load());
    otherClients.unregisterFactory(IClient::IFactory::iid());
    longer.unregisterFactory("IWidget");
}

TEST_F(ClientLoginTest, UserIdLookupFindsListedClientsOnly) {
    IClient* client = nullptr;
    setLastError(0);
    EXPECT_EQ(nullptr,
              CComponentHelper::getComponentFactory("IWidget", ClassID(m_widgetId), 42, client));
    EXPECT_EQ(0, getLastError());
    EXPECT_EQ(&m_widgets,
              CComponentHelper::getComponentFactory("IWidget", ClassID(m_widgetId), -1, client));
    EXPECT_EQ(nullptr, client);

    IClient* made = nullptr;
    ASSERT_NE(nullptr, widgetFactory(serverFor("user.example"), made));
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(&m_widgets,
              CComponentHelper::getComponentFactory("IWidget", ClassID(m_widgetId), 42, client));
    EXPECT_EQ(made, client);
    EXPECT_EQ(1, m_server.logins.load());  // no login on this path
    EXPECT_EQ(made, m_clients.instance(42));
    EXPECT_EQ(nullptr, m_clients.instance(7));
    CComponentHelper::release(made);
    CComponentHelper::release(made);
    EXPECT_EQ(0, CComponentHelper::release(made));
    EXPECT_EQ(1, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, CurrentUserBelongsToTheThread) {
    int otherThreadUser = -5;
    std::thread([&] { otherThreadUser = IClient::getCurrentUserID(); }).join();
    EXPECT_EQ(0, otherThreadUser);

    m_server.userId = 77;
    IClient* client = nullptr;
    ASSERT_NE(nullptr, widgetFactory(serverFor("user77.example"), client));
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
    IClientFactoryWrap* factory = wrap();
    ASSERT_NE(nullptr, factory);
    const ServerInfo info = serverFor("kept.example", "");
    IClient* client = factory->create(&info);
    ASSERT_NE(nullptr, client);
    EXPECT_EQ(42, IClient::getCurrentUserID());
    // create finds the listed, unbroken client again and adds a reference.
    IClient* again = factory->create(&info);
    EXPECT_EQ(client, again);
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, CComponentHelper::release(again));

    // A lookup hands it out with a reference of its own, even on first use.
    IClient* looked = nullptr;
    ASSERT_NE(nullptr, widgetFactory(info, looked));
    EXPECT_EQ(client, looked);
    EXPECT_EQ(1, CComponentHelper::release(looked));
    EXPECT_EQ(0, m_server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.logouts.load());
    EXPECT_EQ(1, m_server.destroyed.load());
}

TEST_F(ClientLoginTest, OptionalOperationsReportNotSupported) {
    const ServerInfo info = serverFor("optional.example");
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    ServerChallenge challenge;
    Tovix::Infra::CTime time;
    setLastError(0);
    EXPECT_FALSE(client->checkAuthorityString("x"));
    EXPECT_EQ(0x10030010, getLastError());
    setLastError(0);
    EXPECT_FALSE(client->setCurrentTime(time, 0));
    EXPECT_EQ(0x10030010, getLastError());
    setLastError(0);
    EXPECT_FALSE(client->getChallenge(challenge));
    EXPECT_EQ(0x10030010, getLastError());
    setLastError(0);
    EXPECT_FALSE(client->getCurrentTime(time));
    EXPECT_EQ(0x10030010, getLastError());
    setLastError(0);
    EXPECT_FALSE(client->loginFirst());
    EXPECT_EQ(0x10030010, getLastError());
    setLastError(0);
    EXPECT_FALSE(client->loginAgain(info));
    EXPECT_EQ(0x10030010, getLastError());
    client->release();
}

TEST_F(ClientLoginTest, ServerInfoCopiesAndTheUserNameIsSavedOnce) {
    ServerInfo info = serverFor("copy.example");
    info.label = "label";
    info.flags = 0x81;
    info.retryCount = 3;
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    ServerInfo out = ServerInfo();
    EXPECT_TRUE(client->getServerInfo(out));
    EXPECT_STREQ("copy.example", out.serverAddress);
    EXPECT_EQ(7000, out.serverPort);
    EXPECT_STREQ("", out.userName);  // not saved yet
    EXPECT_STREQ("secret", out.password);
    EXPECT_STREQ("label", out.label);
    EXPECT_STREQ("", out.serverId);
    EXPECT_EQ(0x81, out.flags);
    EXPECT_EQ(3, out.retryCount);
    EXPECT_EQ(1, logLinesContaining("userName of client is a null string!"));

    EXPECT_TRUE(client->saveUserName("bob"));
    EXPECT_TRUE(client->saveUserName("eve"));
    EXPECT_EQ(1, logLinesContaining("username of client has already saved."));
    EXPECT_TRUE(client->getServerInfo(out));
    EXPECT_STREQ("bob", out.userName);

    int data = 0;
    EXPECT_EQ(nullptr, client->getCustomData());
    client->setCustomData(&data);
    EXPECT_EQ(&data, client->getCustomData());
    client->release();
}

TEST_F(ClientLoginTest, ServerInfoTextsTakenBeforeTheUserNameIsSavedStayValid) {
    ServerInfo info = serverFor("texts.example");
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    ServerInfo before = ServerInfo();
    EXPECT_TRUE(client->getServerInfo(before));
    // Longer than any string keeps in place: saving it must not move the text handed out.
    EXPECT_TRUE(client->saveUserName("a-user-name-much-longer-than-thirty-two-characters"));
    EXPECT_STREQ("", before.userName);
    EXPECT_STREQ("secret", before.password);
    ServerInfo after = ServerInfo();
    EXPECT_TRUE(client->getServerInfo(after));
    EXPECT_TRUE(client->saveUserName("another-name-also-much-longer-than-thirty-two"));
    EXPECT_STREQ("a-user-name-much-longer-than-thirty-two-characters", after.userName);
    client->release();
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
    void other(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {}

    std::vector<StatusCall> calls() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_calls;
    }

private:
    std::mutex m_mutex;
    std::vector<StatusCall> m_calls;
};

void plainStatus(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {}

using StatusProcTest = ClientFixture;

TEST_F(StatusProcTest, AttachRefusesEmptyWildcardDuplicateAndOverflow) {
    const ServerInfo info = serverFor("procs.example");
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    StatusRecorder recorders[9];
    EXPECT_FALSE(client->attachStatusProc(IClient::StatusProc()));
    EXPECT_FALSE(client->attachStatusProc(
        IClient::StatusProc::wildcard(&recorders[0], &StatusRecorder::onStatus)));
    EXPECT_TRUE(client->attachStatusProc(&plainStatus));
    EXPECT_FALSE(client->attachStatusProc(&plainStatus));
    for (int i = 0; i < 7; ++i) {
        EXPECT_TRUE(client->attachStatusProc(
            IClient::StatusProc(&recorders[i], &StatusRecorder::onStatus)));
    }
    EXPECT_FALSE(
        client->attachStatusProc(IClient::StatusProc(&recorders[7], &StatusRecorder::onStatus)));
    EXPECT_TRUE(client->detachStatusProc(&plainStatus));
    EXPECT_FALSE(client->detachStatusProc(&plainStatus));
    EXPECT_TRUE(
        client->attachStatusProc(IClient::StatusProc(&recorders[7], &StatusRecorder::onStatus)));
    // A different member function of the same object is another proc.
    EXPECT_FALSE(
        client->attachStatusProc(IClient::StatusProc(&recorders[8], &StatusRecorder::onStatus)));
    client->release();
}

TEST_F(StatusProcTest, AbortCallsEveryProcWithAReferenceThenLogsOut) {
    const ServerInfo info = serverFor("abort.example");
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    int data = 0;
    client->setCustomData(&data);
    StatusRecorder first;
    StatusRecorder second;
    ASSERT_TRUE(client->attachStatusProc(IClient::StatusProc(&first, &StatusRecorder::onStatus)));
    ASSERT_TRUE(client->attachStatusProc(IClient::StatusProc(&second, &StatusRecorder::onStatus)));
    m_server.logoutSucceeds = false;
    EXPECT_FALSE(client->abort(17));
    m_server.logoutSucceeds = true;
    EXPECT_TRUE(client->abort(18));
    EXPECT_EQ(2, m_server.logouts.load());
    for (StatusRecorder* recorder : {&first, &second}) {
        const std::vector<StatusCall> calls = recorder->calls();
        ASSERT_EQ(2u, calls.size());
        EXPECT_EQ(&data, calls[0].data);
        EXPECT_EQ("Fake", calls[0].classId);
        EXPECT_EQ(client, calls[0].client);
        EXPECT_EQ(IClient::statusAborted, calls[0].status);
        EXPECT_EQ(2, static_cast<int>(calls[0].status));
        EXPECT_EQ(17, calls[0].reason);
        EXPECT_EQ(18, calls[1].reason);
    }
    EXPECT_EQ(0, m_server.destroyed.load());
    EXPECT_EQ(0, client->release());
    EXPECT_EQ(1, m_server.destroyed.load());
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
    bool m_entered = false;
    bool m_released = false;
    bool m_finished = false;
};

TEST_F(StatusProcTest, DetachFromAnotherThreadWaitsForTheRunningCall) {
    const ServerInfo info = serverFor("detach.example");
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    BlockingProc blocking;
    const IClient::StatusProc proc(&blocking, &BlockingProc::onStatus);
    ASSERT_TRUE(client->attachStatusProc(proc));

    std::thread aborter([client] { client->abort(1); });
    blocking.waitEntered();
    std::atomic<bool> detached{false};
    bool finishedWhenDetached = false;
    std::thread detacher([&] {
        EXPECT_TRUE(client->detachStatusProc(proc));
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
    EXPECT_FALSE(client->detachStatusProc(proc));
    client->release();
}

class SelfDetachingProc {
public:
    explicit SelfDetachingProc(IClient* client) : m_client(client) {}
    void onStatus(void*, ClassID, TComPtr<IClient>, IClient::Status, int) {
        ++calls;
        detachResult =
            m_client->detachStatusProc(IClient::StatusProc(this, &SelfDetachingProc::onStatus));
    }
    int calls = 0;
    bool detachResult = false;

private:
    IClient* m_client;
};

TEST_F(StatusProcTest, ProcDetachingItselfDoesNotWait) {
    const ServerInfo info = serverFor("self.example");
    IClient* client = wrap()->create(&info);
    ASSERT_NE(nullptr, client);
    SelfDetachingProc proc(client);
    StatusRecorder after;
    ASSERT_TRUE(client->attachStatusProc(IClient::StatusProc(&proc, &SelfDetachingProc::onStatus)));
    ASSERT_TRUE(client->attachStatusProc(IClient::StatusProc(&after, &StatusRecorder::onStatus)));
    client->abort(5);
    EXPECT_EQ(1, proc.calls);
    EXPECT_TRUE(proc.detachResult);
    EXPECT_EQ(1u, after.calls().size());
    client->abort(6);
    EXPECT_EQ(1, proc.calls);
    EXPECT_EQ(2u, after.calls().size());
    // Its slot is free again.
    EXPECT_TRUE(client->attachStatusProc(IClient::StatusProc(&proc, &SelfDetachingProc::onStatus)));
    client->release();
}

// ---- concurrency ----------------------------------------------------------------------------

TEST_F(ClientLoginTest, ConcurrentLookupsAndReleasesKeepOneClient) {
    const ServerInfo info = serverFor("busy.example");
    IClient* client = nullptr;
    ASSERT_NE(nullptr, widgetFactory(info, client));  // first use: no reference
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                IClient* mine = nullptr;
                if (widgetFactory(info, mine) != &m_widgets || mine != client) {
                    ++mismatches;
                }
                CComponentHelper::release(mine);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(1, m_server.created.load());
    EXPECT_EQ(1, m_server.logins.load());
    EXPECT_EQ(0, m_server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
    EXPECT_EQ(1, m_server.destroyed.load());
}

// ---- idle sweep -----------------------------------------------------------------------------

std::atomic<unsigned long long> g_fakeNow{1000};

unsigned long long fakeClock() {
    return g_fakeNow.load();
}

class IdleSweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fakeNow = 1000;
        m_previous = Tovix::Component::Detail::setClientClock(&fakeClock);
    }
    void TearDown() override { Tovix::Component::Detail::setClientClock(m_previous); }

    Tovix::Component::Detail::ClientClock m_previous = nullptr;
};

struct SweepClass {
    SweepClass(const char* classId, const char* widgetId)
        : clients(classId, server), widgets(widgetId), widgetId(widgetId) {
        clients.registerFactory(IClient::IFactory::iid());
        widgets.registerFactory("IWidget");
    }
    ~SweepClass() {
        widgets.unregisterFactory("IWidget");
        clients.unregisterFactory(IClient::IFactory::iid());
    }
    // A client made by a lookup whose login fails: held by the list only.
    void leaveUnloggedClient(const ServerInfo& info) {
        server.loginSucceeds = false;
        IClient* client = nullptr;
        EXPECT_EQ(nullptr, CComponentHelper::getComponentFactory("IWidget", ClassID(widgetId), info,
                                                                 client));
        server.loginSucceeds = true;
        EXPECT_EQ(1, server.created.load());
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

TEST_F(IdleSweepTest, UnusedClientsOnlyTheListHoldsAreSweptAfterTheThreshold) {
    SweepClass older("SweepOld", "SweepOld.widget");
    SweepClass newer("SweepNew", "SweepNew.widget");
    SweepClass kept("SweepKept", "SweepKept.widget");
    SweepClass held("SweepHeld", "SweepHeld.widget");
    const ServerInfo info = serverFor("sweep.example");

    older.leaveUnloggedClient(info);  // last use 1000
    IClient* keptClient = kept.wrap()->create(&info);
    ASSERT_NE(nullptr, keptClient);
    IClient* heldClient = held.wrap()->createAndMake(&info);  // the list's and ours
    ASSERT_NE(nullptr, heldClient);
    g_fakeNow = 1001;
    newer.leaveUnloggedClient(info);  // last use 1001

    // 300001 ms after the older client's last use, exactly 300000 after the newer one's.
    g_fakeNow = 301001;
    ASSERT_TRUE(eventually([&] { return older.server.destroyed.load() == 1; }));
    EXPECT_EQ(1, older.server.logouts.load());
    // The pass that swept the older client saw the same clock for the others.
    EXPECT_EQ(0, newer.server.destroyed.load());

    g_fakeNow = 301002;
    ASSERT_TRUE(eventually([&] { return newer.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, kept.server.destroyed.load());
    EXPECT_EQ(0, held.server.destroyed.load());

    // Once nothing but the list holds it, the never-used client goes too.
    EXPECT_EQ(1, CComponentHelper::release(heldClient));
    ASSERT_TRUE(eventually([&] { return held.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, kept.server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(keptClient));
    EXPECT_EQ(1, kept.server.destroyed.load());
}

TEST_F(IdleSweepTest, LoggedInClientsAreNeverSwept) {
    SweepClass logged("SweepLogged", "SweepLogged.widget");
    SweepClass marker("SweepMarker", "SweepMarker.widget");
    const ServerInfo info = serverFor("sweep2.example");
    IClient* client = nullptr;
    ASSERT_NE(nullptr, CComponentHelper::getComponentFactory(
                           "IWidget", ClassID("SweepLogged.widget"), info, client));
    marker.leaveUnloggedClient(info);
    g_fakeNow = 1000 + 10 * 300000ULL;
    // The marker being swept proves a sweep ran with the clock far ahead.
    ASSERT_TRUE(eventually([&] { return marker.server.destroyed.load() == 1; }));
    EXPECT_EQ(0, logged.server.destroyed.load());
    EXPECT_EQ(0, CComponentHelper::release(client));
}

}  // namespace
