// PythonObj: reference discipline and identity semantics.
#include "support.hpp"

#include <gtest/gtest.h>

#include <functional>

TEST(PythonObj, EmptyHandlesAreEqualAndCodeZero) {
    PythonObj a;
    PythonObj b;
    EXPECT_EQ(a.toInteger(), 0);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    PythonObj copy(a);  // copying an empty handle must not touch a count
    EXPECT_EQ(copy.object, nullptr);
}

TEST(PythonObj, TakesAndReleasesOneReferencePerHolding) {
    PythonObj a = pyEval("object()");
    PythonObj b = pyEval("object()");
    const Py_ssize_t a0 = a.getRefCount();
    const Py_ssize_t b0 = b.getRefCount();
    {
        PythonObj copy(a);
        EXPECT_EQ(a.getRefCount(), a0 + 1);
        copy.set(b.object);
        EXPECT_EQ(a.getRefCount(), a0);
        EXPECT_EQ(b.getRefCount(), b0 + 1);
        copy.set(nullptr);
        EXPECT_EQ(copy.object, nullptr);
        EXPECT_EQ(b.getRefCount(), b0);
        copy.set(b.object);
    }
    EXPECT_EQ(b.getRefCount(), b0);

    PyObject* raw = a.toPython(true);
    EXPECT_EQ(reinterpret_cast<intptr_t>(raw), a.toInteger());
    EXPECT_EQ(a.getRefCount(), a0 + 1);
    Py_DECREF(raw);
}

// What a weak reference points to now (None once its object died), for
// comparison only: calling the reference is the one way every interpreter
// from 3.9 to 3.13 offers without a deprecation.
static PyObject* referent(PyObject* ref) {
    PythonObj now = PythonObj::steal(PyObject_CallNoArgs(ref));
    return now.object;
}

TEST(PythonObj, SetToTheHeldObjectKeepsASoleOwnerAlive) {
    // A handle that is the only owner must not drop its object on the way to
    // holding it again; a weak reference tells whether it died.
    pyExec("import weakref\nclass Token: pass\n");
    PythonObj sole = pyEval("Token()");
    PythonObj ref = PythonObj::steal(PyWeakref_NewRef(sole.object, nullptr));
    ASSERT_EQ(sole.getRefCount(), 1);
    sole.set(sole.object);
    EXPECT_EQ(sole.getRefCount(), 1);
    EXPECT_EQ(referent(ref.object), sole.object);
    sole.set(nullptr);
    EXPECT_EQ(referent(ref.object), Py_None);
}

TEST(PythonObj, IdentityNotEquality) {
    PythonObj x = pyEval("''.join(['spam', 'eggs'])");
    PythonObj y = pyEval("''.join(['spam', 'eggs'])");
    ASSERT_EQ(PyObject_RichCompareBool(x.object, y.object, Py_EQ), 1);
    EXPECT_TRUE(x != y);
    EXPECT_NE(std::hash<PythonObj>()(x), std::hash<PythonObj>()(y));
    PythonObj x2(x);
    EXPECT_TRUE(x == x2);
    EXPECT_EQ(std::hash<PythonObj>()(x), std::hash<PythonObj>()(x2));
    EXPECT_EQ(x < y, reinterpret_cast<uintptr_t>(x.object) < reinterpret_cast<uintptr_t>(y.object));
}
