// The callable wrappers TFunction1 ... TFunction5: every form called and compared against the
// direct call and a model of the equality rule, the reuse tag, arities and value semantics.
#include "infra/Function.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "infra/Error.h"

namespace {

using Tovix::Infra::getCurrentFunctionReuse;
using Tovix::Infra::TFunction1;
using Tovix::Infra::TFunction5;
using Tovix::Infra::TFunctionKind;
using IntFn = TFunction1<int, int>;

int (*const twice)(int) = [](int x) { return 2 * x; };
int (*const negate)(int) = [](int x) { return -x; };

struct Counter {
    int value = 0;
    int add(int x) { return value += x; }
    int sub(int x) { return value -= x; }
    int peek(int x) const { return value * 1000 + x; }
    int which(int) { return 1; }
    int which(int) const { return 2; }  // a const object picks this overload
    int tagSeen(int) const { return static_cast<int>(getCurrentFunctionReuse()); }
};

// Member pointers taken from a base call the override; a non-polymorphic base under a polymorphic
// class sits at an offset inside the object.
struct Shape {
    virtual ~Shape() = default;
    virtual int grow(int by) { return size += by; }
    int size = 0;
};
struct Square : Shape {
    int grow(int by) override { return size += 10 * by; }
};
struct PlainBase {
    int base = 7;
    int read(int add) const { return base + add; }
};
struct PolyDerived : PlainBase {
    virtual ~PolyDerived() = default;
};

// A callable with what the model knows of it: its kind, which code and object it names, and the
// direct call it must behave like.
struct Case {
    IntFn fn;
    std::uint32_t kind;
    int code;
    const void* object;
    std::function<int(int)> direct;
};

bool modelEqual(const Case& a, const Case& b) {
    const bool sameTarget = a.code == b.code && a.object == b.object;
    if (a.kind >= 16 && b.kind >= 16) {
        const bool wildcard =
            a.kind == TFunctionKind::wildcard || b.kind == TFunctionKind::wildcard;
        return sameTarget && (wildcard || a.kind == b.kind);
    }
    if (a.kind != b.kind) {
        return false;
    }
    return a.kind == 1 ? sameTarget : a.kind == 2 ? a.code == b.code : true;
}

std::string fivePlain(int a, const std::string& b, char c, long d, double e) {
    return std::to_string(a) + b + c + std::to_string(d) + std::to_string(int(e));
}

struct Holder {
    std::string text = "held";  // an object the compiler sees written
    std::string five(int a, const std::string& b, char c, long d, double e) {
        return fivePlain(a, b, c, d, e);
    }
};

TEST(FunctionSweep, EveryFormCallsLikeTheDirectCallAndComparesByTheRule) {
    Counter a, b;
    const Counter& constA = a;
    Square square;
    PolyDerived derived;
    const std::vector<Case> cases = {
        {IntFn(), 0, 0, nullptr, nullptr},
        {IntFn(static_cast<int (*)(int)>(nullptr)), 0, 0, nullptr, nullptr},
        {IntFn(static_cast<Counter*>(nullptr), &Counter::add), 0, 0, nullptr, nullptr},
        {IntFn(&a, static_cast<int (Counter::*)(int)>(nullptr), 42), 0, 0, nullptr, nullptr},
        {IntFn(twice), 2, 1, nullptr, twice},
        {IntFn(negate), 2, 2, nullptr, negate},
        {[](int x) { return x + 1; }, 2, 3, nullptr, [](int x) { return x + 1; }},
        {IntFn(&a, &Counter::add), 1, 10, &a, [&](int x) { return a.add(x); }},
        {IntFn(&b, &Counter::add), 1, 10, &b, [&](int x) { return b.add(x); }},
        {IntFn(&a, &Counter::sub), 1, 11, &a, [&](int x) { return a.sub(x); }},
        {IntFn(&constA, &Counter::peek), 1, 12, &a, [&](int x) { return a.peek(x); }},
        {IntFn(&constA, &Counter::which), 1, 13, &a, [&](int x) { return constA.which(x); }},
        {IntFn(&a, &Counter::add, 15), 1, 10, &a, [&](int x) { return a.add(x); }},
        {IntFn(&a, &Counter::add, 16), 16, 10, &a, [&](int x) { return a.add(x); }},
        {IntFn(&b, &Counter::add, 16), 16, 10, &b, [&](int x) { return b.add(x); }},
        {IntFn(&a, &Counter::sub, 16), 16, 11, &a, [&](int x) { return a.sub(x); }},
        {IntFn::tagged(&a, &Counter::add, 17), 17, 10, &a, [&](int x) { return a.add(x); }},
        {IntFn(&a, &Counter::add, 0xFFFFFFFEu), 0xFFFFFFFEu, 10, &a,
         [&](int x) { return a.add(x); }},
        {IntFn::tagged(&constA, &Counter::peek, 99), 99, 12, &a, [&](int x) { return a.peek(x); }},
        {IntFn::wildcard(&a, &Counter::add), 0xFFFFFFFFu, 10, &a, [&](int x) { return a.add(x); }},
        {IntFn::wildcard(&b, &Counter::add), 0xFFFFFFFFu, 10, &b, [&](int x) { return b.add(x); }},
        {IntFn(&square, &Shape::grow), 1, 20, &square, [&](int x) { return square.grow(x); }},
        {IntFn(static_cast<Shape*>(&square), &Shape::grow, 20), 20, 20, &square,
         [&](int x) { return square.grow(x); }},
        {IntFn(&derived, &PlainBase::read), 1, 21, &derived,
         [&](int x) { return derived.read(x); }},
        {IntFn(&a, &Counter::tagSeen, 77), 77, 14, &a, [](int) { return 77; }},  // stored before
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(c.kind, c.fn.kind()) << i;
        EXPECT_EQ(c.kind == 0, c.fn.empty()) << i;
        for (std::size_t j = 0; j < cases.size(); ++j) {
            EXPECT_EQ(modelEqual(c, cases[j]), c.fn == cases[j].fn) << i << " == " << j;
            EXPECT_EQ(!modelEqual(c, cases[j]), c.fn != cases[j].fn) << i << " != " << j;
        }
        if (c.kind == 0) {
            continue;
        }
        // The same call through the wrapper and directly, from the same state.
        a.value = 1, b.value = 2, square.size = 0;
        Tovix::Infra::Detail::setCurrentFunctionReuse(5);
        const int wrapped = c.fn(3);
        const bool tagged = c.kind >= 16 && c.kind != TFunctionKind::wildcard;
        EXPECT_EQ(tagged ? c.kind : 5u, getCurrentFunctionReuse()) << i;
        a.value = 1, b.value = 2, square.size = 0;
        EXPECT_EQ(c.direct(3), wrapped) << i;
    }
    EXPECT_STREQ(typeid(Counter*).name(), cases[7].fn.typeName());
    EXPECT_STREQ(typeid(const Counter*).name(), cases[10].fn.typeName());
    EXPECT_STREQ(typeid(Square*).name(), cases[21].fn.typeName());  // the pointer's, not the class
    EXPECT_EQ(nullptr, cases[4].fn.typeName());
    Tovix::Infra::Detail::setCurrentFunctionReuse(0);
    Holder h;  // five arguments in order, through a member and a plain function
    using Five = TFunction5<std::string, int, const std::string&, char, long, double>;
    EXPECT_EQ("1b345", Five(&h, &Holder::five)(1, "b", '3', 4, 5.0));
    EXPECT_EQ("1b345", Five(&fivePlain)(1, "b", '3', 4, 5.0));
    TFunction5 deduced(&fivePlain);  // deduced from the plain function
    EXPECT_TRUE(deduced == Five(&fivePlain));
}

}  // namespace
