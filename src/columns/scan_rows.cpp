// Where complete CSV rows end in a block of text, by the rules of a CSV
// parser that allows line ends in quoted cells: a quote opens quoting only
// at the start of a cell, a doubled quote inside quotes is one quote, and
// an empty line is no row.
#include "scan_rows.h"

#include <cstdint>
#include <cstring>

namespace columns {
namespace {

// Only quotes and line ends change the state: other bytes, commas included,
// only say whether a cell starts after them (after a comma). Runs of them
// are skipped a word at a time.
using Word = std::uintptr_t;
constexpr Word ONES = ~Word{0} / 0xFF;
constexpr Word HIGHS = ONES * 0x80;

// The bytes of w below 0x23: the quote (0x22) and the line ends, and other
// control bytes, space and '!', as their high bits. A byte above a marked
// one may be marked too, never one below: the lowest mark is exact.
inline Word low_bytes(Word w)
{
    return (w - ONES * 0x23) & ~w & HIGHS;
}

inline int lowest_byte(Word marks)
{
    if constexpr (sizeof(Word) == sizeof(unsigned long long)) {
        return __builtin_ctzll(marks) / 8;
    }
    else {
        return __builtin_ctz(static_cast<unsigned>(marks)) / 8;
    }
}

// The first byte below 0x23 at or after i, or size.
inline Py_ssize_t next_low(const char* text, Py_ssize_t i, Py_ssize_t size)
{
    if (PY_LITTLE_ENDIAN) {
        for (; size - i >= static_cast<Py_ssize_t>(sizeof(Word)); i += sizeof(Word)) {
            Word w;
            std::memcpy(&w, text + i, sizeof(w));
            const Word marks = low_bytes(w);
            if (marks != 0) {
                return i + lowest_byte(marks);
            }
        }
    }
    while (i < size && static_cast<unsigned char>(text[i]) >= 0x23) {
        i++;
    }
    return i;
}

}  // namespace

RowScan scan_rows(const char* text, Py_ssize_t size, bool final)
{
    RowScan done{0, 0, 0};
    Py_ssize_t rows = 0;
    Py_ssize_t lines = 0;
    bool cell_start = true;
    bool in_row = false;
    Py_ssize_t i = 0;
    while (true) {
        // Outside quotes.
        const Py_ssize_t next = next_low(text, i, size);
        if (next > i) {
            in_row = true;
            cell_start = text[next - 1] == ',';
        }
        i = next;
        if (i == size) {
            break;
        }
        const char c = text[i];
        if (c == '"' && cell_start) {
            // Inside quotes, up to the quote that closes them; line ends
            // are counted, and a doubled quote is a quote.
            in_row = true;
            cell_start = false;
            for (i++;; i++) {
                i = next_low(text, i, size);
                if (i == size || text[i] == '"') {
                    if (i + 1 < size && text[i + 1] == '"') {
                        i++;
                        continue;
                    }
                    break;
                }
                if (text[i] == '\r') {
                    if (i + 1 == size && !final) {
                        return done;
                    }
                    i += i + 1 < size && text[i + 1] == '\n';
                    lines++;
                }
                else if (text[i] == '\n') {
                    lines++;
                }
            }
            if (i == size) {
                break;
            }
            i++;
            continue;
        }
        if (c != '\r' && c != '\n') {
            // A quote within a cell, space, '!' or a control byte.
            in_row = true;
            cell_start = false;
            i++;
            continue;
        }
        if (c == '\r') {
            if (i + 1 == size && !final) {
                // A \n may follow in the next block: \r\n is one line end.
                break;
            }
            i += i + 1 < size && text[i + 1] == '\n';
        }
        lines++;
        if (in_row) {
            rows++;
            done = RowScan{i + 1, rows, lines};
        }
        in_row = false;
        cell_start = true;
        i++;
    }
    if (final) {
        return RowScan{size, rows + (in_row ? 1 : 0), lines};
    }
    return done;
}

}  // namespace columns
