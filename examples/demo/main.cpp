// A first tour of the library: what a new user can do with it, one section at a time.
#include <cstdio>
#include <cstring>
#include <thread>

#include "infra/Infra.h"
#include "infra/Legacy.h"

using namespace Tovix::Infra;

// Sections of areas that are built (see examples/demo-<area>.cmake), each in a file of its own.
void logFileSection();
void filesSection();
void componentsSection();
void timeTextSection();

namespace {

class Greeter {
public:
    explicit Greeter(const char* name) : m_name(name) {}
    int greet(const char* whom) {
        std::printf("  %s greets %s\n", m_name.c_str(), whom);
        return static_cast<int>(m_name.size());
    }

private:
    flex_string m_name;
};

int twice(int value) {
    return 2 * value;
}

void callables() {
    std::printf("Callables\n");
    Greeter greeter("demo");
    TFunction1<int, const char*> member(&greeter, &Greeter::greet);
    TFunction1<int, int> plain(&twice);
    member("the reader");
    std::printf("  plain callable: twice(21) = %d\n", plain(21));

    // A tagged callable records its tag for the thread it runs on.
    TFunction1<int, const char*> tagged(&greeter, &Greeter::greet, 0x1234u);
    tagged("a tagged caller");
    std::printf("  reuse tag after the tagged call: 0x%x\n", getCurrentFunctionReuse());
    std::printf(
        "  member == tagged: %s, tagged == wildcard: %s\n", member == tagged ? "yes" : "no",
        tagged == TFunction1<int, const char*>::wildcard(&greeter, &Greeter::greet) ? "yes" : "no");
}

void strings() {
    std::printf("Strings\n");
    flex_string small("thirty-one characters fit here!");
    std::printf("  \"%s\": size %zu, capacity %zu (inline)\n", small.c_str(), small.size(),
                small.capacity());
    small += '+';
    std::printf("  one more character: size %zu, capacity %zu (heap)\n", small.size(),
                small.capacity());
    flex_string path = flex_string("logs") + "/" + "app.log";
    std::printf("  composed \"%s\", extension at %zu\n", path.c_str(), path.rfind('.'));
}

void errors() {
    std::printf("Errors\n");
    setErrMsg(0x10030001, "example failure");
    setLastError(0x10030001);
    std::printf("  last error 0x%x: \"%s\"\n", static_cast<unsigned>(getLastError()),
                getErrMsg(getLastError()));
    std::thread([] {
        std::printf("  a new thread starts with last error %d\n", getLastError());
    }).join();
}

void locks() {
    std::printf("Locks\n");
    Tovix::Infra::CMutex mutex;  // the global CMutex is the legacy one
    CSemaphore semaphore(0);
    CThreadSpecific slot;
    int counter = 0;
    std::thread worker([&] {
        for (int i = 0; i < 1000; ++i) {
            CMutexGuard guard(mutex);
            ++counter;
        }
        slot.setValue(&counter);
        semaphore.post();
    });
    std::printf("  waiting for the worker: pend() = %d\n", semaphore.pend());
    worker.join();
    void* mine = nullptr;
    slot.getValue(&mine);
    std::printf("  counter %d; this thread's slot is %s\n", counter, mine ? "set" : "empty");
    std::printf("  tryPend() on the empty semaphore = %d\n", semaphore.tryPend());
}

// A sink that counts the lines it sees.
class LineCounter {
public:
    bool count(const char* /*line*/) {
        ++m_lines;
        return true;
    }
    int lines() const { return m_lines; }

private:
    int m_lines = 0;
};

void logging() {
    std::printf("Logging\n");
    LineCounter counter;
    attachPrint(TFunction1<bool, const char*>(&counter, &LineCounter::count));

    setPrintLogLevel(6);  // show every level, each in its colour on a terminal
    logFatal("a fatal line\n");
    logError("an error line\n");
    logWarn("a warning line\n");
    logInfo("an information line\n");
    logTrace("a trace line\n");
    logDebug("a debug line\n");
    logFilter(3, "demo", __FILE__, "logging", __LINE__, "1.0",
              "the full prefix: module, version, "
              "level, file, function, line, thread\n");

    PrintOptions options{};
    options.withDate = true;
    options.withMillisecond = true;
    setPrintOptions(options);
    logLibName(4, "demo", "with date and milliseconds\n");
    options = PrintOptions{};
    options.taggedFormat = true;
    setPrintOptions(options);
    logFilter(4, "demo", __FILE__, "logging", __LINE__, "1.0", "in the tagged format\n");
    setPrintOptions(PrintOptions{});

    // The command language: switch one module off, then everything back on.
    char option[] = "-logmodule", module[] = "noisy", off[] = "off";
    char* command[] = {option, module, off};
    setLogFilter(3, command);
    logFilter(3, "noisy", __FILE__, "logging", __LINE__, "1.0", "never shown\n");
    logFilter(3, "quiet", __FILE__, "logging", __LINE__, "1.0", "module quiet is still shown\n");

    unsigned char bytes[20];
    for (unsigned i = 0; i < sizeof bytes; ++i) {
        bytes[i] = static_cast<unsigned char>('A' + i);
    }
    dumpHex(bytes, sizeof bytes);
    setPrintLogLevel(3);
    detachPrint(TFunction1<bool, const char*>(&counter, &LineCounter::count));
    std::printf("  the sink saw %d lines\n", counter.lines());
}

// Counts the bytes given back by packets that wrap a caller's buffer.
void releaseBuffer(void* buffer, unsigned int size) {
    std::printf("  the last copy is gone: buffer %p of %u bytes given back\n", buffer, size);
}

void packets() {
    std::printf("Packets\n");
    using Tovix::Memory::CPacket;
    // Under the default (system) policy data, extra area and record share one heap block.
    CPacket packet(64, 16);
    packet.resize(0);
    char text[] = "header:payload-bytes";
    packet.putBuffer(text, sizeof text - 1);
    std::printf("  packet: size %u, capacity %u, extra %u bytes\n", packet.size(),
                packet.capacity(), packet.getExtraSize());
    // A window shares the parent's bytes and keeps it alive.
    CPacket payload(packet, 7, packet.size() - 7, 0);
    std::printf("  window at 7: size %u, \"%.*s\"\n", payload.size(),
                static_cast<int>(payload.size()), reinterpret_cast<char*>(payload.getBuffer()));
    CPacket bad(packet, packet.size(), 1, 0);
    std::printf("  window past the end is %s\n", bad.valid() ? "valid" : "invalid");

    static unsigned char storage[32];
    {
        CPacket wrapped(storage, sizeof storage, CPacket::Deleter(&releaseBuffer));
        CPacket copy = wrapped;
        CPacket half(copy, 0, 16, 0);
        std::printf("  wrapped buffer shared by three handles, window size %u\n", half.size());
    }
    ::CPacket legacy(100ul);
    std::printf("  legacy packet: length %lu, header %lu bytes\n", legacy.GetLength(),
                legacy.GetHeaderSize());
}

// Runs in a child process started by poolChild(): the manager's configuration must come before
// its first use, which this process has long passed.
int configuredPoolRun() {
    using Tovix::Memory::CPacket;
    using Tovix::Memory::CPacketManager;
    CPacketManager::PoolParameter geometry{64 * 1024, 1024, 4};
    CPacketManager::config(CPacketManager::policyPool, nullptr, &geometry);
    CPacket small(1000, 0);
    CPacket large(5000, 0);
    setPrintLogLevel(4);
    PrintOptions options{};
    options.noTime = options.noModule = options.noVersion = options.noThread = true;
    setPrintOptions(options);
    CPacketManager* manager = CPacketManager::instance();
    std::printf("  child: a 64 KiB pool of 1 KiB chunks with two packets, %u bytes free\n",
                manager->getFreeSize());
    manager->dumpNodes();
    return 0;
}

void poolChild(const char* self) {
    std::printf("Packet pool (in a child run)\n");
    std::fflush(stdout);
    char command[1024];
    std::snprintf(command, sizeof command, "\"%s\" --configured-pool", self);
    if (systemCall(command) != 0) {
        std::printf("  could not start the child run\n");
    }
}

void printHex(const char* label, const unsigned char* bytes, unsigned int length) {
    std::printf("  %s", label);
    for (unsigned int i = 0; i < length; ++i) {
        std::printf("%02x", bytes[i]);
    }
    std::printf("\n");
}

void codecs() {
    using namespace Tovix::Utils;
    std::printf("Codecs, hashes and cipher\n");
    const char sample[] = "The quick brown fox jumps over the lazy dog";
    const auto* bytes = reinterpret_cast<const unsigned char*>(sample);
    const unsigned int length = sizeof sample - 1;

    char encoded[128];
    base64Encode(encoded, sample, static_cast<int>(length));
    char decoded[128];
    const int decodedLength = base64Decode(decoded, encoded);
    std::printf("  base64: %s (decodes back to %d bytes)\n", encoded, decodedLength);
    std::printf("  crc32: %08x  crc16: %04x\n", crc32(bytes, length), crc16(0, bytes, length));

    CMd5 md5;
    md5.update(bytes, length);
    char md5Text[33] = {};
    md5.hex(md5Text);
    CSha1 sha1;
    sha1.update(bytes, length);
    char sha1Text[41] = {};
    sha1.hex(sha1Text, sizeof sha1Text);
    std::printf("  md5: %s\n  sha1: %s\n", md5Text, sha1Text);

    const unsigned char key[24] = {'d', 'e', 'm', 'o', ' ', 'k', 'e', 'y', 's', ' ', 'f', 'o',
                                   'r', ' ', 't', 'h', 'r', 'e', 'e', ' ', 'D', 'E', 'S', '!'};
    const unsigned char iv[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CTripleDes cipher(key, sizeof key, CTripleDes::blockType8, iv);
    unsigned char block[48] = {};
    std::memcpy(block, sample, length);
    unsigned char secret[48];
    cipher.encrypt(secret, block, sizeof block);
    printHex("3DES-CBC: ", secret, 16);
    unsigned char back[48];
    cipher.decrypt(back, secret, sizeof back);
    std::printf("  decrypted: \"%s\"\n", reinterpret_cast<const char*>(back));
}

// A heartbeat: a periodic timer whose callback logs on a pooled worker.
class Heartbeat {
public:
    void beat(unsigned long period) {
        logInfo("heartbeat (every %lu ms)\n", period);
        m_beats.post();
    }
    void waitFor(int beats) {
        for (int i = 0; i < beats; ++i) {
            m_beats.pend();
        }
    }

private:
    CSemaphore m_beats{0};
};

void timers() {
    std::printf("Timers\n");
    setPrintLogLevel(4);  // the tables are information lines
    CThreadManager::instance()->registerMainThread();
    Heartbeat heartbeat;
    CTimer timer("heartbeat");
    timer.start(TFunction1<void, unsigned long>(&heartbeat, &Heartbeat::beat), 0, 100, 100, 500);
    timer.enableStat(true);
    heartbeat.waitFor(3);
    CThreadManager::instance()->dumpThreads();
    CTimerManager::instance()->dumpTimers();
    timer.stopAndWait();
    setPrintLogLevel(3);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && std::strcmp(argv[1], "--configured-pool") == 0) {
        return configuredPoolRun();
    }
    callables();
    strings();
    errors();
    locks();
    logging();
    packets();
    poolChild(argv[0]);
    codecs();
    timers();
#ifdef INFRA_DEMO_TIMETEXT
    timeTextSection();
#endif
#ifdef INFRA_DEMO_FILES
    filesSection();
#endif
#ifdef INFRA_DEMO_LOGFILE
    logFileSection();
#endif
#ifdef INFRA_DEMO_COMPONENTS
    componentsSection();
#endif
    return 0;
}
