#include "names.hpp"

namespace nembra {

Names names;

int make_names() noexcept {
#define NEMBRA_MAKE_NAME(id, text)                            \
    {                                                         \
        PyObject* made = PyUnicode_InternFromString(text);    \
        if (made == nullptr) return -1;                       \
        Py_XSETREF(names.id, made);                           \
    }
    NEMBRA_NAMES(NEMBRA_MAKE_NAME)
#undef NEMBRA_MAKE_NAME
    return 0;
}

}  // namespace nembra
