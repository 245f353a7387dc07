#include "module_init.hpp"

#include <new>

#include "filters.hpp"
#include "ids.hpp"
#include "names.hpp"
#include "profiler_type.hpp"

namespace ruvo {

PyObject* module_of_this_process(const char* module_name, std::atomic<int64_t>& owner, PyObject*& module,
                                 PyObject* (*create)()) {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return nullptr;
    int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it is already loaded in another interpreter", module_name);
        return nullptr;
    }
    if (module != nullptr) return Py_NewRef(module);
    try {
        PyObject* made = create();
        if (made != nullptr) module = Py_NewRef(made);
        return made;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

bool ready_core() {
    if (!init_names() || !ready_profiler_type()) return false;
    init_code_cache();
    install_fork_handler();
    return true;
}

}  // namespace ruvo
