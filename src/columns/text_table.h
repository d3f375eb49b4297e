// Arrow text elements against a dict's str keys: an open-addressing table
// from the keys' UTF-8 bytes to their entries, made once per call.
#pragma once

#include <Python.h>

#include <cstdint>

namespace columns {

struct Reason;

// Whether bytes are valid UTF-8 as Python's strict decoder takes it (no
// surrogates, no overlong forms, nothing beyond U+10FFFF).
bool valid_utf8(const char* text, Py_ssize_t size);

class TextTable {
public:
    TextTable() = default;
    TextTable(const TextTable&) = delete;
    TextTable& operator=(const TextTable&) = delete;
    ~TextTable() { PyMem_Free(slots_); }

    // Takes the exact str keys of the exact dict map (which must outlive the
    // table's use, unchanged). 1, 0 with the reason where a key is not valid
    // UTF-8 (a lone surrogate), -1 on error.
    int build(PyObject* map, Reason& reason);

    // The map's entry for the key of these bytes (borrowed), or NULL.
    PyObject* find(const char* text, Py_ssize_t size) const
    {
        const uint64_t hash = hash_of(text, size);
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (slot.value == nullptr) {
                return nullptr;
            }
            if (slot.hash == hash && slot.size == size &&
                (size == 0 || __builtin_memcmp(slot.text, text, size) == 0)) {
                return slot.value;
            }
        }
    }

private:
    struct Slot {
        uint64_t hash;
        const char* text;
        Py_ssize_t size;
        PyObject* value;
    };

    static uint64_t hash_of(const char* text, Py_ssize_t size)
    {
        uint64_t hash = 14695981039346656037ULL;
        for (Py_ssize_t i = 0; i < size; i++) {
            hash = (hash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
        }
        return hash ^ (hash >> 29);
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
};

}  // namespace columns
