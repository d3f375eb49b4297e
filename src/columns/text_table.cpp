// The table of a dict's str keys by their UTF-8 bytes.
#include "text_table.h"

#include <cstring>

#include "compat.h"
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
        return {Entry::Absent, -1};
    }
    if (found == Py_None) {
        return {Entry::IsNone, -1};
    }
    if (PyLong_CheckExact(found)) {
        int overflow = 0;
        const long long index = PyLong_AsLongLongAndOverflow(found, &overflow);
        if (!overflow) {
            return {Entry::Index, index};
        }
    }
    return {Entry::Other, -1};
}

struct TextTable::Key {
    const char* text;
    Py_ssize_t size;
    Entry entry;
};

namespace {

// Short keys get a table of their own when one of these multipliers, at one
// of a few table sizes, sends each to a slot of its own.
constexpr uint64_t MULTIPLIERS[] = {
    0x9E3779B97F4A7C15ULL, 0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL, 0xD6E8FEB86659FD93ULL,
    0xFF51AFD7ED558CCDULL, 0xC4CEB9FE1A85EC53ULL, 0x94D049BB133111EBULL, 0xBF58476D1CE4E5B9ULL,
};
constexpr int MOST_SHORT_BITS = 9;

}  // namespace

bool TextTable::place_short(const Key* keys, Py_ssize_t count, Py_ssize_t shorts)
{
    int bits = 1;
    while ((Py_ssize_t{1} << bits) < shorts) {
        bits++;
    }
    unsigned char taken[std::size_t{1} << MOST_SHORT_BITS];
    for (int b = bits + 1; b <= bits + 3 && b <= MOST_SHORT_BITS; b++) {
        const std::size_t slots = std::size_t{1} << b;
        for (const uint64_t multiplier : MULTIPLIERS) {
            std::memset(taken, 0, slots);
            bool apart = true;
            for (Py_ssize_t k = 0; k < count && apart; k++) {
                if (keys[k].size > SHORT) {
                    continue;
                }
                const uint64_t word = word_of(keys[k].text, keys[k].size);
                const std::size_t at = (mix(word, keys[k].size) * multiplier) >> (64 - b);
                apart = taken[at] == 0;
                taken[at] = 1;
            }
            if (!apart) {
                continue;
            }
            short_ = static_cast<ShortSlot*>(PyMem_Malloc(slots * sizeof(ShortSlot)));
            if (short_ == nullptr) {
                return false;
            }
            for (std::size_t at = 0; at < slots; at++) {
                short_[at] = ShortSlot{0, -1, Entry{Entry::Absent, -1}};
            }
            multiplier_ = multiplier;
            shift_ = 64 - b;
            for (Py_ssize_t k = 0; k < count; k++) {
                if (keys[k].size <= SHORT) {
                    const uint64_t word = word_of(keys[k].text, keys[k].size);
                    short_[(mix(word, keys[k].size) * multiplier) >> shift_] =
                        ShortSlot{word, keys[k].size, keys[k].entry};
                }
            }
            return true;
        }
    }
    return false;
}

int TextTable::place_probed(const Key* keys, Py_ssize_t count, bool with_short)
{
    std::size_t capacity = 8;
    while (capacity < 2 * static_cast<std::size_t>(count) + 2) {
        capacity *= 2;
    }
    slots_ = static_cast<Slot*>(PyMem_Calloc(capacity, sizeof(Slot)));
    if (slots_ == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    mask_ = capacity - 1;
    // An empty key's bytes: the slot's text marks it as taken.
    static const char empty[1] = {0};
    for (Py_ssize_t k = 0; k < count; k++) {
        const Key& key = keys[k];
        if (key.size <= SHORT && !with_short) {
            continue;
        }
        Slot slot{0, 0, key.size == 0 ? empty : key.text, key.size, key.entry};
        if (key.size <= SHORT) {
            slot.word = word_of(key.text, key.size);
            slot.hash = short_hash(slot.word, key.size);
        }
        else {
            slot.hash = hash_of(key.text, key.size);
        }
        std::size_t at = slot.hash & mask_;
        while (slots_[at].text != nullptr) {
            at = (at + 1) & mask_;
        }
        slots_[at] = slot;
    }
    return 1;
}

int TextTable::build(PyObject* map, Keys keys, Reason& reason)
{
    PyMem_Free(slots_);
    PyMem_Free(short_);
    slots_ = nullptr;
    short_ = nullptr;
    longest_ = -1;
    const Py_ssize_t most = PyDict_GET_SIZE(map);
    Key* found = static_cast<Key*>(PyMem_Malloc((most > 0 ? most : 1) * sizeof(Key)));
    if (found == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Py_ssize_t count = 0;
    Py_ssize_t shorts = 0;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    int ok = 1;
    while (ok > 0 && PyDict_Next(map, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) {
            continue;
        }
        Key k{nullptr, 0, entry_of(value)};
        if (keys == Keys::Ascii) {
            if (!bucket::compat::str_ready(key) || !PyUnicode_IS_ASCII(key)) {
                continue;
            }
            k.text = static_cast<const char*>(PyUnicode_DATA(key));
            k.size = PyUnicode_GET_LENGTH(key);
        }
        else {
            k.text = PyUnicode_AsUTF8AndSize(key, &k.size);
            if (k.text == nullptr) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
                    ok = -1;
                    break;
                }
                PyErr_Clear();
                ok = refuse(reason, "a key of the map is not valid UTF-8");
                break;
            }
        }
        longest_ = k.size > longest_ ? k.size : longest_;
        shorts += k.size <= SHORT;
        found[count++] = k;
    }
    if (ok > 0) {
        const bool short_table = shorts > 0 && shorts <= (Py_ssize_t{1} << (MOST_SHORT_BITS - 1)) &&
                                 place_short(found, count, shorts);
        ok = place_probed(found, count, !short_table);
    }
    PyMem_Free(found);
    return ok;
}

}  // namespace columns
