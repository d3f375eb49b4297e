// A dict's str keys as a table of their own, made once per call: Arrow text
// is found by its UTF-8 bytes, an exact str object by its hash and its code
// points, without the dict's generic lookup. Each key's value is read once,
// as the entry the kinds take.
#pragma once

#include <Python.h>

#include <cstdint>

namespace columns {

struct Reason;

// A map's value for a key, as the kinds take it.
struct Entry {
    enum State : unsigned char {
        Absent,  // no such key
        Index,   // an exact int within int64, in index
        IsNone,  // None
        Other,   // anything else: the value takes the per-value call
    };
    State state;
    int64_t index;
};

// The entry of a value found in a map (NULL for none).
Entry entry_of(PyObject* found);

// Whether bytes are valid UTF-8 as Python's strict decoder takes it (no
// surrogates, no overlong forms, nothing beyond U+10FFFF).
bool valid_utf8(const char* text, Py_ssize_t size);

class TextTable {
public:
    // Arrow text's UTF-8 bytes, or str objects.
    enum class Keys { Utf8, Str };

    TextTable() = default;
    TextTable(const TextTable&) = delete;
    TextTable& operator=(const TextTable&) = delete;
    ~TextTable() { PyMem_Free(slots_); }

    // Takes the exact str keys of the exact dict map, which must stay
    // unchanged while the table is used. 1, 0 with the reason where a key is
    // not valid UTF-8 (a lone surrogate) for Utf8, -1 on error.
    int build(PyObject* map, Keys keys, Reason& reason);

    bool built() const { return slots_ != nullptr; }

    // The entry for the key of these UTF-8 bytes, or NULL. With readable,
    // the 8 bytes from text can be read whatever size is.
    const Entry* find(const char* text, Py_ssize_t size, bool readable) const
    {
        if (size <= 8) {
            const uint64_t word = readable ? masked_word(text, size) : word_of(text, size);
            const uint64_t hash = short_hash(word, size);
            for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
                const Slot& slot = slots_[at];
                if (slot.text == nullptr) {
                    return nullptr;
                }
                if (slot.word == word && slot.size == size) {
                    return &slot.entry;
                }
            }
        }
        return find_hashed(hash_of(text, size), text, size, 0);
    }

    // Whether short text is plain ASCII, which is valid UTF-8: read as the
    // lookup reads it. False for anything else, which then has to be checked.
    static bool short_ascii(const char* text, Py_ssize_t size, bool readable)
    {
        return size <= 8 && readable &&
               (masked_word(text, size) & 0x8080808080808080ULL) == 0;
    }

    // The entry for an exact str, or NULL. Its hash is the str's own.
    const Entry* find(PyObject* str) const
    {
        return find_hashed(static_cast<uint64_t>(PyObject_Hash(str)),
                           static_cast<const char*>(PyUnicode_DATA(str)),
                           PyUnicode_GET_LENGTH(str) * PyUnicode_KIND(str), PyUnicode_KIND(str));
    }

private:
    struct Slot {
        uint64_t hash;
        uint64_t word;  // the bytes of a short UTF-8 key, zero-filled
        const char* text;
        Py_ssize_t size;  // in bytes
        int kind;         // the str's kind for Str keys
        Entry entry;
    };

    const Entry* find_hashed(uint64_t hash, const char* text, Py_ssize_t size, int kind) const
    {
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (slot.text == nullptr) {
                return nullptr;
            }
            if (slot.hash == hash && slot.size == size && slot.kind == kind &&
                same_bytes(slot.text, text, size)) {
                return &slot.entry;
            }
        }
    }

    static bool same_bytes(const char* a, const char* b, Py_ssize_t size)
    {
        for (Py_ssize_t i = 0; i < size; i++) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }

    // Up to 8 bytes as one word, the first byte lowest.
    static uint64_t word_of(const char* text, Py_ssize_t size)
    {
        uint64_t word = 0;
        for (Py_ssize_t i = 0; i < size; i++) {
            word |= uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
        }
        return word;
    }

    // The same from one read of 8 bytes, where they can be read.
    static uint64_t masked_word(const char* text, Py_ssize_t size)
    {
        if (!PY_LITTLE_ENDIAN) {
            return word_of(text, size);
        }
        uint64_t word;
        __builtin_memcpy(&word, text, 8);
        return size == 8 ? word : word & ((uint64_t{1} << (8 * size)) - 1);
    }

    static uint64_t short_hash(uint64_t word, Py_ssize_t size)
    {
        const uint64_t mixed = (word ^ static_cast<uint64_t>(size)) * 0x9E3779B97F4A7C15ULL;
        return mixed ^ (mixed >> 32);
    }

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
