// The store tests run inside one real interpreter for the whole run, so that
// keys are genuine objects from CPython's own allocator.
#include "support.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class PythonEnvironment : public testing::Environment {
public:
    void SetUp() override { Py_Initialize(); }
    void TearDown() override {
        if (Py_FinalizeEx() != 0) {
            ADD_FAILURE() << "Py_FinalizeEx failed";
        }
    }
};

PythonObj run(const char* code, int start) {
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));  // borrowed
    PythonObj result = PythonObj::steal(PyRun_String(code, start, globals, globals));
    if (!result) {
        PyErr_Print();
        std::fprintf(stderr, "Python snippet failed:\n%s\n", code);
        std::abort();
    }
    return result;
}

}  // namespace

PythonObj pyEval(const char* expression) { return run(expression, Py_eval_input); }
void pyExec(const char* statements) { run(statements, Py_file_input); }

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::AddGlobalTestEnvironment(new PythonEnvironment);
    return RUN_ALL_TESTS();
}
