// Shared fixture of the C++ tests: an embedded CPython 3.8 with the runtime
// attached to a scratch module dictionary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <gtest/gtest.h>

#include <string>

#include "runtime/ref.h"

namespace testing_support {

// Runs `code` in the scratch globals; fails the test on an exception.
void run(const char* code);

// The value of `expr` evaluated in the scratch globals (new reference).
rt::Ref eval(const char* expr);

// The scratch module dictionary the runtime is attached to.
PyObject* globals();

// An interned, hashed name.
PyObject* name(const char* text);

// The pending exception's type name and str(), cleared; "" when none pending.
std::string take_error();

}  // namespace testing_support

// Each test starts and ends without a pending exception.
class EmbeddedTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(PyErr_Occurred()); }
    void TearDown() override {
        if (PyErr_Occurred()) {
            PyErr_Print();
            ADD_FAILURE() << "test left an exception pending";
        }
    }
};
