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

Entry entry_of(PyObject* found)
{
    if (found == nullptr) {
        return {Entry::Absent, 0};
    }
    if (found == Py_None) {
        return {Entry::IsNone, 0};
    }
    if (PyLong_CheckExact(found)) {
        int overflow = 0;
        const long long index = PyLong_AsLongLongAndOverflow(found, &overflow);
        if (!overflow) {
            return {Entry::Index, index};
        }
    }
    return {Entry::Other, 0};
}

int TextTable::build(PyObject* map, Keys keys, Reason& reason)
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
    // An empty key's bytes: the slot's text marks it as taken.
    static const char empty[1] = {0};
    while (PyDict_Next(map, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            continue;
        }
        Slot slot{0, 0, nullptr, 0, 0, entry_of(value)};
        if (keys == Keys::Str) {
            slot.hash = static_cast<uint64_t>(PyObject_Hash(key));
            slot.kind = PyUnicode_KIND(key);
            slot.text = static_cast<const char*>(PyUnicode_DATA(key));
            slot.size = PyUnicode_GET_LENGTH(key) * slot.kind;
        }
        else {
            slot.text = PyUnicode_AsUTF8AndSize(key, &slot.size);
            if (slot.text == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                    return -1;
                }
                PyErr_Clear();
                return refuse(reason, "a key of the map is not valid UTF-8");
            }
            if (slot.size <= 8) {
                slot.word = word_of(slot.text, slot.size);
                slot.hash = short_hash(slot.word, slot.size);
            }
            else {
                slot.hash = hash_of(slot.text, slot.size);
            }
        }
        if (slot.size == 0) {
            slot.text = empty;
        }
        std::size_t at = slot.hash & mask_;
        while (slots_[at].text != nullptr) {
            at = (at + 1) & mask_;
        }
        slots_[at] = slot;
    }
    return 1;
}

}  // namespace columns
