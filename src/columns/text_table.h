// A dict's str keys as a table of their own, made once per call, in which
// text is found by its UTF-8 bytes without the dict's generic lookup: Arrow
// text, and str objects of ASCII characters (whose code points are their
// UTF-8 bytes). Each key's value is read once, as the entry the kinds take.
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
    int64_t index;  // for Index only
};

// The entry of a value found in a map (NULL for none).
Entry entry_of(PyObject* found);

// Whether bytes are valid UTF-8 as Python's strict decoder takes it (no
// surrogates, no overlong forms, nothing beyond U+10FFFF).
bool valid_utf8(const char* text, Py_ssize_t size);

class TextTable {
public:
    // Every key, for Arrow text; or only the ASCII ones, for str objects
    // (any other str is looked up in the dict itself).
    enum class Keys { Utf8, Ascii };

    // Keys of up to this many bytes are compared as one word.
    static constexpr Py_ssize_t SHORT = 8;

    TextTable() = default;
    TextTable(const TextTable&) = delete;
    TextTable& operator=(const TextTable&) = delete;
    ~TextTable()
    {
        PyMem_Free(slots_);
        PyMem_Free(short_);
    }

    // Takes the exact str keys of the exact dict map, which must stay
    // unchanged while the table is used. 1, 0 with the reason where a key is
    // not valid UTF-8 (a lone surrogate) for Utf8, -1 on error.
    int build(PyObject* map, Keys keys, Reason& reason);

    // The entry for the key of these UTF-8 bytes (Absent for none). With
    // readable, the 8 bytes from text can be read whatever size is.
    Entry find(const char* text, Py_ssize_t size, bool readable) const
    {
        if (size <= SHORT) {
            return find_short(readable ? masked_word(text, size) : word_of(text, size), size,
                              text);
        }
        if (size > longest_) {
            return Entry{Entry::Absent, -1};
        }
        return find_probed(hash_of(text, size), 0, text, size);
    }

    // The entry for the ASCII characters of an exact str.
    Entry find_ascii(const char* data, Py_ssize_t length) const
    {
        // The characters end in a NUL, which may be read too.
        return find(data, length, length + 1 >= 8);
    }

    // The same for a compact ASCII str, whose characters follow its header
    // in one block and end in a NUL: the 8 bytes that end with the NUL can
    // always be read, and hold the characters of a short one.
    Entry find_compact_ascii(const char* data, Py_ssize_t length) const
    {
        if (length >= SHORT || !PY_LITTLE_ENDIAN) {
            return find_ascii(data, length);
        }
        uint64_t word;
        __builtin_memcpy(&word, data + length + 1 - 8, 8);
        return find_short(word >> (8 * (SHORT - 1 - length)), length, data);
    }

    // Whether every key is short and has its own slot.
    bool short_keys() const { return short_ != nullptr && longest_ <= SHORT; }

    // With short_keys(), the entry for text whose 8 bytes from text can be
    // read (on a little-endian machine): found by its first word and its
    // size (longer text has no key), without a branch on the size, which a
    // column's values vary in no order a branch could learn.
    // Masked: see find_short.
    template <bool Masked = false>
    Entry find_in_short(const char* text, Py_ssize_t size) const
    {
        Py_ssize_t tail;
        return find_short<Masked>(first_word(text, size, &tail), size, text);
    }

    // Sets *entry for the key of these UTF-8 bytes, as find; false where no
    // key holds them and they are not UTF-8. mixed: every key is short, and
    // some text of the column is not.
    bool find_text(const char* text, Py_ssize_t size, bool readable, bool mixed,
                   Entry* entry) const
    {
        if (PY_LITTLE_ENDIAN && mixed && readable) {
            Py_ssize_t tail;
            const uint64_t first = first_word(text, size, &tail);
            *entry = find_short(first, size, text);
            // Text of up to 16 bytes is checked for ASCII in two words: the
            // first, and the last 8 bytes of longer text.
            uint64_t last;
            __builtin_memcpy(&last, text + tail, 8);
            last &= -static_cast<uint64_t>(tail > 0);
            if ((entry->state != Entry::Absent) |
                ((((first | last) & HIGH_BITS) == 0) & (size <= 2 * SHORT))) {
                return true;
            }
            return valid_utf8(text, size);
        }
        if (size <= SHORT) {
            const uint64_t word = readable ? masked_word(text, size) : word_of(text, size);
            *entry = find_short(word, size, text);
            // Found, or ASCII: one test, as values of a column come found or
            // not in no order a branch could learn.
            if ((entry->state != Entry::Absent) | ((word & HIGH_BITS) == 0)) {
                return true;
            }
        }
        else {
            *entry = size > longest_ ? Entry{Entry::Absent, -1}
                                     : find_probed(hash_of(text, size), 0, text, size);
            if (entry->state != Entry::Absent || long_ascii(text, size)) {
                return true;
            }
        }
        return valid_utf8(text, size);
    }

private:
    static constexpr uint64_t HIGH_BITS = 0x8080808080808080ULL;

    // The first min(size, 8) bytes of text, whose 8 bytes can be read, as
    // one word, without a branch on the size; *tail is size - 8 for longer
    // text, else 0.
    static uint64_t first_word(const char* text, Py_ssize_t size, Py_ssize_t* tail)
    {
        const Py_ssize_t over = size - SHORT;
        *tail = over & -static_cast<Py_ssize_t>(over > 0);
        uint64_t first;
        __builtin_memcpy(&first, text, 8);
        return first & KEEP[size - *tail];
    }

    // KEEP[n] keeps the first n bytes of a word: a load is cheaper than a
    // shift by a variable count.
    static constexpr uint64_t KEEP[SHORT + 1] = {
        0, 0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF, 0xFFFFFFFFFFULL, 0xFFFFFFFFFFFFULL,
        0xFFFFFFFFFFFFFFULL, ~uint64_t{0},
    };

    // Whether text of more than 8 bytes is plain ASCII.
    static bool long_ascii(const char* text, Py_ssize_t size)
    {
        uint64_t seen = 0;
        Py_ssize_t i = 0;
        for (; i + 8 <= size; i += 8) {
            uint64_t word;
            __builtin_memcpy(&word, text + i, 8);
            seen |= word;
        }
        // The last 8 bytes, overlapping what was read.
        uint64_t last;
        __builtin_memcpy(&last, text + size - 8, 8);
        return ((seen | last) & HIGH_BITS) == 0;
    }

    // Found and absent text come in no order a branch could learn: the state
    // is picked without one, by a conditional move or, with Masked, by a
    // mask (in some loops compilers make a branch of the first).
    template <bool Masked = false>
    Entry find_short(uint64_t word, Py_ssize_t size, const char* text) const
    {
        if (short_ != nullptr) {
            // No two short keys share a slot: one comparison decides.
            const ShortSlot& slot = short_[(mix(word, size) * multiplier_) >> shift_];
            Entry found = slot.entry;
            if constexpr (Masked) {
                static_assert(Entry::Absent == 0, "Absent is the state 0");
                const unsigned char holds = (slot.word == word) & (slot.size == size);
                found.state = static_cast<Entry::State>(found.state & -holds);
            }
            else {
                found.state = slot.word == word && slot.size == size ? found.state : Entry::Absent;
            }
            return found;
        }
        return find_probed(short_hash(word, size), word, text, size);
    }

    struct Slot {
        uint64_t hash;
        uint64_t word;  // the bytes of a short key, zero-filled
        const char* text;
        Py_ssize_t size;  // in bytes
        Entry entry;
    };
    struct ShortSlot {
        uint64_t word;
        Py_ssize_t size;  // -1 in an empty slot
        Entry entry;
    };

    Entry find_probed(uint64_t hash, uint64_t word, const char* text, Py_ssize_t size) const
    {
        for (std::size_t at = hash & mask_;; at = (at + 1) & mask_) {
            const Slot& slot = slots_[at];
            if (slot.text == nullptr) {
                return Entry{Entry::Absent, -1};
            }
            if (slot.hash == hash && slot.size == size &&
                (size <= SHORT ? slot.word == word : same_bytes(slot.text, text, size))) {
                return slot.entry;
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

    // Up to 8 bytes as one word, the first byte lowest: read in at most
    // three overlapping loads, none beyond the text.
    static uint64_t word_of(const char* text, Py_ssize_t size)
    {
        if (!PY_LITTLE_ENDIAN) {
            uint64_t word = 0;
            for (Py_ssize_t i = 0; i < size; i++) {
                word |= uint64_t{static_cast<unsigned char>(text[i])} << (8 * i);
            }
            return word;
        }
        if (size >= 4) {
            uint32_t low;
            uint32_t high;
            __builtin_memcpy(&low, text, 4);
            __builtin_memcpy(&high, text + size - 4, 4);
            return low | (uint64_t{high} << (8 * (size - 4)));
        }
        if (size == 0) {
            return 0;
        }
        const auto* bytes = reinterpret_cast<const unsigned char*>(text);
        return bytes[0] | (uint64_t{bytes[size / 2]} << (8 * (size / 2))) |
               (uint64_t{bytes[size - 1]} << (8 * (size - 1)));
    }

    // The same from one read of 8 bytes, where they can be read.
    static uint64_t masked_word(const char* text, Py_ssize_t size)
    {
        if (!PY_LITTLE_ENDIAN) {
            return word_of(text, size);
        }
        uint64_t word;
        __builtin_memcpy(&word, text, 8);
        return word & KEEP[size];
    }

    static uint64_t mix(uint64_t word, Py_ssize_t size)
    {
        return word ^ static_cast<uint64_t>(size);
    }

    static uint64_t short_hash(uint64_t word, Py_ssize_t size)
    {
        const uint64_t mixed = mix(word, size) * 0x9E3779B97F4A7C15ULL;
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

    struct Key;
    bool place_short(const Key* keys, Py_ssize_t count, Py_ssize_t shorts);
    int place_probed(const Key* keys, Py_ssize_t count, bool with_short);

    // Keys in a table probed from their hash.
    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    // Short keys, when a multiplier was found that gives each its own slot.
    ShortSlot* short_ = nullptr;
    uint64_t multiplier_ = 0;
    int shift_ = 0;
    // The longest key's size: longer text is in no key.
    Py_ssize_t longest_ = -1;
};

}  // namespace columns
