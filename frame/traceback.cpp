#include "frame/traceback.hpp"

#include <frameobject.h>

#include <map>
#include <string>
#include <utility>

#include "frame/module.hpp"

namespace norvale::frame {

namespace {

// Lives for the process; entries are never removed.
std::map<std::pair<std::string, int>, PyCodeObject *> *code_cache = nullptr;

PyCodeObject *code_for(const char *function, int line) {
    if (!code_cache) code_cache = new std::map<std::pair<std::string, int>, PyCodeObject *>();
    auto key = std::make_pair(std::string(function), line);
    auto found = code_cache->find(key);
    if (found != code_cache->end()) return found->second;
    PyCodeObject *code = PyCode_NewEmpty(this_module.source, function, line);
    if (code) code_cache->emplace(std::move(key), code);
    return code;
}

}  // namespace

void add_traceback(const char *function, int line) noexcept {
    // The entry is built with the exception set aside, and the exception then put back.
    PyObject *raised = PyErr_GetRaisedException();
    PyCodeObject *code = nullptr;
    try {
        code = code_for(function, line);
    } catch (...) {
        code = nullptr;
    }
    PyObject *globals = module_dict();
    if (!code || !globals) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return;
    }
    PyFrameObject *frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    if (!frame) {
        PyErr_Clear();
        PyErr_SetRaisedException(raised);
        return;
    }
    PyErr_SetRaisedException(raised);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace norvale::frame
