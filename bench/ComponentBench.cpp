// Component costs: an addRef/release pair, a shared-instance request that finds its record, a
// plain object creation, and an interface-factory lookup through a logged-in client.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "infra/Client.h"
#include "infra/ComponentHelper.h"

namespace {

using namespace Tovix::Component;
using Tovix::Component::Detail::CComponentHelper;

class Thing : public IUnknown {
public:
    void destroy() override { delete this; }
    void* queryInterface(const char*) override { return nullptr; }
};

IUnknown* makeThing(const ServerInfo*) {
    return new Thing;
}

void BM_AddRefRelease(benchmark::State& state) {
    Thing* thing = new Thing;
    for (auto _ : state) {
        thing->addRef();
        benchmark::DoNotOptimize(thing->release());
    }
    thing->release();
}
BENCHMARK(BM_AddRefRelease)->Threads(1)->Threads(2);

void BM_CreateComponentObject(benchmark::State& state) {
    registerComponent("BenchThing", &makeThing);
    for (auto _ : state) {
        IUnknown* object = createComponentObject("BenchThing", nullptr);
        object->release();
    }
}
BENCHMARK(BM_CreateComponentObject);

// The instance sought is behind `state.range(0)` other instances of the same component.
void BM_GetComponentInstanceHit(benchmark::State& state) {
    registerComponent("BenchShared", &makeThing);
    std::vector<std::string> addresses;
    std::vector<IUnknown*> others;
    for (int i = 0; i < state.range(0); ++i) {
        addresses.push_back("host" + std::to_string(i));
    }
    for (const std::string& address : addresses) {
        ServerInfo info = ServerInfo();
        info.serverAddress = address.c_str();
        others.push_back(getComponentInstance("BenchShared", &info));
    }
    IUnknown* held = getComponentInstance("BenchShared", nullptr);
    for (auto _ : state) {
        IUnknown* object = getComponentInstance("BenchShared", nullptr);
        object->release();
    }
    held->release();
    for (IUnknown* other : others) {
        other->release();
    }
}
BENCHMARK(BM_GetComponentInstanceHit)->Arg(0)->Arg(16)->Arg(256);

class BenchClient : public IClient {
public:
    bool isBroken() override { return false; }
    bool login() override {
        saveUserName("bench");
        return true;
    }
    bool logout() override { return true; }
    bool getUserID(int& id) override {
        id = 1;
        return true;
    }
    void destroy() override { delete this; }
    void* queryInterface(const char*) override { return nullptr; }
};

class BenchClientFactory : public IClient::IFactory {
public:
    const char* clsid() override { return "Bench"; }
    IClient* create(const ServerInfo*) override { return new BenchClient; }
};

class BenchServiceFactory : public IFactoryUnknown {
public:
    const char* clsid() override { return "Bench.service"; }
};

void BM_GetComponentFactoryThroughClient(benchmark::State& state) {
    BenchClientFactory clients;
    BenchServiceFactory service;
    clients.registerFactory(IClient::IFactory::iid());
    service.registerFactory("IBenchService");
    ServerInfo info = ServerInfo();
    info.serverAddress = "bench.example";
    info.userName = "bench";
    IClient* first = nullptr;
    CComponentHelper::getComponentFactory("IBenchService", ClassID("Bench.service"), info, first);
    for (auto _ : state) {
        IClient* client = nullptr;
        benchmark::DoNotOptimize(CComponentHelper::getComponentFactory(
            "IBenchService", ClassID("Bench.service"), info, client));
        CComponentHelper::release(client);
    }
    CComponentHelper::release(first);
    service.unregisterFactory("IBenchService");
    clients.unregisterFactory(IClient::IFactory::iid());
}
BENCHMARK(BM_GetComponentFactoryThroughClient);

}  // namespace
