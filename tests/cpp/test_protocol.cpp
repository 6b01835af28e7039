// Version parsing, unpacking and loop iteration, checked where Python code
// cannot reach them (other interpreter versions, reference counts).
#include "tests/cpp/embed.h"

#include "runtime/protocol.h"
#include "runtime/version.h"

using rt::Ref;
using testing_support::eval;
using testing_support::take_error;

TEST(Version, ComponentsAreShiftedIntoPlace) {
    EXPECT_EQ(rt::parse_version("3.8.18 (default, Nov 1 2026)"), 0x03081200u);
    EXPECT_EQ(rt::parse_version("3.11.7"), 0x030B0700u);
    EXPECT_EQ(rt::parse_version("3.8.1.4"), 0x03080104u);
}

TEST(Version, ReadingStopsAtTheFirstComponentNotFollowedByADot) {
    EXPECT_EQ(rt::parse_version("3.8+ (heads/3.8)"), 0x03080000u);
    EXPECT_EQ(rt::parse_version("3"), 0x03000000u);
    EXPECT_EQ(rt::parse_version("3.9.0rc1"), 0x03090000u);
    EXPECT_EQ(rt::parse_version("1.2.3.4.5"), 0x01020304u);
}

TEST(Version, ComponentsWrapInThirtyTwoBitsOnEveryPlatform) {
    // Each component is added, not masked: an oversized one carries into the
    // next byte up, and anything past 32 bits is lost as on the shipped
    // platform, whatever the width of long.
    EXPECT_EQ(rt::parse_version("259.8"), 0x03080000u);
    EXPECT_EQ(rt::parse_version("3.264"), 0x04080000u);
    EXPECT_EQ(rt::parse_version("3.8.256"), 0x03090000u);
    EXPECT_EQ(rt::parse_version("4294967299.8"), 0x03080000u);  // 2^32 + 3
}

// The warning decision and its text, for version texts of other interpreters.
class VersionCheck : public EmbeddedTest {
protected:
    // The RuntimeWarning text check_version_text() issues for `text`, "" for
    // none. Warnings are made errors so that the text can be read back.
    std::string warning_for(const char* text) {
        testing_support::run("import warnings; warnings.simplefilter('error')");
        int status = rt::check_version_text(text, 3, 8, "corvalith.norva.utils.login");
        std::string error = take_error();
        testing_support::run("warnings.resetwarnings()");
        EXPECT_EQ(status, error.empty() ? 0 : -1);
        return error;
    }
};

TEST_F(VersionCheck, OnlyTheMajorAndMinorBytesDecide) {
    EXPECT_EQ(warning_for("3.8.18 (default)"), "");
    EXPECT_EQ(warning_for("3.8.255.255"), "");
    EXPECT_EQ(warning_for("259.8"), "");  // wraps to 3.8 in 32 bits
    EXPECT_EQ(warning_for("3.9.1"),
              "RuntimeWarning: compile time Python version 3.8 of module "
              "'corvalith.norva.utils.login' does not match runtime version 3.9");
    EXPECT_EQ(warning_for("3.264"),
              "RuntimeWarning: compile time Python version 3.8 of module "
              "'corvalith.norva.utils.login' does not match runtime version 4.8");
}

class Truth : public EmbeddedTest {};

TEST_F(Truth, ExactStrsByLengthEverythingElseByItsOwnProtocol) {
    EXPECT_EQ(rt::is_true(eval("''").get()), 0);
    EXPECT_EQ(rt::is_true(eval("'x'").get()), 1);
    testing_support::run("class TrStr(str):\n    def __len__(self): return 0\n"
                         "class TrBad(str):\n    def __bool__(self): raise ValueError('no truth')\n");
    EXPECT_EQ(rt::is_true(eval("TrStr('x')").get()), 0);
    EXPECT_EQ(rt::is_true(eval("TrBad('x')").get()), -1);
    EXPECT_EQ(take_error(), "ValueError: no truth");
}

class Unpack : public EmbeddedTest {};

TEST_F(Unpack, ExactSequencesOfTwoHandOutNewReferences) {
    Ref pair = eval("(object(), object())");
    PyObject* first = PyTuple_GET_ITEM(pair.get(), 0);
    Py_ssize_t before = Py_REFCNT(first);
    {
        Ref a, b;
        ASSERT_EQ(rt::unpack2(pair.get(), a, b), 0);
        EXPECT_EQ(a.get(), first);
        EXPECT_EQ(b.get(), PyTuple_GET_ITEM(pair.get(), 1));
        EXPECT_EQ(Py_REFCNT(first), before + 1);
    }
    EXPECT_EQ(Py_REFCNT(first), before);
}

TEST_F(Unpack, MessagesNameTheCountAndThePluralEnding) {
    const struct {
        const char* expr;
        const char* error;
    } cases[] = {
        {"[1, 2, 3]", "ValueError: too many values to unpack (expected 2)"},
        {"(1,)", "ValueError: need more than 1 value to unpack"},
        {"[]", "ValueError: need more than 0 values to unpack"},
        {"iter(())", "ValueError: need more than 0 values to unpack"},
        {"iter([1])", "ValueError: need more than 1 value to unpack"},
        {"iter([1, 2, 3])", "ValueError: too many values to unpack (expected 2)"},
        {"5", "TypeError: 'int' object is not iterable"},
    };
    for (const auto& c : cases) {
        Ref obj = eval(c.expr);
        Ref a, b;
        EXPECT_EQ(rt::unpack2(obj.get(), a, b), -1) << c.expr;
        EXPECT_FALSE(a || b) << c.expr;
        EXPECT_EQ(take_error(), c.error) << c.expr;
    }
}

TEST_F(Unpack, AnIteratorFailingAfterTwoItemsFailsTheUnpacking) {
    testing_support::run(
        "def two_then_fail():\n"
        "    yield 1\n"
        "    yield 2\n"
        "    raise KeyError('third')\n");
    Ref gen = eval("two_then_fail()");
    Ref a, b;
    EXPECT_EQ(rt::unpack2(gen.get(), a, b), -1);
    EXPECT_EQ(take_error(), "KeyError: 'third'");
}

class LoopTest : public EmbeddedTest {};

TEST_F(LoopTest, ListGrowingDuringTheWalkIsWalkedToItsNewEnd) {
    Ref list = eval("[1]");
    rt::Loop loop;
    ASSERT_EQ(loop.start(list.get()), 0);
    int seen = 0;
    Ref item;
    while (loop.next(item) == 1) {
        if (++seen < 3) PyList_Append(list.get(), item.get());
    }
    EXPECT_EQ(seen, 3);
}

TEST_F(LoopTest, StopIterationSubclassEndsTheLoopOtherErrorsFailIt) {
    testing_support::run(
        "class Done(StopIteration): pass\n"
        "class Source:\n"
        "    def __init__(self, exc): self.exc = exc\n"
        "    def __iter__(self): return self\n"
        "    def __next__(self): raise self.exc\n");
    rt::Loop loop;
    Ref item;
    Ref ending = eval("Source(Done())");
    ASSERT_EQ(loop.start(ending.get()), 0);
    EXPECT_EQ(loop.next(item), 0);
    EXPECT_FALSE(PyErr_Occurred());

    Ref failing = eval("Source(OSError('broken'))");
    ASSERT_EQ(loop.start(failing.get()), 0);
    EXPECT_EQ(loop.next(item), -1);
    EXPECT_EQ(take_error(), "OSError: broken");
}
