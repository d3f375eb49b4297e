// The table of a dict's str keys by their UTF-8 bytes.
#include "text_table.h"

#include "guards.h"

namespace columns {

bool valid_utf8(const char* text, Py_ssize_t size)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    Py_ssize_t i = 0;
    while (i < size) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        Py_ssize_t n;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            n = 1;
        }
        else if (c >= 0xE0 && c <= 0xEF) {
            n = 2;
            low = c == 0xE0 ? 0xA0 : 0x80;
            high = c == 0xED ? 0x9F : 0xBF;  // no surrogates
        }
        else if (c >= 0xF0 && c <= 0xF4) {
            n = 3;
            low = c == 0xF0 ? 0x90 : 0x80;
            high = c == 0xF4 ? 0x8F : 0xBF;
        }
        else {
            return false;
        }
        if (size - i <= n || s[i + 1] < low || s[i + 1] > high) {
            return false;
        }
        for (Py_ssize_t k = 2; k <= n; k++) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += n + 1;
    }
    return true;
}

int TextTable::build(PyObject* map, Reason& reason)
{
    std::size_t capacity = 8;
    while (capacity < 2 * static_cast<std::size_t>(PyDict_GET_SIZE(map)) + 2) {
        capacity *= 2;
    }
    PyMem_Free(slots_);
    slots_ = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
    if (slots_ == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    mask_ = capacity - 1;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(map, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            continue;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(key, &size);
        if (text == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                return -1;
            }
            PyErr_Clear();
            return refuse(reason, "a key of the map is not valid UTF-8");
        }
        const uint64_t hash = hash_of(text, size);
        std::size_t at = hash & mask_;
        while (slots_[at].value != nullptr) {
            at = (at + 1) & mask_;
        }
        slots_[at] = Slot{hash, text, size, value};
    }
    return 1;
}

}  // namespace columns
