// Tests of the callable wrappers TFunction1 ... TFunction5: layout, construction, equality,
// calling every kind, the per-thread reuse tag and value semantics.
#include "infra/Function.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "infra/Error.h"

namespace {

using Tovix::Infra::getCurrentFunctionReuse;
using Tovix::Infra::TFunction1;
using Tovix::Infra::TFunction2;
using Tovix::Infra::TFunction3;
using Tovix::Infra::TFunction4;
using Tovix::Infra::TFunction5;
using Tovix::Infra::TFunctionKind;

// ---------------------------------------------------------------------------------------------
// Targets

int g_lastPlain = 0;

int plainTwice(int x) {
    g_lastPlain = x;
    return 2 * x;
}
int plainNegate(int x) {
    g_lastPlain = x;
    return -x;
}

struct Counter {
    int value = 0;
    int calls = 0;

    int add(int x) {
        ++calls;
        value += x;
        return value;
    }
    int sub(int x) {
        ++calls;
        value -= x;
        return value;
    }
    int peek(int x) const { return value * 1000 + x; }

    // Overloaded on constness: a const object must pick the const one.
    int which(int) { return 1; }
    int which(int) const { return 2; }
};

// Polymorphic hierarchy: member pointers taken from the base call the override.
struct Shape {
    virtual ~Shape() = default;
    virtual int sides(int scale) const { return 0 * scale; }
    virtual int grow(int by) {
        size += by;
        return size;
    }
    int size = 0;
};
struct Square : Shape {
    int sides(int scale) const override { return 4 * scale; }
    int grow(int by) override {
        size += 10 * by;
        return size;
    }
};

// A non-polymorphic base under a polymorphic class: the base sub-object does not start at the
// object's address, so calling a base member through the derived pointer needs an adjustment.
struct PlainBase {
    int baseValue = 7;
    int readBase(int add) const { return baseValue + add; }
};
struct PolyDerived : PlainBase {
    virtual ~PolyDerived() = default;
    virtual int self(int x) { return x; }
};

// Mirror of the documented field order, for checks on the raw representation.
using GenericMember = void (Tovix::Infra::Detail::GenericObject::*)();
struct RawFunction {
    alignas(GenericMember) unsigned char code[sizeof(GenericMember)];
    void* object;
    std::uint32_t kind;
    const char* typeName;
};
using IntFn = TFunction1<int, int>;
static_assert(sizeof(RawFunction) == sizeof(IntFn), "mirror matches");

RawFunction rawOf(const IntFn& f) {
    RawFunction raw;
    std::memcpy(&raw, &f, sizeof(raw));
    return raw;
}
IntFn fromRaw(const RawFunction& raw) {
    IntFn f;
    std::memcpy(static_cast<void*>(&f), &raw, sizeof(raw));
    return f;
}
bool sameFields(const IntFn& a, const IntFn& b) {
    RawFunction ra = rawOf(a);
    RawFunction rb = rawOf(b);
    return std::memcmp(ra.code, rb.code, sizeof(ra.code)) == 0 && ra.object == rb.object &&
           ra.kind == rb.kind && ra.typeName == rb.typeName;
}

// Checks a == b and a != b against `expected`, in both directions.
void expectEqual(const IntFn& a, const IntFn& b, bool expected) {
    EXPECT_EQ(a == b, expected);
    EXPECT_EQ(b == a, expected);
    EXPECT_EQ(a != b, !expected);
    EXPECT_EQ(b != a, !expected);
}

// ---------------------------------------------------------------------------------------------
// Layout

TEST(FunctionLayout, IsFixedSizeTriviallyCopyableStandardLayout) {
    EXPECT_EQ(sizeof(IntFn), sizeof(GenericMember) + 3 * sizeof(void*));
    EXPECT_EQ(sizeof(TFunction5<void, char, short, int, long, double>), sizeof(IntFn));
    EXPECT_TRUE(std::is_trivially_copyable<IntFn>::value);
    EXPECT_TRUE((std::is_trivially_copyable<TFunction2<void, void*, unsigned int>>::value));
    EXPECT_TRUE(std::is_standard_layout<IntFn>::value);
    EXPECT_TRUE(std::is_trivially_destructible<IntFn>::value);
}

TEST(FunctionLayout, FieldsAreCodeObjectKindTypeNameInOrder) {
    RawFunction raw = rawOf(IntFn());
    RawFunction zero{};
    EXPECT_EQ(std::memcmp(raw.code, zero.code, sizeof(raw.code)), 0);
    EXPECT_EQ(raw.object, nullptr);
    EXPECT_EQ(raw.kind, 0u);
    EXPECT_EQ(raw.typeName, nullptr);

    // Plain function: its address in the first word, the rest of the code field zero.
    raw = rawOf(IntFn(&plainTwice));
    int (*expectedFn)(int) = &plainTwice;
    EXPECT_EQ(std::memcmp(raw.code, &expectedFn, sizeof(expectedFn)), 0);
    for (std::size_t i = sizeof(expectedFn); i < sizeof(raw.code); ++i) {
        EXPECT_EQ(raw.code[i], 0) << "byte " << i;
    }
    EXPECT_EQ(raw.kind, TFunctionKind::plain);
    EXPECT_EQ(raw.typeName, nullptr);

    // Member function: the member pointer, the object, kind 1, typeid(O*).name().
    Counter counter;
    raw = rawOf(IntFn(&counter, &Counter::add));
    int (Counter::*expectedMember)(int) = &Counter::add;
    static_assert(sizeof(expectedMember) == sizeof(raw.code), "single-inheritance member pointer");
    EXPECT_EQ(std::memcmp(raw.code, &expectedMember, sizeof(expectedMember)), 0);
    EXPECT_EQ(raw.object, &counter);
    EXPECT_EQ(raw.kind, TFunctionKind::member);
    EXPECT_EQ(raw.typeName, typeid(Counter*).name());
}

// ---------------------------------------------------------------------------------------------
// Construction

TEST(FunctionConstruct, EmptyForms) {
    IntFn byDefault;
    EXPECT_TRUE(byDefault.empty());
    EXPECT_EQ(byDefault.kind(), TFunctionKind::empty);
    EXPECT_EQ(byDefault.typeName(), nullptr);

    int (*nullFn)(int) = nullptr;
    IntFn fromNull(nullFn);
    EXPECT_TRUE(fromNull.empty());
    EXPECT_TRUE(sameFields(fromNull, byDefault));
    EXPECT_TRUE(fromNull == byDefault);
    EXPECT_TRUE(IntFn(nullptr).empty());

    // Nothing sound to call: a null object or a null member pointer gives an empty value too.
    Counter counter;
    int (Counter::*nullMember)(int) = nullptr;
    EXPECT_TRUE(sameFields(IntFn(static_cast<Counter*>(nullptr), &Counter::add), byDefault));
    EXPECT_TRUE(sameFields(IntFn(&counter, nullMember), byDefault));
    EXPECT_TRUE(IntFn(&counter, nullMember, 42).empty());
}

TEST(FunctionConstruct, KindsAndTypeNames) {
    Counter counter;
    const Counter constCounter;

    IntFn plain(&plainTwice);
    EXPECT_FALSE(plain.empty());
    EXPECT_EQ(plain.kind(), TFunctionKind::plain);
    EXPECT_EQ(plain.typeName(), nullptr);

    IntFn member(&counter, &Counter::add);
    EXPECT_FALSE(member.empty());
    EXPECT_EQ(member.kind(), TFunctionKind::member);
    EXPECT_STREQ(member.typeName(), typeid(Counter*).name());

    IntFn constMember(&constCounter, &Counter::peek);
    EXPECT_EQ(constMember.kind(), TFunctionKind::member);
    EXPECT_STREQ(constMember.typeName(), typeid(const Counter*).name());

    // The type name is that of the object pointer given, not of the member's class.
    Square square;
    IntFn viaDerived(&square, &Shape::grow);
    EXPECT_STREQ(viaDerived.typeName(), typeid(Square*).name());
}

TEST(FunctionConstruct, TagsBelowSixteenGiveThePlainMemberForm) {
    Counter counter;
    IntFn untagged(&counter, &Counter::add);
    for (unsigned int tag : {0u, 1u, 2u, 3u, 15u}) {
        IntFn f(&counter, &Counter::add, tag);
        EXPECT_EQ(f.kind(), TFunctionKind::member) << tag;
        EXPECT_TRUE(sameFields(f, untagged)) << tag;
        EXPECT_TRUE(sameFields(IntFn::tagged(&counter, &Counter::add, tag), untagged)) << tag;
    }
}

TEST(FunctionConstruct, TaggedAndWildcardKinds) {
    Counter counter;
    for (unsigned int tag : {16u, 17u, 1000u, 0xFFFFFFFEu}) {
        IntFn f(&counter, &Counter::add, tag);
        EXPECT_EQ(f.kind(), tag);
        EXPECT_STREQ(f.typeName(), typeid(Counter*).name());
        EXPECT_TRUE(sameFields(IntFn::tagged(&counter, &Counter::add, tag), f));
    }
    IntFn wildcard = IntFn::wildcard(&counter, &Counter::add);
    EXPECT_EQ(wildcard.kind(), TFunctionKind::wildcard);
    EXPECT_TRUE(sameFields(IntFn(&counter, &Counter::add, 0xFFFFFFFFu), wildcard));

    const Counter constCounter;
    EXPECT_EQ(IntFn::tagged(&constCounter, &Counter::peek, 99).kind(), 99u);
    EXPECT_EQ(IntFn::wildcard(&constCounter, &Counter::peek).kind(), TFunctionKind::wildcard);
}

// What must not compile: a non-const member on a const object, a target of another signature.
static_assert(!std::is_constructible<IntFn, const Counter*, int (Counter::*)(int)>::value,
              "non-const member on a const object");
static_assert(!std::is_constructible<IntFn, const Counter*, int (Counter::*)(int), unsigned>::value,
              "non-const member on a const object, tagged");
static_assert(std::is_constructible<IntFn, const Counter*, int (Counter::*)(int) const>::value,
              "const member on a const object");
static_assert(!std::is_constructible<IntFn, long (*)(long)>::value, "other signature");
static_assert(!std::is_constructible<IntFn, Counter*, int (Counter::*)(long)>::value,
              "other member signature");
static_assert(!std::is_convertible<TFunction1<int, long>, IntFn>::value, "other signature");
static_assert(std::is_convertible<int (*)(int), IntFn>::value, "plain functions convert");

TEST(FunctionConstruct, DeductionAndCapturelessLambdas) {
    TFunction1 deduced(&plainTwice);
    static_assert(std::is_same<decltype(deduced), TFunction1<int, int>>::value, "deduced");
    EXPECT_EQ(deduced(4), 8);

    // A captureless lambda converts where a callable parameter is expected.
    auto takes = [](TFunction2<int, int, int> f) { return f(6, 7); };
    EXPECT_EQ(takes([](int a, int b) { return a * b; }), 42);

    auto lambda = [](int x) { return x + 1; };
    IntFn first(lambda);
    IntFn second = lambda;
    EXPECT_EQ(first.kind(), TFunctionKind::plain);
    EXPECT_EQ(first(1), 2);
    EXPECT_TRUE(first == second);  // the same converted function
}

// ---------------------------------------------------------------------------------------------
// Equality

TEST(FunctionEquality, EmptyPlainAndMemberForms) {
    Counter a;
    Counter b;
    IntFn empty;
    IntFn plain(&plainTwice);
    IntFn member(&a, &Counter::add);

    expectEqual(empty, IntFn(), true);
    expectEqual(empty, plain, false);
    expectEqual(empty, member, false);

    expectEqual(plain, IntFn(&plainTwice), true);  // the same function wrapped twice
    expectEqual(plain, IntFn(&plainNegate), false);
    expectEqual(plain, member, false);  // a plain function never equals a member form

    expectEqual(member, IntFn(&a, &Counter::add), true);
    expectEqual(member, IntFn(&b, &Counter::add), false);  // other object
    expectEqual(member, IntFn(&a, &Counter::sub), false);  // other member function
    expectEqual(member, IntFn(&a, &Counter::peek), false);
}

TEST(FunctionEquality, TaggedForms) {
    Counter a;
    Counter b;
    IntFn member(&a, &Counter::add);
    IntFn tagged16(&a, &Counter::add, 16);

    expectEqual(tagged16, IntFn(&a, &Counter::add, 16), true);
    expectEqual(tagged16, IntFn(&a, &Counter::add, 17), false);  // kinds differ
    expectEqual(tagged16, IntFn(&b, &Counter::add, 16), false);
    expectEqual(tagged16, IntFn(&a, &Counter::sub, 16), false);
    expectEqual(tagged16, member, false);  // tagged never equals the kind-1 form
    expectEqual(tagged16, IntFn(&plainTwice), false);
    expectEqual(tagged16, IntFn(), false);
    expectEqual(IntFn(&a, &Counter::add, 0xFFFFFFFEu), IntFn(&a, &Counter::add, 0xFFFFFFFEu), true);
}

TEST(FunctionEquality, WildcardMatchesTaggedFormsOfTheSameTarget) {
    Counter a;
    Counter b;
    IntFn wildcard = IntFn::wildcard(&a, &Counter::add);

    for (unsigned int tag : {16u, 12345u, 0xFFFFFFFEu}) {
        expectEqual(wildcard, IntFn(&a, &Counter::add, tag), true);
        expectEqual(wildcard, IntFn(&b, &Counter::add, tag), false);
        expectEqual(wildcard, IntFn(&a, &Counter::sub, tag), false);
    }
    expectEqual(wildcard, IntFn::wildcard(&a, &Counter::add), true);
    expectEqual(wildcard, IntFn::wildcard(&b, &Counter::add), false);
    expectEqual(wildcard, IntFn(&a, &Counter::add), false);  // not the kind-1 form
    expectEqual(wildcard, IntFn(&plainTwice), false);
    expectEqual(wildcard, IntFn(), false);
}

TEST(FunctionEquality, IgnoresTypeNameAndPlainObjectWord) {
    // Same object address and member pointer, different object pointer types.
    Square square;
    Shape* asBase = &square;
    IntFn viaDerived(&square, &Shape::grow);
    IntFn viaBase(asBase, &Shape::grow);
    ASSERT_STRNE(viaDerived.typeName(), viaBase.typeName());
    expectEqual(viaDerived, viaBase, true);

    RawFunction raw = rawOf(IntFn(&plainTwice));
    raw.typeName = "other";
    raw.object = &square;
    expectEqual(fromRaw(raw), IntFn(&plainTwice), true);

    Counter counter;
    raw = rawOf(IntFn(&counter, &Counter::add, 20));
    raw.typeName = nullptr;
    expectEqual(fromRaw(raw), IntFn(&counter, &Counter::add, 20), true);
}

TEST(FunctionEquality, UnusedKindsBelowSixteenCompareByKindOnly) {
    // Kinds 3 ... 15 are never built here but may arrive from other code sharing the layout.
    Counter a;
    Counter b;
    RawFunction three = rawOf(IntFn(&a, &Counter::add));
    three.kind = 3;
    RawFunction otherThree = rawOf(IntFn(&b, &Counter::sub));
    otherThree.kind = 3;
    RawFunction fifteen = three;
    fifteen.kind = 15;

    expectEqual(fromRaw(three), fromRaw(otherThree), true);
    expectEqual(fromRaw(three), fromRaw(fifteen), false);
    expectEqual(fromRaw(three), IntFn(&a, &Counter::add), false);
    expectEqual(fromRaw(fifteen), IntFn(&a, &Counter::add, 16), false);
    expectEqual(fromRaw(fifteen), IntFn::wildcard(&a, &Counter::add), false);
}

// ---------------------------------------------------------------------------------------------
// Calling

TEST(FunctionCall, PlainAndMemberFunctions) {
    IntFn plain(&plainTwice);
    EXPECT_EQ(plain(21), 42);
    EXPECT_EQ(g_lastPlain, 21);

    Counter counter;
    IntFn add(&counter, &Counter::add);
    EXPECT_EQ(add(5), 5);
    EXPECT_EQ(add(3), 8);
    EXPECT_EQ(counter.calls, 2);

    // Const member functions, on const and non-const objects.
    const Counter& constView = counter;
    EXPECT_EQ(IntFn(&constView, &Counter::peek)(1), 8001);
    EXPECT_EQ(IntFn(&counter, &Counter::peek)(2), 8002);

    // Overloads on constness follow the object's constness.
    EXPECT_EQ(IntFn(&constView, &Counter::which)(0), 2);
}

TEST(FunctionCall, VirtualMembersThroughABasePointer) {
    Square square;
    Shape* shape = &square;
    const Shape* constShape = &square;

    IntFn sides(constShape, &Shape::sides);
    EXPECT_EQ(sides(2), 8);  // the override runs

    IntFn grow(shape, &Shape::grow);
    EXPECT_EQ(grow(1), 10);
    EXPECT_EQ(IntFn(&square, &Shape::grow)(1), 20);  // base member pointer, derived object

    Shape plainShape;
    EXPECT_EQ(IntFn(&plainShape, &Shape::grow)(1), 1);
    EXPECT_EQ(IntFn(&plainShape, &Shape::sides)(5), 0);
}

TEST(FunctionCall, BaseMemberAtAnOffsetWithinTheObject) {
    PolyDerived derived;
    derived.baseValue = 100;
    IntFn read(&derived, &PlainBase::readBase);
    EXPECT_EQ(read(5), 105);
    IntFn self(&derived, &PolyDerived::self);
    EXPECT_EQ(self(9), 9);
}

TEST(FunctionCall, TaggedWildcardAndUnusedKindsCallTheMember) {
    Counter counter;
    EXPECT_EQ(IntFn(&counter, &Counter::add, 16)(1), 1);
    EXPECT_EQ(IntFn::wildcard(&counter, &Counter::add)(2), 3);
    RawFunction raw = rawOf(IntFn(&counter, &Counter::add));
    raw.kind = 7;
    EXPECT_EQ(fromRaw(raw)(4), 7);
    EXPECT_EQ(counter.calls, 3);
}

struct Recorder {
    std::string log;
    void one(int a) { log = std::to_string(a); }
    std::string two(int a, const std::string& b) const { return std::to_string(a) + b; }
    long three(long a, long b, long c) { return a * 100 + b * 10 + c; }
    double four(int a, double b, char c, const char* d) {
        return a + b + (c == 'x' ? 1000.0 : 0.0) + (d[0] == 'y' ? 10000.0 : 0.0);
    }
    void five(int a, int b, int c, int d, int e) {
        log = std::to_string(a) + std::to_string(b) + std::to_string(c) + std::to_string(d) +
              std::to_string(e);
    }
};

long threeDigits(long a, long b, long c) {
    return a * 100 + b * 10 + c;
}
int fiveDigits(int a, int b, int c, int d, int e) {
    return a * 10000 + b * 1000 + c * 100 + d * 10 + e;
}

TEST(FunctionCall, EveryArityPassesArgumentsInOrder) {
    Recorder r;
    TFunction1<void, int> one(&r, &Recorder::one);
    one(7);
    EXPECT_EQ(r.log, "7");

    TFunction2<std::string, int, const std::string&> two(&r, &Recorder::two);
    EXPECT_EQ(two(1, "x"), "1x");

    TFunction3<long, long, long, long> three(&r, &Recorder::three);
    EXPECT_EQ(three(1, 2, 3), 123);
    EXPECT_EQ((TFunction3<long, long, long, long>(&threeDigits)(4, 5, 6)), 456);

    TFunction4<double, int, double, char, const char*> four(&r, &Recorder::four);
    EXPECT_EQ(four(1, 0.5, 'x', "y"), 11001.5);

    TFunction5<void, int, int, int, int, int> five(&r, &Recorder::five);
    five(1, 2, 3, 4, 5);
    EXPECT_EQ(r.log, "12345");
    TFunction5 fivePlain(&fiveDigits);
    EXPECT_EQ(fivePlain(5, 4, 3, 2, 1), 54321);
}

// Counts copies and moves of itself.
struct Tracked {
    static int copies;
    static int moves;
    int value;
    explicit Tracked(int v) : value(v) {}
    Tracked(const Tracked& other) : value(other.value) { ++copies; }
    Tracked(Tracked&& other) noexcept : value(other.value) { ++moves; }
    Tracked& operator=(const Tracked&) = default;
    Tracked& operator=(Tracked&&) = default;
};
int Tracked::copies = 0;
int Tracked::moves = 0;

struct Holder {
    int slot = 0;
    std::string text = "held";
    Tracked kept{0};

    int& slotRef(int) { return slot; }
    const std::string& textRef(int) const { return text; }
    const Tracked* address(const Tracked& t) { return &t; }
    int byValue(Tracked t) {
        kept = t;
        return t.value;
    }
    std::unique_ptr<int> make(int v) { return std::make_unique<int>(v); }
    int take(std::unique_ptr<int> p) { return *p; }
    int takeRef(std::unique_ptr<int>&& p) {
        std::unique_ptr<int> owned = std::move(p);
        return *owned;
    }
};

const Tracked* plainAddress(const Tracked& t) {
    return &t;
}

TEST(FunctionCall, ResultsAndArgumentsPassThroughUnchanged) {
    Holder h;
    TFunction1<int&, int> slot(&h, &Holder::slotRef);
    slot(0) = 42;
    EXPECT_EQ(h.slot, 42);
    EXPECT_EQ(&slot(0), &h.slot);

    TFunction1<const std::string&, int> text(&h, &Holder::textRef);
    EXPECT_EQ(&text(0), &h.text);

    // Reference arguments arrive as the same object, with no copy.
    Tracked t(5);
    Tracked::copies = Tracked::moves = 0;
    TFunction1<const Tracked*, const Tracked&> address(&h, &Holder::address);
    EXPECT_EQ(address(t), &t);
    EXPECT_EQ((TFunction1<const Tracked*, const Tracked&>(&plainAddress)(t)), &t);
    EXPECT_EQ(Tracked::copies, 0);
    EXPECT_EQ(Tracked::moves, 0);

    // A by-value argument is copied once into the call and then moved on, never copied twice.
    TFunction1<int, Tracked> byValue(&h, &Holder::byValue);
    Tracked::copies = Tracked::moves = 0;
    EXPECT_EQ(byValue(t), 5);
    EXPECT_EQ(Tracked::copies, 1);
    EXPECT_EQ(Tracked::moves, 1);

    // Move-only results and arguments.
    TFunction1<std::unique_ptr<int>, int> make(&h, &Holder::make);
    std::unique_ptr<int> made = make(9);
    ASSERT_TRUE(made);
    EXPECT_EQ(*made, 9);
    TFunction1<int, std::unique_ptr<int>> take(&h, &Holder::take);
    EXPECT_EQ(take(std::make_unique<int>(3)), 3);
    TFunction1<int, std::unique_ptr<int>&&> takeRef(&h, &Holder::takeRef);
    std::unique_ptr<int> given = std::make_unique<int>(4);
    EXPECT_EQ(takeRef(std::move(given)), 4);
    EXPECT_FALSE(given);  // moved from inside the callee, so it was the same object
}

// ---------------------------------------------------------------------------------------------
// The reuse tag

struct ReuseProbe {
    unsigned int seenInside = 0;
    int record(int x) {
        seenInside = getCurrentFunctionReuse();
        return x;
    }
};

// Runs `body` on a new thread and waits for it.
template <class Body>
void onNewThread(Body body) {
    std::thread worker(body);
    worker.join();
}

TEST(FunctionReuse, TaggedCallStoresTheTagBeforeCalling) {
    onNewThread([] {
        EXPECT_EQ(getCurrentFunctionReuse(), 0u);
        ReuseProbe probe;
        IntFn tagged(&probe, &ReuseProbe::record, 77);
        EXPECT_EQ(tagged(1), 1);
        EXPECT_EQ(probe.seenInside, 77u);  // already stored when the callee runs
        EXPECT_EQ(getCurrentFunctionReuse(), 77u);

        EXPECT_EQ(IntFn(&probe, &ReuseProbe::record, 0xFFFFFFFEu)(2), 2);
        EXPECT_EQ(getCurrentFunctionReuse(), 0xFFFFFFFEu);
        EXPECT_EQ(IntFn(&probe, &ReuseProbe::record, 16)(3), 3);
        EXPECT_EQ(getCurrentFunctionReuse(), 16u);
    });
}

TEST(FunctionReuse, UntaggedCallsLeaveTheTagAlone) {
    onNewThread([] {
        ReuseProbe probe;
        IntFn(&probe, &ReuseProbe::record, 500)(0);
        ASSERT_EQ(getCurrentFunctionReuse(), 500u);

        IntFn(&probe, &ReuseProbe::record)(0);
        EXPECT_EQ(getCurrentFunctionReuse(), 500u);
        IntFn(&probe, &ReuseProbe::record, 15)(0);
        EXPECT_EQ(getCurrentFunctionReuse(), 500u);
        IntFn::wildcard(&probe, &ReuseProbe::record)(0);
        EXPECT_EQ(getCurrentFunctionReuse(), 500u);
        EXPECT_EQ(IntFn(&plainTwice)(3), 6);
        EXPECT_EQ(getCurrentFunctionReuse(), 500u);
        RawFunction raw = rawOf(IntFn(&probe, &ReuseProbe::record));
        raw.kind = 9;
        fromRaw(raw)(0);
        EXPECT_EQ(getCurrentFunctionReuse(), 500u);
    });
}

TEST(FunctionReuse, TagIsPerThread) {
    onNewThread([] {
        ReuseProbe probe;
        IntFn(&probe, &ReuseProbe::record, 1001)(0);
        ASSERT_EQ(getCurrentFunctionReuse(), 1001u);

        unsigned int seenByOther = 1;
        unsigned int otherAfterOwnCall = 0;
        onNewThread([&] {
            seenByOther = getCurrentFunctionReuse();
            ReuseProbe own;
            IntFn(&own, &ReuseProbe::record, 2002)(0);
            otherAfterOwnCall = getCurrentFunctionReuse();
        });
        EXPECT_EQ(seenByOther, 0u);
        EXPECT_EQ(otherAfterOwnCall, 2002u);
        EXPECT_EQ(getCurrentFunctionReuse(), 1001u);  // untouched by the other thread
    });
}

struct TagReader {
    unsigned int read(int) const { return getCurrentFunctionReuse(); }
};

TEST(FunctionReuse, ConcurrentCallsOfSharedValues) {
    // Shared values called from several threads at once: each call sees the tag of the value it
    // went through, whatever the other threads are calling.
    const TagReader reader;
    const TFunction1<unsigned int, int> shared[4] = {
        TFunction1<unsigned int, int>(&reader, &TagReader::read, 100),
        TFunction1<unsigned int, int>(&reader, &TagReader::read, 101),
        TFunction1<unsigned int, int>(&reader, &TagReader::read, 102),
        TFunction1<unsigned int, int>(&reader, &TagReader::read, 103)};
    int mismatches[4] = {};
    std::thread workers[4];
    for (int i = 0; i < 4; ++i) {
        workers[i] = std::thread([&shared, &mismatches, i] {
            for (int round = 0; round < 2000; ++round) {
                int which = (i + round) % 4;
                if (shared[which](round) != 100u + static_cast<unsigned int>(which)) {
                    ++mismatches[i];
                }
            }
        });
    }
    for (std::thread& w : workers) {
        w.join();
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(mismatches[i], 0) << "thread " << i;
    }
}

// ---------------------------------------------------------------------------------------------
// Value semantics

TEST(FunctionValue, CopiesAndAssignmentCarryAllFields) {
    Counter counter;
    IntFn values[] = {IntFn(), IntFn(&plainTwice), IntFn(&counter, &Counter::add),
                      IntFn(&counter, &Counter::add, 33), IntFn::wildcard(&counter, &Counter::sub)};
    for (const IntFn& original : values) {
        IntFn copy(original);
        EXPECT_TRUE(sameFields(copy, original));
        EXPECT_TRUE(copy == original);

        IntFn assigned(&plainNegate);
        assigned = original;
        EXPECT_TRUE(sameFields(assigned, original));

        IntFn self = original;
        IntFn& alias = self;
        self = alias;
        EXPECT_TRUE(sameFields(self, original));
    }

    // A copy calls the same target, and outlives the original.
    IntFn copy;
    {
        IntFn original(&counter, &Counter::add, 40);
        copy = original;
    }
    counter.value = 0;
    EXPECT_EQ(copy(6), 6);
    EXPECT_EQ(counter.value, 6);
}

}  // namespace
