#include "names.hpp"

namespace nembra {

Names names;

namespace {

int intern(Constant& slot, const char* text) noexcept {
    slot = Ref::steal(PyUnicode_InternFromString(text));
    return slot ? 0 : -1;
}

}  // namespace

int make_names() noexcept {
#define NEMBRA_MAKE_NAME(name) \
    if (intern(names.str_##name, #name) < 0) return -1;
    NEMBRA_NAMES(NEMBRA_MAKE_NAME)
#undef NEMBRA_MAKE_NAME
#define NEMBRA_MAKE_TEXT(what, text) \
    if (intern(names.text_##what, text) < 0) return -1;
    NEMBRA_TEXTS(NEMBRA_MAKE_TEXT)
#undef NEMBRA_MAKE_TEXT
    return 0;
}

}  // namespace nembra
